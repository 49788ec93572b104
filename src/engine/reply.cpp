// The request-body reader, the reply builder and the error replies every
// command handler shares.
#include "config/qv2_cfg.h"
#include "engine/engine.h"
#include "foundation/qv2_trace.h"

#include <cstdio>
#include <cstring>

namespace {

// Reads n (1..8) little-endian bytes; a read past the end takes what remains.
uint64_t rd_le(qv2_reader *r, unsigned n) {
    uint64_t left = r->pos < r->size ? r->size - r->pos : 0;
    unsigned take = n;
    if (left < n) {
        take = unsigned(left);
        r->bad = 1;
    }
    uint64_t v = 0;
    for (unsigned i = 0; i < take; i++) v |= uint64_t(r->data[r->pos + i]) << (8 * i);
    r->pos += take;
    return v;
}

// The builder's header area when its buffer has failed: writes into it go
// nowhere, so handlers need no check of their own before touching a header.
thread_local uint8_t scratch_hdr[SMB2_HDR_LEN];

bool hdr_present(const qv2_reply *r) {
    return r->buf.data && r->buf.len >= SMB2_HDR_LEN && r->hdr_off <= r->buf.len - SMB2_HDR_LEN;
}

void put_hdr(qv2_reply *r, uint32_t cmd, uint32_t status, uint64_t mid, uint64_t sid,
             uint32_t tid, uint16_t charge, uint16_t credits, uint32_t flags) {
    uint8_t h[SMB2_HDR_LEN] = {0xFE, 'S', 'M', 'B'};
    qv2_put_le16(h + 4, SMB2_HDR_LEN);
    qv2_put_le16(h + 6, charge);
    qv2_put_le32(h + 8, status);
    qv2_put_le16(h + 12, uint16_t(cmd & 0xFF));
    qv2_put_le16(h + 14, credits);
    qv2_put_le32(h + 16, flags);
    qv2_put_le64(h + 24, mid);
    qv2_put_le32(h + 36, tid);
    qv2_put_le64(h + 40, sid);
    qv2_buf_put(&r->buf, h, sizeof h);
}

// Steps shared by both kinds of error reply: the MessageId the reply carries,
// and the trace line.
uint64_t err_mid(qv2_conn *c, uint32_t cmd, uint32_t status, int line) {
    uint64_t mid = c->cur_mid;
    if (mid == 0) {
        mid = c->last_mid + 1;
        c->last_mid = mid;
    }
    qv2_trace(c->conn_id, "dirir2i", "ERR_REPLY cmd=%u status=%08x line=%d mid=%llu%s\n", cmd,
              status, line, (unsigned long long)mid, c->in_compound ? " (chained)" : "");
    return mid;
}

void err_done(qv2_conn *c, uint64_t mid) {
    if (mid > c->last_mid) c->last_mid = mid;
}

} // namespace

uint16_t rd_u16(qv2_reader *r) { return uint16_t(rd_le(r, 2)); }
uint32_t rd_u32(qv2_reader *r) { return uint32_t(rd_le(r, 4)); }
uint64_t rd_u64(qv2_reader *r) { return rd_le(r, 8); }

void rd_skip(qv2_reader *r, uint64_t n) {
    uint64_t left = r->pos < r->size ? r->size - r->pos : 0;
    if (left < n) {
        n = left;
        r->bad = 1;
    }
    r->pos += n;
}

void w16(qv2_buf *b, uint16_t v) {
    uint8_t p[2];
    qv2_put_le16(p, v);
    qv2_buf_put(b, p, 2);
}
void w32(qv2_buf *b, uint32_t v) {
    uint8_t p[4];
    qv2_put_le32(p, v);
    qv2_buf_put(b, p, 4);
}
void w64(qv2_buf *b, uint64_t v) {
    uint8_t p[8];
    qv2_put_le64(p, v);
    qv2_buf_put(b, p, 8);
}

void rep_begin(qv2_reply *r, uint32_t cmd, uint32_t status, uint64_t mid, uint64_t sid,
               uint32_t tid, uint16_t charge, uint16_t credits) {
    r->buf.len = 0;
    if (r->buf.data) r->buf.data[0] = 0;
    r->hdr_off = 0;
    put_hdr(r, cmd, status, mid, sid, tid, charge, credits, SMB2_FLAG_RESPONSE);
}

