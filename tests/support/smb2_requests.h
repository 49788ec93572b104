// Readers for CREATE replies, beside the request builders they go with.
//
//   smb2::Session s = smb2::logon(dc);
//   smb2::Reply t = dc.process(smb2::tree_connect(s.header(SMB2_TREE_CONNECT), "\\\\h\\docs"));
//   uint32_t tid = t.tid();
//   smb2::Reply o = dc.process(smb2::create(s.header(SMB2_CREATE, tid), {.name = "a.txt"}));
//   uint64_t fid = smb2::create_fid(o);
//   dc.process(smb2::close(s.header(SMB2_CLOSE, tid), fid));
#pragma once

#include "support/builders/requests.h"
#include "support/smb2_frames.h"

namespace smb2 {

// Fields of a CREATE reply (offsets from its header).
inline uint64_t create_fid(const Reply &r) {
    return r.u64(128);
}
inline uint32_t create_attributes(const Reply &r) {
    return r.u32(120);
}

} // namespace smb2
