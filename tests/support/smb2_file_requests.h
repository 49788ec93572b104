// Requests for the commands that read an open handle (QUERY_DIRECTORY, READ,
// QUERY_INFO) and readers for their replies.
//
//   smb2::Client cl({.capabilities = 4});   // large MTU: reads up to 1 MiB
//   uint32_t tid = cl.connect("docs");
//   uint64_t dir = cl.open(tid, "");
//   smb2::Reply r = cl.send(smb2::query_directory(cl.header(SMB2_QUERY_DIRECTORY, tid),
//                                                 {.fid = dir, .pattern = "*.txt"}));
//   for (const smb2::DirEntry &e : smb2::dir_entries(r)) ...
//
// Header fields other than the command are the caller's, but for a CreditCharge
// of 0 with more than 64 KiB asked: query_directory and read then charge
// what the size needs, as clients do (set it in the bytes to send 0).
#pragma once

#include "support/smb2_frames.h"

#include <string>
#include <vector>

namespace smb2 {

// QUERY_DIRECTORY flags and information classes.
enum : uint8_t {
    QD_RESTART_SCANS = 0x01,
    QD_RETURN_SINGLE_ENTRY = 0x02,
    QD_INDEX_SPECIFIED = 0x04,
    QD_REOPEN = 0x10,
    CLS_DIRECTORY = 1,
    CLS_FULL_DIRECTORY = 2,
    CLS_BOTH_DIRECTORY = 3,
    CLS_NAMES = 12,
    CLS_ID_BOTH_DIRECTORY = 37,
    CLS_ID_FULL_DIRECTORY = 38,
};

struct QueryDirParams {
    uint64_t fid = 0;
    uint8_t cls = CLS_ID_BOTH_DIRECTORY;
    uint8_t flags = 0;
    uint32_t file_index = 0;
    std::string pattern = "*"; // sent as UTF-16LE; "" sends FileNameLength 0
    Bytes raw_pattern{};       // when not empty: the pattern bytes as given
    uint32_t out_len = 65536;  // OutputBufferLength
    // When set, FileNameOffset/Length as given instead of pointing at the pattern.
    bool override_name = false;
    uint16_t name_off = 0;
    uint16_t name_len = 0;
};
// StructureSize 33; the pattern at offset 96.
Bytes query_directory(Header h, const QueryDirParams &p);

struct ReadParams {
    uint64_t fid = 0;
    uint32_t length = 65536;
    uint64_t offset = 0;
    uint32_t channel = 0;
    uint32_t minimum = 0; // MinimumCount
};
// StructureSize 49, with the one-byte Buffer.
Bytes read(Header h, const ReadParams &p);

struct QueryInfoParams {
    uint64_t fid = 0;
    uint8_t type = 1; // 1 file, 2 file system, 3 security, 4 quota
    uint8_t cls = 0;
    uint32_t out_len = 4096; // OutputBufferLength
    uint32_t additional = 0; // AdditionalInformation (security: which parts)
};
// StructureSize 41, no input buffer.
Bytes query_info(Header h, const QueryInfoParams &p);

// One entry of a QUERY_DIRECTORY reply, with its position in the output
// buffer and the raw bytes of the whole entry (padding included).
struct DirEntry {
    size_t at = 0; // offset within the output buffer
    uint32_t next = 0;
    uint32_t index = 0;
    std::string name; // UTF-16LE name turned back into UTF-8
    Bytes raw;
};
// Walks the entries of a successful QUERY_DIRECTORY reply by NextEntryOffset
// (class 12 keeps its FileNameLength at 8, the others at 60). A malformed
// chain fails the test.
std::vector<DirEntry> dir_entries(const Reply &r, uint8_t cls = CLS_ID_BOTH_DIRECTORY);

// READ reply: the data at DataOffset, DataLength bytes (empty on error).
Bytes read_data(const Reply &r);
// QUERY_INFO / QUERY_DIRECTORY reply: OutputBufferLength bytes at
// OutputBufferOffset (empty on error).
Bytes output_buffer(const Reply &r);

// UTF-16LE text (as the server writes names) to UTF-8, and back.
std::string from_utf16(const uint8_t *p, size_t n);
Bytes to_utf16(const std::string &utf8);

} // namespace smb2
