// The srvsvc pipe over WRITE and READ. Some clients (impacket among them)
// talk to a named pipe by writing the request PDU and reading the answer,
// rather than in one IOCTL transceive. A WRITE on an open of the pipe runs
// the same transceive and keeps the answer in the open until READs take it.
// Nothing on a share is ever written: the dispatcher refuses a WRITE whose
// FileId names anything but an open pipe before it reaches this file.
#include "config/qv2_cfg.h"
#include "engine/engine.h"

#include <cstring>

namespace {

enum : uint32_t {
    WRITE_STRUCTURE_SIZE = 49,
    WRITE_RESPONSE_SIZE = 17,
    READ_RESPONSE_SIZE = 17,
    READ_DATA_OFFSET = 80,
    WRITE_FID_AT = 16,      // body offset of the FileId's persistent half
    PIPE_INPUT_MAX = 16384, // as for the IOCTL transceive
};

} // namespace

bool write_targets_pipe(qv2_conn *c, const uint8_t *body, uint64_t n) {
    if (n < WRITE_FID_AT + 8) return false;
    qv2_open *o = open_find(c, qv2_le64(body + WRITE_FID_AT));
    return o && o->is_pipe;
}

// WRITE on the pipe: the data is one DCE/RPC PDU. Refuses a malformed
// request or data outside the message or above 16384 bytes
// (INVALID_PARAMETER) and a channel (NOT_SUPPORTED).
void cmd_write(qv2_conn *c, qv2_reader *rd, qv2_reply *r) {
    uint16_t size = rd_u16(rd);
    uint16_t data_off = rd_u16(rd);
    uint32_t length = rd_u32(rd);
    rd_skip(rd, 8); // Offset: a pipe has none
    uint64_t fid = rd_u64(rd);
    rd_skip(rd, 8); // volatile half
    uint32_t channel = rd_u32(rd);
    rd_skip(rd, 4 + 2 + 2 + 4); // RemainingBytes, WriteChannelInfo, Flags
    if (size != WRITE_STRUCTURE_SIZE || rd->bad) {
        err_reply(c, r, SMB2_WRITE, STATUS_INVALID_PARAMETER);
        return;
    }
    if (channel != 0) {
        err_reply(c, r, SMB2_WRITE, STATUS_NOT_SUPPORTED);
        return;
    }
    qv2_open *o = open_find(c, fid);
    if (!o || !o->is_pipe) { // the dispatcher lets nothing else through
        err_reply(c, r, SMB2_WRITE, STATUS_ACCESS_DENIED);
        return;
    }
    if (data_off < SMB2_HDR_LEN || length > PIPE_INPUT_MAX ||
        uint64_t(data_off - SMB2_HDR_LEN) + length > rd->size) {
        err_reply(c, r, SMB2_WRITE, STATUS_INVALID_PARAMETER);
        return;
    }
    // A new request replaces an answer nobody read.
    qv2_buf_free(&o->pipe_out);
    srvsvc_transceive(c->sess->log_user, c->sess->guest, rd->data + (data_off - SMB2_HDR_LEN),
                      length, &o->pipe_out);
    if (o->pipe_out.failed) {
        qv2_buf_free(&o->pipe_out);
        err_reply(c, r, SMB2_WRITE, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    w16(&r->buf, WRITE_RESPONSE_SIZE);
    w16(&r->buf, 0);      // Reserved
    w32(&r->buf, length); // Count: all of it was taken
    w32(&r->buf, 0);      // Remaining
    w16(&r->buf, 0);      // WriteChannelInfoOffset
    w16(&r->buf, 0);      // WriteChannelInfoLength
}

// With nothing written, there is nothing to read: the pipe only answers.
// An answer longer than the client's Length goes out in pieces, each but
// the last flagged STATUS_BUFFER_OVERFLOW.
void pipe_read(qv2_conn *c, qv2_open *o, uint32_t length, qv2_reply *r) {
    qv2_buf *out = &o->pipe_out;
    if (out->len == 0) {
        err_reply(c, r, SMB2_READ, STATUS_NOT_SUPPORTED);
        return;
    }
    uint32_t n = out->len < length ? uint32_t(out->len) : length;
    w16(&r->buf, READ_RESPONSE_SIZE);
    qv2_buf_byte(&r->buf, READ_DATA_OFFSET);
    qv2_buf_byte(&r->buf, 0); // Reserved
    w32(&r->buf, n);          // DataLength
    w32(&r->buf, 0);          // DataRemaining
    w32(&r->buf, 0);          // Reserved2
    qv2_buf_put(&r->buf, out->data, n);
    if (n < out->len) {
        rep_set_status(r, STATUS_BUFFER_OVERFLOW);
        memmove(out->data, out->data + n, out->len - n);
        out->len -= n;
        out->data[out->len] = 0;
    } else {
        qv2_buf_free(out);
    }
    qv2_stat_add(QV2_ST_READS, 1);
}
