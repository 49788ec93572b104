// IOCTL requests, the DCE/RPC PDUs a client sends through the srvsvc pipe,
// and an NDR decoder for the NetrShareEnum answer, written from the wire
// format alone (it shares no code with the server):
//
//   smb2::Reply r = cl.send(smb2::ioctl(cl.header(SMB2_IOCTL, tid),
//                                       {.fid = pipe, .input = smb2::rpc_bind_srvsvc(1)}));
//   smb2::Bytes ack = smb2::ioctl_output(r);
//   ...
//   smb2::ShareEnum e = smb2::decode_share_enum(smb2::rpc_stub(response_pdu));
//   ASSERT_TRUE(e.ok) << e.error;
#pragma once

#include "support/smb2_frames.h"

#include <optional>
#include <string>
#include <vector>

namespace smb2 {

enum : uint32_t {
    FSCTL_VALIDATE_NEGOTIATE_INFO = 0x00140204,
    FSCTL_PIPE_TRANSCEIVE = 0x0011C017,
    FSCTL_QUERY_NETWORK_INTERFACE_INFO = 0x001401FC,
    FSCTL_GET_REPARSE_POINT = 0x000900A8,
};
constexpr uint64_t FID_NONE = 0xFFFFFFFFFFFFFFFFULL;

struct IoctlParams {
    uint32_t ctl = FSCTL_PIPE_TRANSCEIVE;
    uint64_t fid = 0;
    uint64_t fid_volatile = 0;
    Bytes input{}; // placed right after the fixed fields (InputOffset 120)
    // When set, written instead of the values that describe `input`.
    std::optional<uint32_t> input_offset{};
    std::optional<uint32_t> input_count{};
    uint16_t structure_size = 57;
    uint32_t max_output = 65536;
};
Bytes ioctl_body(const IoctlParams &p);
Bytes ioctl(Header h, const IoctlParams &p);

// IOCTL reply fields (offsets from its header).
inline uint32_t ioctl_ctl(const Reply &r) {
    return r.u32(68);
}
inline uint64_t ioctl_fid(const Reply &r) {
    return r.u64(72);
}
inline uint64_t ioctl_fid_volatile(const Reply &r) {
    return r.u64(80);
}
inline uint32_t ioctl_output_offset(const Reply &r) {
    return r.u32(96);
}
inline uint32_t ioctl_output_count(const Reply &r) {
    return r.u32(100);
}
// The output the reply's OutputOffset and OutputCount describe (empty, and
// a test failure, when they run past the reply).
Bytes ioctl_output(const Reply &r);

// A UUID from its text form, in the DCE wire order (the first three fields
// little-endian): "8a885d04-1ceb-11c9-9fe8-08002b104860".
Bytes uuid(const std::string &text);
extern const char *const SRVSVC_UUID;             // version 3.0
extern const char *const NDR_UUID;                // version 2
extern const char *const NDR64_UUID;              // version 1
extern const char *const LSARPC_UUID;             // version 0.0
extern const char *const BIND_TIME_FEATURES_UUID; // 6cb71c2c-9812-4540-0300-..., version 1

// One presentation context of a BIND: an interface and the transfer
// syntaxes offered for it.
struct RpcContext {
    uint16_t id = 0;
    std::string abstract_uuid = SRVSVC_UUID;
    uint16_t abstract_major = 3, abstract_minor = 0;
    std::vector<std::pair<std::string, uint32_t>> transfer = {{NDR_UUID, 2}};
};
Bytes rpc_bind(uint32_t call_id, const std::vector<RpcContext> &contexts);
// A BIND with the one srvsvc/NDR context: 72 bytes.
Bytes rpc_bind_srvsvc(uint32_t call_id);
// A REQUEST (first and last fragment) for opnum with the given stub.
Bytes rpc_request(uint32_t call_id, uint16_t opnum, const Bytes &stub);
// The stub of a NetrShareEnum call: the server name, level 1 with an empty
// container, no length limit, a zero resume handle.
Bytes netr_share_enum_stub(const std::string &server = "\\\\127.0.0.1");

// The common header fields of a PDU the server sent.
struct RpcHeader {
    uint8_t version = 0, minor = 0, ptype = 0, flags = 0;
    uint32_t drep = 0;
    uint16_t frag_length = 0, auth_length = 0;
    uint32_t call_id = 0;
};
RpcHeader rpc_header(const Bytes &pdu); // a test failure when shorter than 16 bytes
// The stub data of a RESPONSE (everything after its 24-byte header).
Bytes rpc_stub(const Bytes &response);

// A NetrShareEnum answer at level 1, decoded.
struct ShareEntry {
    uint32_t name_referent = 0;
    uint32_t type = 0;
    uint32_t remark_referent = 0;
    std::u16string name;
    std::u16string remark;
};
struct ShareEnum {
    bool ok = false;
    std::string error;
    uint32_t level = 0, discriminant = 0;
    uint32_t container_referent = 0, entries_read = 0, buffer_referent = 0, max_count = 0;
    std::vector<ShareEntry> entries;
    uint32_t total_entries = 0, resume_referent = 0, result = 0;
    bool strings_padded = true; // every string ended on a multiple of 4 with zero padding
    size_t consumed = 0;        // bytes the decoder read (the stub's length when all is used)
};
ShareEnum decode_share_enum(const Bytes &stub);

std::u16string u16(const std::string &ascii);
std::string ascii(const std::u16string &s); // '?' for units above 0x7F

} // namespace smb2
