// IOCTL: the negotiate validation, and the transceive on the srvsvc pipe that
// carries share enumeration. Every other control is refused.
#include "config/qv2_cfg.h"
#include "engine/engine.h"

#include <cstring>

namespace {

enum : uint32_t {
    IOCTL_REQ_SIZE = 57,
    IOCTL_RESP_SIZE = 49,
    IOCTL_OUTPUT_OFF = 112, // right after the fixed response fields
    FSCTL_VALIDATE_NEGOTIATE_INFO = 0x00140204,
    FSCTL_PIPE_TRANSCEIVE = 0x0011C017,
    FSCTL_DFS_GET_REFERRALS = 0x00060194,
    FSCTL_DFS_GET_REFERRALS_EX = 0x000601B0,
    FSCTL_QUERY_NETWORK_INTERFACE_INFO = 0x001401FC,
    INPUT_MAX = 16384, // a BIND or a NetrShareEnum call is far smaller
};

constexpr uint64_t GUID_XOR = 0x51564d4232ULL;
constexpr uint64_t FID_NONE = 0xFFFFFFFFFFFFFFFFULL;

struct ioctl_req {
    uint32_t ctl;
    uint64_t fid;
    uint64_t fid_volatile;
    uint32_t in_off;
    uint32_t in_count;
};

// The fixed response fields; OutputCount is patched once the output is
// written. Returns the offset of the output in the reply buffer.
uint64_t put_response(qv2_reply *r, const ioctl_req &q, uint64_t fid_volatile) {
    qv2_buf *b = &r->buf;
    w16(b, IOCTL_RESP_SIZE);
    w16(b, 0); // Reserved
    w32(b, q.ctl);
    w64(b, q.fid);
    w64(b, fid_volatile);
    w32(b, 0); // InputOffset
    w32(b, 0); // InputCount
    w32(b, IOCTL_OUTPUT_OFF);
    w32(b, 0); // OutputCount
    w32(b, 0); // Flags
    w32(b, 0); // Reserved2
    return b->len;
}

void set_output_count(qv2_reply *r, uint64_t out_at) {
    if (r->buf.failed) return;
    qv2_put_le32(rep_hdr(r) + 100, uint32_t(r->buf.len - out_at));
}

// At 3.x: whether the client's VALIDATE_NEGOTIATE_INFO input describes the
// NEGOTIATE this connection received (MS-SMB2 3.3.5.15.12): its
// capabilities, GUID and security mode, and a dialect list from which the
// same dialect would have been chosen.
bool negotiation_matches(const qv2_conn *c, const uint8_t *in, uint64_t n) {
    if (n < 24) return false;
    uint16_t count = qv2_le16(in + 22);
    if (count == 0 || (n - 24) / 2 < count) return false;
    if (qv2_le32(in) != c->client_caps || memcmp(in + 4, c->client_guid, 16) != 0 ||
        qv2_le16(in + 20) != c->client_security_mode)
        return false;
    qv2_opts o;
    qv2_opts_get(&o);
    uint16_t best = 0;
    for (uint16_t i = 0; i < count; i++) {
        uint16_t d = qv2_le16(in + 24 + 2u * i);
        bool spoken = d == 0x0202 || d == 0x0210 || d == 0x0300 || d == 0x0302 || d == 0x0311;
        if (spoken && d <= o.max_dialect && d > best) best = d;
    }
    return best == c->dialect;
}

// The client's check that nobody downgraded the negotiation: answered from
// what this connection negotiated. Below 3.0 whatever the client sent; at
// 3.x a description that doesn't match ends the connection, unanswered.
void validate_negotiate(qv2_conn *c, qv2_reader *rd, qv2_reply *r, const ioctl_req &q) {
    if (c->dialect >= 0x0300) {
        uint64_t in_at = uint64_t(q.in_off) - SMB2_HDR_LEN;
        bool inside = q.in_off >= SMB2_HDR_LEN && in_at <= rd->size && rd->size - in_at >= q.in_count;
        if (!inside || !negotiation_matches(c, rd->data + in_at, q.in_count)) {
            qv2_stat_add(QV2_ST_PROTOCOL_ERRORS, 1);
            c->closing = 1;
            r->buf.len = 0;
            return;
        }
    }
    uint64_t out_at = put_response(r, q, FID_NONE);
    qv2_buf *b = &r->buf;
    w32(b, c->server_caps); // what NEGOTIATE announced
    w64(b, c->server_guid_seed);
    w64(b, c->server_guid_seed ^ GUID_XOR);
    w16(b, c->dialect >= 0x0300 ? uint16_t(1 | (c->sign_required ? 2 : 0))
                                : uint16_t(c->sign_required ? 2 : 1));
    w16(b, uint16_t(c->dialect));
    set_output_count(r, out_at);
}

void refuse(qv2_conn *c, qv2_reply *r) {
    qv2_stat_add(QV2_ST_IOCTL_REFUSED, 1);
    err_reply(c, r, SMB2_IOCTL, STATUS_NOT_SUPPORTED);
}

} // namespace