void rep_chain(qv2_reply *r, uint32_t cmd, uint32_t status, uint64_t mid, uint64_t sid,
               uint32_t tid, uint16_t charge, uint16_t credits) {
    if (r->buf.len == 0) { // nothing to chain to
        rep_begin(r, cmd, status, mid, sid, tid, charge, credits);
        return;
    }
    while (r->buf.len % 8 && !r->buf.failed) qv2_buf_byte(&r->buf, 0);
    if (r->buf.failed) return;
    if (hdr_present(r))
        qv2_put_le32(r->buf.data + r->hdr_off + 20, uint32_t(r->buf.len - r->hdr_off));
    r->hdr_off = r->buf.len;
    put_hdr(r, cmd, status, mid, sid, tid, charge, credits,
            SMB2_FLAG_RESPONSE | SMB2_FLAG_RELATED);
}

uint8_t *rep_hdr(qv2_reply *r) {
    if (!hdr_present(r)) return scratch_hdr;
    return r->buf.data + r->hdr_off;
}

void rep_set_status(qv2_reply *r, uint32_t status) { qv2_put_le32(rep_hdr(r) + 8, status); }

void rep_error_body(qv2_buf *b) {
    static const uint8_t body[9] = {0x09, 0x00};
    qv2_buf_put(b, body, sizeof body);
}

void err_reply_l(qv2_conn *c, qv2_reply *r, uint32_t cmd, uint32_t status, uint64_t sid,
                 uint32_t tid, int line) {
    uint64_t mid = err_mid(c, cmd, status, line);
    if (r->buf.len == 0) {
        // No reply exists in this message yet: the error goes out on its own,
        // at once, and the builder stays empty.
        qv2_reply lone{};
        rep_begin(&lone, cmd, status, mid, sid, tid, 0, 1);
        rep_error_body(&lone.buf);
        if (!lone.buf.failed) send_frame(c, lone.buf.data, lone.buf.len);
        else c->closing = 1;
        qv2_buf_free(&lone.buf);
    } else {
        rep_set_status(r, status);
        // An error reply is the header and the error body, whatever the
        // handler appended.
        if (hdr_present(r) && r->buf.len > r->hdr_off + SMB2_HDR_LEN) {
            r->buf.len = r->hdr_off + SMB2_HDR_LEN;
            r->buf.data[r->buf.len] = 0;
        }
        rep_error_body(&r->buf);
        if (c->in_compound) {
            c->chain_err_pending = 1;
            r->last_status = status;
        }
    }
    err_done(c, mid);
}

void err_reply_new_l(qv2_conn *c, qv2_reply *r, uint32_t cmd, uint32_t status, uint64_t sid,
                     uint32_t tid, int line) {
    uint64_t mid = err_mid(c, cmd, status, line);
    rep_chain(r, cmd, status, mid, sid, tid, 0, 1);
    rep_error_body(&r->buf);
    c->chain_err_pending = 1;
    r->last_status = status;
    err_done(c, mid);
}

void create_error_l(qv2_conn *c, qv2_reply *r, uint32_t status, int line) {
    qv2_trace(c->conn_id, "dirir2i", "CREATE_ERR line=%d status=%08x\n", line, status);
    qv2_stat_add(QV2_ST_OPEN_REFUSED, 1);
    if (c->in_compound && r->buf.len > SMB2_HDR_LEN) {
        err_reply_l(c, r, SMB2_CREATE, status, c->cur_sid, c->cur_tree_id, 1085);
        return;
    }
    rep_set_status(r, status);
    uint8_t body[88] = {0x09, 0x00};
    qv2_buf_put(&r->buf, body, sizeof body);
}

void rep_error_data(qv2_reply *r, const void *data, uint32_t n) {
    qv2_buf *b = &r->buf;
    if (b->failed || !hdr_present(r) || b->len != r->hdr_off + SMB2_HDR_LEN + 9) return;
    qv2_put_le32(b->data + b->len - 9 + 4, n); // ByteCount
    b->len -= 1;                               // the placeholder byte of ErrorData
    b->data[b->len] = 0;
    qv2_buf_put(b, data, n);
}
