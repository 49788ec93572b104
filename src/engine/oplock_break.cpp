// OPLOCK_BREAK from a client: the acknowledgment of an oplock break (24
// bytes, MS-SMB2 2.2.24.1) or of a lease break (36 bytes, 2.2.24.2), checked
// as 3.3.5.22 says and answered with the state the open or lease keeps.
#include "engine/qv2_cache.h"

#include "config/qv2_cfg.h"
#include "engine/engine.h"

#include <cstring>

namespace {

enum : uint16_t {
    OPLOCK_ACK_SIZE = 24,
    LEASE_ACK_SIZE = 36,
};

// Bytes of the body as they are; past its end, zeros and `bad` set.
void take(qv2_reader *rd, uint8_t *out, uint64_t n) {
    memset(out, 0, n);
    if (rd->pos <= rd->size && rd->size - rd->pos >= n) memcpy(out, rd->data + rd->pos, n);
    rd_skip(rd, n);
}

// MS-SMB2 3.3.5.22.1.
void oplock_ack(qv2_conn *c, qv2_reader *rd, qv2_reply *r) {
    uint8_t level;
    take(rd, &level, 1);
    rd_skip(rd, 1 + 4); // Reserved, Reserved2
    uint64_t fid = rd_u64(rd);
    uint64_t fid_volatile = rd_u64(rd);
    if (rd->bad) {
        err_reply(c, r, SMB2_OPLOCK_BREAK, STATUS_INVALID_PARAMETER);
        return;
    }
    if (!open_find(c, fid)) {
        err_reply(c, r, SMB2_OPLOCK_BREAK, STATUS_FILE_CLOSED);
        return;
    }
    qv2_grant *g = qv2_cache_grant_of(c, fid, false);
    if (!g || !g->oplock_breaking) {
        err_reply(c, r, SMB2_OPLOCK_BREAK, STATUS_INVALID_DEVICE_STATE);
        return;
    }
    // Either way the break is over, and the open keeps no oplock.
    g->oplock_breaking = false;
    g->oplock = QV2_OPLOCK_NONE;
    qv2_lease_deadlines(c);
    if (level == QV2_OPLOCK_LEASE) {
        err_reply(c, r, SMB2_OPLOCK_BREAK, STATUS_INVALID_PARAMETER);
        return;
    }
    // Only level II is ever granted, and it breaks to none.
    if (level != QV2_OPLOCK_NONE) {
        err_reply(c, r, SMB2_OPLOCK_BREAK, STATUS_INVALID_OPLOCK_PROTOCOL);
        return;
    }
    qv2_stat_add(QV2_ST_BREAKS_ACKED, 1);
    w16(&r->buf, OPLOCK_ACK_SIZE);
    qv2_buf_byte(&r->buf, QV2_OPLOCK_NONE);
    qv2_buf_byte(&r->buf, 0);
    w32(&r->buf, 0);
    w64(&r->buf, fid);
    w64(&r->buf, fid_volatile);
}

// MS-SMB2 3.3.5.22.2.
void lease_ack(qv2_conn *c, qv2_reader *rd, qv2_reply *r) {
    rd_skip(rd, 2 + 4); // Reserved, Flags
    uint8_t key[16];
    take(rd, key, sizeof key);
    uint32_t state = rd_u32(rd);
    rd_skip(rd, 8); // LeaseDuration
    if (rd->bad) {
        err_reply(c, r, SMB2_OPLOCK_BREAK, STATUS_INVALID_PARAMETER);
        return;
    }
    qv2_lease *l = qv2_lease_find(c, key);
    if (!l) {
        err_reply(c, r, SMB2_OPLOCK_BREAK, STATUS_OBJECT_NAME_NOT_FOUND);
        return;
    }
    if (!l->breaking) {
        err_reply(c, r, SMB2_OPLOCK_BREAK, STATUS_UNSUCCESSFUL);
        return;
    }
    if (state & ~l->break_to) {
        err_reply(c, r, SMB2_OPLOCK_BREAK, STATUS_REQUEST_NOT_ACCEPTED);
        return;
    }
    l->state = state;
    l->breaking = false;
    qv2_stat_add(QV2_ST_BREAKS_ACKED, 1);
    w16(&r->buf, LEASE_ACK_SIZE);
    w16(&r->buf, 0); // Reserved
    w32(&r->buf, 0); // Flags
    qv2_buf_put(&r->buf, l->key, 16);
    w32(&r->buf, l->state);
    w64(&r->buf, 0); // LeaseDuration
    if (l->opens == 0) qv2_lease_free(c, l);
    qv2_lease_deadlines(c);
}

} // namespace

// Refuses a request that is neither acknowledgment (INVALID_PARAMETER);
// the two kinds then check their own fields. (The dispatcher has made sure
// the request's session is there and logged on.)
void cmd_oplock_break(qv2_conn *c, qv2_reader *rd, qv2_reply *r) {
    uint16_t size = rd_u16(rd);
    if (size == OPLOCK_ACK_SIZE)
        oplock_ack(c, rd, r);
    else if (size == LEASE_ACK_SIZE)
        lease_ack(c, rd, r);
    else
        err_reply(c, r, SMB2_OPLOCK_BREAK, STATUS_INVALID_PARAMETER);
}
