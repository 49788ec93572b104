// Requests for the tree and handle commands: TREE_CONNECT, TREE_DISCONNECT,
// CREATE (with create contexts), CLOSE, QUERY_DIRECTORY, READ, QUERY_INFO.
// Header fields other than the command are the caller's; the builders set
// the command themselves. A CreditCharge of 0 with more than 64 KiB asked
// becomes what the size needs, as clients charge (set it in the bytes to
// send 0).
//
//   smb2::create(s.header(SMB2_CREATE, tid), {.name = "a.txt"})
//   smb2::read(s.header(SMB2_READ, tid), {.fid = fid, .length = 65536})
#pragma once

#include "support/builders/wire.h"

#include <string>
#include <vector>

namespace smb2 {

// Access masks and options that tests use by name.
enum : uint32_t {
    ACCESS_READ = 0x00120089, // READ_DATA | READ_EA | READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE
    ACCESS_GENERIC_READ = 0x80000000,
    ACCESS_GENERIC_WRITE = 0x40000000,
    ACCESS_GENERIC_EXECUTE = 0x20000000,
    ACCESS_GENERIC_ALL = 0x10000000,
    ACCESS_MAXIMUM_ALLOWED = 0x02000000,
    ACCESS_DELETE = 0x00010000,
    OPT_DIRECTORY_FILE = 0x00000001,
    OPT_WRITE_THROUGH = 0x00000002,
    OPT_NON_DIRECTORY_FILE = 0x00000040,
    OPT_DELETE_ON_CLOSE = 0x00001000,
};

// TREE_CONNECT with the path (ASCII, sent as UTF-16LE) right after the fixed fields.
Bytes tree_connect(Header h, const std::string &path);
Bytes tree_disconnect(Header h);

// One create context: its name ("QFid", "MxAc", ...) and data.
struct CreateContext {
    std::string name;
    Bytes data;
};
// A chain of create contexts, each aligned to 8 bytes, names relative to
// their context (as clients send them).
Bytes create_contexts(const std::vector<CreateContext> &contexts);

struct CreateParams {
    std::string name{}; // ASCII, sent as UTF-16LE
    Bytes raw_name{};   // when not empty: the name bytes as given (any encoding)
    uint32_t access = ACCESS_READ;
    uint32_t disposition = 1; // FILE_OPEN
    uint32_t options = 0;
    uint32_t impersonation = 2;
    Bytes contexts{}; // create-context area, placed after the name at an 8-byte boundary
    uint8_t oplock = 0; // RequestedOplockLevel; 0xFF asks for the lease of an "RqLs" context
};
// The CREATE body (StructureSize 57). Name at offset 120; the contexts at
// the next multiple of 8 after it.
Bytes create_body(const CreateParams &p);
Bytes create(Header h, const CreateParams &p);

Bytes close_body(uint64_t fid, uint64_t volatile_fid = 0);
Bytes close(Header h, uint64_t fid, uint64_t volatile_fid = 0);

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

// A lease key: `key` and its complement, little-endian, 16 bytes.
Bytes lease_key(uint64_t key);
// The data of an "RqLs" context (MS-SMB2 2.2.13.2.8; 52 bytes, the version
// 2 form, with `v2`), for a state of R 1, H 2, W 4.
Bytes lease_request(uint64_t key, uint32_t state, bool v2 = false);
// CREATE asking for a lease (RequestedOplockLevel 0xFF with the context).
CreateParams with_lease(CreateParams p, uint64_t key, uint32_t state, bool v2 = false);

struct NotifyParams {
    uint64_t fid = 0;
    uint32_t filter = 0x3;   // CompletionFilter: file and folder names
    uint16_t flags = 0;      // 0x1 WATCH_TREE
    uint32_t out_len = 4096; // OutputBufferLength
};
// CHANGE_NOTIFY, StructureSize 32.
Bytes change_notify(Header h, const NotifyParams &p);
// OPLOCK_BREAK acknowledgments: of an oplock (24 bytes) and of a lease (36).
Bytes oplock_ack(Header h, uint64_t fid, uint8_t level);
Bytes lease_ack(Header h, uint64_t key, uint32_t state);
// CANCEL: of a request by its MessageId (h.mid), or with `async_id` not 0,
// an async CANCEL naming it.
Bytes cancel(Header h, uint64_t async_id = 0);

struct QueryInfoParams {
    uint64_t fid = 0;
    uint8_t type = 1; // 1 file, 2 file system, 3 security, 4 quota
    uint8_t cls = 0;
    uint32_t out_len = 4096; // OutputBufferLength
    uint32_t additional = 0; // AdditionalInformation (security: which parts)
};
// StructureSize 41, no input buffer.
Bytes query_info(Header h, const QueryInfoParams &p);

} // namespace smb2