// Accepts FSCTL_VALIDATE_NEGOTIATE_INFO on any handle, and
// FSCTL_PIPE_TRANSCEIVE on an open of the srvsvc pipe with at most 16384
// bytes of input inside the message. Refuses a malformed request or sizes
// its CreditCharge does not pay for with INVALID_PARAMETER, an unknown
// FileId (before looking at the control) with FILE_CLOSED, every other
// control with NOT_SUPPORTED (counted in ioctl_refused). A malformed RPC PDU
// still succeeds, with an empty output or a FAULT.
void cmd_ioctl(qv2_conn *c, qv2_reader *rd, qv2_reply *r) {
    if (rd_u16(rd) != IOCTL_REQ_SIZE) {
        err_reply(c, r, SMB2_IOCTL, STATUS_INVALID_PARAMETER);
        return;
    }
    ioctl_req q{};
    rd_skip(rd, 2); // Reserved
    q.ctl = rd_u32(rd);
    q.fid = rd_u64(rd);
    q.fid_volatile = rd_u64(rd);
    c->ioctl_fid_volatile = q.fid_volatile;
    q.in_off = rd_u32(rd);
    q.in_count = rd_u32(rd);
    uint32_t max_input = rd_u32(rd);
    rd_skip(rd, 4); // OutputOffset
    uint32_t out_count = rd_u32(rd);
    uint32_t max_output = rd_u32(rd);
    rd_skip(rd, 4); // Flags
    // The output is never limited or split; the sizes only have to be paid
    // for in credits (MS-SMB2 3.3.5.15).
    uint64_t sent = uint64_t(q.in_count) + out_count;
    uint64_t answered = uint64_t(max_input) + max_output;
    if (rd->bad || !credit_charge_ok(c, sent > answered ? sent : answered)) {
        err_reply(c, r, SMB2_IOCTL, STATUS_INVALID_PARAMETER);
        return;
    }
    if (q.ctl == FSCTL_VALIDATE_NEGOTIATE_INFO) {
        validate_negotiate(c, rd, r, q);
        return;
    }
    // The controls about the server rather than a file take no handle
    // (MS-SMB2 3.3.5.15); every other one names an open, checked first.
    if (q.ctl == FSCTL_DFS_GET_REFERRALS || q.ctl == FSCTL_DFS_GET_REFERRALS_EX ||
        q.ctl == FSCTL_QUERY_NETWORK_INTERFACE_INFO) {
        refuse(c, r);
        return;
    }
    qv2_open *o = open_find(c, q.fid);
    if (!o) {
        err_reply(c, r, SMB2_IOCTL, STATUS_FILE_CLOSED);
        return;
    }
    if (q.ctl != FSCTL_PIPE_TRANSCEIVE || !o->is_pipe) {
        refuse(c, r);
        return;
    }
    // Offsets count from the header; the reader starts after it.
    uint64_t in_at = uint64_t(q.in_off) - SMB2_HDR_LEN;
    if (q.in_off < SMB2_HDR_LEN || in_at > rd->size || rd->size - in_at < q.in_count ||
        q.in_count > INPUT_MAX) {
        err_reply(c, r, SMB2_IOCTL, STATUS_INVALID_PARAMETER);
        return;
    }
    uint64_t out_at = put_response(r, q, c->ioctl_fid_volatile);
    srvsvc_transceive(c->sess->log_user, c->sess->guest, rd->data + in_at, q.in_count,
                      &r->buf);
    set_output_count(r, out_at);
}
