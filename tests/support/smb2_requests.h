// Requests for the tree and handle commands (TREE_CONNECT, TREE_DISCONNECT,
// CREATE with create contexts, CLOSE) and readers for their replies.
//
//   smb2::Session s = smb2::logon(dc);
//   smb2::Reply t = dc.process(smb2::tree_connect(s.header(SMB2_TREE_CONNECT), "\\\\h\\docs"));
//   uint32_t tid = t.tid();
//   smb2::Reply o = dc.process(smb2::create(s.header(SMB2_CREATE, tid), {.name = "a.txt"}));
//   uint64_t fid = smb2::create_fid(o);
//   dc.process(smb2::close(s.header(SMB2_CLOSE, tid), fid));
//
// Header fields other than the command are the caller's; the builders set
// the command themselves.
#pragma once

#include "support/smb2_frames.h"

#include <string>
#include <utility>
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
};
// The CREATE body (StructureSize 57). Name at offset 120; the contexts at
// the next multiple of 8 after it.
Bytes create_body(const CreateParams &p);
Bytes create(Header h, const CreateParams &p);

Bytes close_body(uint64_t fid, uint64_t volatile_fid = 0);
Bytes close(Header h, uint64_t fid, uint64_t volatile_fid = 0);

// Fields of a CREATE reply (offsets from its header).
inline uint64_t create_fid(const Reply &r) {
    return r.u64(128);
}
inline uint32_t create_attributes(const Reply &r) {
    return r.u32(120);
}

} // namespace smb2
