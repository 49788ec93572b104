// Readers for the replies of the commands that read an open handle
// (QUERY_DIRECTORY, READ, QUERY_INFO); the requests come from
// builders/requests.h.
//
//   smb2::Client cl({.capabilities = 4});   // large MTU: reads up to 1 MiB
//   uint32_t tid = cl.connect("docs");
//   uint64_t dir = cl.open(tid, "");
//   smb2::Reply r = cl.send(smb2::query_directory(cl.header(SMB2_QUERY_DIRECTORY, tid),
//                                                 {.fid = dir, .pattern = "*.txt"}));
//   for (const smb2::DirEntry &e : smb2::dir_entries(r)) ...
#pragma once

#include "support/builders/requests.h"
#include "support/smb2_frames.h"

#include <string>
#include <vector>

namespace smb2 {

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

} // namespace smb2
