// Leases and oplocks: what CREATE grants (the read-only part of what a
// client asks for), the watch each grant keeps on its file, the break sent
// when the host changes that file, and the end of breaks that are never
// acknowledged. The acknowledgments themselves are OPLOCK_BREAK requests
// (oplock_break.cpp).
#include "engine/qv2_cache.h"

#include "config/qv2_cfg.h"
#include "engine/conn_log.h"
#include "engine/engine.h"
#include "engine/qv2_hub.h"
#include "files/qv2_fs.h"
#include "platform/qv2_platform.h"

#include <cstdlib>
#include <cstring>

namespace {

enum : uint32_t {
    DIALECT_210 = 0x0210,
    DIALECT_300 = 0x0300,
    LEASE_FLAG_BREAK_IN_PROGRESS = 0x02,
    LEASE_FLAG_PARENT_KEY_SET = 0x04,
    BREAK_ACK_REQUIRED = 0x01,
    LEASE_BREAK_SIZE = 44,
    OPLOCK_BREAK_SIZE = 24,
};

// A "RqLs" context's data (MS-SMB2 2.2.13.2.8 and 2.2.13.2.10).
struct lease_request {
    uint8_t key[16];
    uint32_t state;
    uint32_t flags;
    uint8_t parent[16];
    uint16_t epoch;
    bool v2;
};

// The version 2 form belongs to the SMB 3 dialects (2.2.13.2.10); a longer
// context from a 2.1 client is read by its version 1 part, which the two
// forms share, and answered in version 1.
bool parse_request(const qv2_conn *c, const uint8_t *d, uint32_t len, lease_request *q) {
    if (!d || len < QV2_LEASE_CTX_V1) return false;
    *q = lease_request{};
    memcpy(q->key, d, 16);
    q->state = qv2_le32(d + 16);
    if (len >= QV2_LEASE_CTX_V2 && c->dialect >= int(DIALECT_300)) {
        q->v2 = true;
        q->flags = qv2_le32(d + 20);
        memcpy(q->parent, d + 32, 16);
        q->epoch = qv2_le16(d + 48);
    }
    return true;
}

// Watches an open's file and checks that it is still what CREATE saw:
// without the second look a change between the CREATE's stat and the watch
// would go unnoticed, and the client would cache what it never read.
bool watch_unchanged(qv2_conn *c, const qv2_open *o, qv2_hub_sub **watch) {
    qv2_hub_box *box = qv2_cache_box(c);
    if (!box || qv2_hub_watch_file(box, o->host, watch) != QV2_HUB_OK) return false;
    qv2_fs_info now;
    const qv2_fs_info &then = o->info;
    if (qv2_fs_stat(o->host, &now) != 0 || now.ino != then.ino || now.dev != then.dev ||
        now.size != then.size || now.change_ns != then.change_ns) {
        qv2_hub_unwatch(box, watch);
        return false;
    }
    return true;
}

void put_lease_context(const qv2_lease *l, const lease_request &q, uint8_t *out, uint32_t *len) {
    memset(out, 0, QV2_LEASE_CTX_V2);
    memcpy(out, l->key, 16);
    qv2_put_le32(out + 16, l->state);
    uint32_t flags = l->breaking ? uint32_t(LEASE_FLAG_BREAK_IN_PROGRESS) : 0;
    if (l->v2) {
        if (q.flags & LEASE_FLAG_PARENT_KEY_SET) {
            flags |= LEASE_FLAG_PARENT_KEY_SET;
            memcpy(out + 32, q.parent, 16);
        }
        qv2_put_le16(out + 48, l->epoch);
    }
    qv2_put_le32(out + 20, flags);
    *len = l->v2 ? QV2_LEASE_CTX_V2 : QV2_LEASE_CTX_V1;
}

uint64_t name_hash(const char *host) {
    return qv2_fnv1a64(host, strlen(host), QV2_FNV_BASIS);
}

// The read-only part of a requested lease state: R, or RH; H alone is
// nothing (MS-SMB2 3.3.5.9.8 offers no H without R either).
uint32_t grantable(uint32_t asked) {
    uint32_t s = asked & (QV2_LEASE_R | QV2_LEASE_H);
    return (s & QV2_LEASE_R) ? s : 0;
}

uint8_t grant_lease(qv2_conn *c, const qv2_open *o, qv2_grant *g, const lease_request &q,
                    uint8_t *ctx_out, uint32_t *ctx_len) {
    uint32_t want = grantable(q.state);
    qv2_lease *l = qv2_lease_find(c, q.key);
    if (l) {
        // Another open by the same key shares the lease, which may grow
        // (R to RH, or back from a break) but never shrinks here.
        if (!l->breaking && (want & ~l->state)) {
            bool watched = l->watch != nullptr || watch_unchanged(c, o, &l->watch);
            if (watched) {
                l->state |= want;
                if (l->v2) l->epoch++;
            }
        }
    } else {
        if (want == 0 || c->cache.lease_count >= QV2_LEASES_MAX) return QV2_OPLOCK_NONE;
        l = static_cast<qv2_lease *>(calloc(1, sizeof(qv2_lease)));
        if (!l) return QV2_OPLOCK_NONE;
        if (!watch_unchanged(c, o, &l->watch)) {
            free(l);
            return QV2_OPLOCK_NONE;
        }
        memcpy(l->key, q.key, 16);
        l->state = want;
        l->v2 = q.v2;
        l->epoch = q.v2 ? uint16_t(q.epoch + 1) : 0;
        l->name_hash = name_hash(o->host);
        l->next = c->cache.leases;
        c->cache.leases = l;
        c->cache.lease_count++;
    }
    l->opens++;
    g->lease = l;
    if (l->state) qv2_stat_add(QV2_ST_GRANTS, 1);
    put_lease_context(l, q, ctx_out, ctx_len);
    return QV2_OPLOCK_LEASE;
}

// The open whose name a log line about a lease gives: any open holding it.
const qv2_open *open_of_lease(qv2_conn *c, const qv2_lease *l) {
    for (const qv2_grant *g = c->cache.grants; g; g = g->next)
        if (g->lease == l) return qv2_cache_open(c, g->open_id);
    return nullptr;
}

// A lease break has no session of its own (SessionId 0); it goes sealed
// when a session holding the lease encrypts everything, or the open's tree
// does.
qv2_session *lease_sealer(qv2_conn *c, const qv2_lease *l) {
    for (const qv2_grant *g = c->cache.grants; g; g = g->next) {
        const qv2_open *o = g->lease == l ? qv2_cache_open(c, g->open_id) : nullptr;
        qv2_session *s = o && o->sess ? qv2_push_sealer(c, o->sess->id, o->encrypt_data) : nullptr;
        if (s) return s;
    }
    return nullptr;
}

const char *state_text(uint32_t s) {
    return (s & QV2_LEASE_H) ? "RH" : (s & QV2_LEASE_R) ? "R" : "none";
}

void note_deadline(qv2_conn *c, uint64_t at) {
    if (c->cache.next_deadline_ms == 0 || at < c->cache.next_deadline_ms)
        c->cache.next_deadline_ms = at;
}

// MS-SMB2 3.3.4.7: a lease break notification, to none. It needs an
// acknowledgment only when it takes away more than R (2.2.23.2).
void break_lease(qv2_conn *c, qv2_lease *l, uint64_t now) {
    qv2_hub_unwatch(c->cache.box, &l->watch);
    uint32_t from = l->state;
    if (!(from & QV2_LEASE_R) || l->opens == 0) { // nothing cached, or no one to tell
        l->state = 0;
        return;
    }
    bool ack = (from & (QV2_LEASE_H | QV2_LEASE_W)) != 0;
    if (l->v2) l->epoch++;
    qv2_buf b{};
    // SessionId and TreeId 0: a lease belongs to the client, not to a session.
    qv2_push_header(&b, SMB2_OPLOCK_BREAK, STATUS_SUCCESS, ~uint64_t(0), 0, 0);
    w16(&b, LEASE_BREAK_SIZE);
    w16(&b, l->v2 ? l->epoch : 0); // NewEpoch
    w32(&b, ack ? uint32_t(BREAK_ACK_REQUIRED) : 0);
    qv2_buf_put(&b, l->key, 16);
    w32(&b, from);
    w32(&b, 0); // NewLeaseState
    w32(&b, 0); // BreakReason
    w32(&b, 0); // AccessMaskHint
    w32(&b, 0); // ShareMaskHint
    const qv2_open *o = open_of_lease(c, l);
    qv2_push_send(c, &b, nullptr, lease_sealer(c, l));
    qv2_stat_add(QV2_ST_BREAKS_SENT, 1);
    if (o) log_break(c, o, "lease", state_text(from), ack);
    if (!ack) {
        l->state = 0;
    } else { // the state is held until acknowledged (3.3.5.22.2) or overdue
        l->breaking = true;
        l->break_to = 0;
        l->deadline_ms = now + QV2_BREAK_ACK_MS;
        note_deadline(c, l->deadline_ms);
    }
}

// MS-SMB2 3.3.4.6: an oplock break notification, level II to none.
void break_oplock(qv2_conn *c, qv2_grant *g, uint64_t now) {
    qv2_hub_unwatch(c->cache.box, &g->watch);
    const qv2_open *o = qv2_cache_open(c, g->open_id);
    qv2_buf b{};
    qv2_push_header(&b, SMB2_OPLOCK_BREAK, STATUS_SUCCESS, ~uint64_t(0), g->session_id, 0);
    w16(&b, OPLOCK_BREAK_SIZE);
    qv2_buf_byte(&b, QV2_OPLOCK_NONE);
    qv2_buf_byte(&b, 0);
    w32(&b, 0);
    w64(&b, g->open_id); // FileId: the persistent half...
    w64(&b, 0);          // ...and the volatile half, always 0 here
    qv2_push_send(c, &b, nullptr, qv2_push_sealer(c, g->session_id, o && o->encrypt_data));
    qv2_stat_add(QV2_ST_BREAKS_SENT, 1);
    if (o) log_break(c, o, "oplock", "II", false);
    // A break from level II needs no acknowledgment (2.2.24.1), but one
    // that comes while it is under way is still accepted.
    g->oplock_breaking = true;
    g->deadline_ms = now + QV2_BREAK_ACK_MS;
    note_deadline(c, g->deadline_ms);
}

} // namespace

uint32_t qv2_lease_check(qv2_conn *c, uint8_t level, const uint8_t *ctx, uint32_t len,
                         const char *host) {
    lease_request q;
    if (!c->cache.leasing || level != QV2_OPLOCK_LEASE || c->dialect < int(DIALECT_210) ||
        !parse_request(c, ctx, len, &q))
        return 0;
    const qv2_lease *l = qv2_lease_find(c, q.key);
    if (l && l->name_hash != name_hash(host)) return STATUS_INVALID_PARAMETER;
    return 0;
}

uint8_t qv2_lease_grant(qv2_conn *c, const qv2_open *o, uint8_t level, const uint8_t *ctx,
                        uint32_t len, uint8_t ctx_out[QV2_LEASE_CTX_V2], uint32_t *ctx_len) {
    *ctx_len = 0;
    if (!c->cache.leasing || o->is_pipe || o->is_dir) return QV2_OPLOCK_NONE;
    bool lease = level == QV2_OPLOCK_LEASE;
    lease_request q;
    if (lease && (c->dialect < int(DIALECT_210) || !parse_request(c, ctx, len, &q)))
        return QV2_OPLOCK_NONE;
    if (!lease && level != QV2_OPLOCK_II && level != QV2_OPLOCK_EXCLUSIVE &&
        level != QV2_OPLOCK_BATCH)
        return QV2_OPLOCK_NONE;
    if (!qv2_cache_box(c) || !qv2_hub_share_watchable(&o->share)) return QV2_OPLOCK_NONE;
    qv2_grant *g = qv2_cache_grant_of(c, o->id, true);
    if (!g) return QV2_OPLOCK_NONE;
    if (lease) return grant_lease(c, o, g, q, ctx_out, ctx_len);
    // Exclusive and batch would promise that no one else writes; the host
    // may, so level II is the most any open gets.
    if (!watch_unchanged(c, o, &g->watch)) return QV2_OPLOCK_NONE;
    g->oplock = QV2_OPLOCK_II;
    g->session_id = o->sess ? o->sess->id : c->cur_sid;
    qv2_stat_add(QV2_ST_GRANTS, 1);
    return QV2_OPLOCK_II;
}

void qv2_lease_poll(qv2_conn *c, bool news, uint64_t now) {
    qv2_cache &k = c->cache;
    if (news) {
        for (qv2_lease *l = k.leases; l; l = l->next)
            if (l->watch && qv2_hub_changed(k.box, l->watch)) break_lease(c, l, now);
        for (qv2_grant *g = k.grants; g; g = g->next)
            if (g->oplock == QV2_OPLOCK_II && g->watch && qv2_hub_changed(k.box, g->watch))
                break_oplock(c, g, now);
    }
    if (k.next_deadline_ms == 0 || now < k.next_deadline_ms) return;
    // MS-SMB2 3.3.6.5: a break not acknowledged in time is taken as done.
    for (qv2_lease *l = k.leases, *next; l; l = next) {
        next = l->next;
        if (!l->breaking || now < l->deadline_ms) continue;
        l->breaking = false;
        l->state = l->break_to;
        if (l->opens == 0) qv2_lease_free(c, l);
    }
    for (qv2_grant *g = k.grants; g; g = g->next) {
        if (!g->oplock_breaking || now < g->deadline_ms) continue;
        g->oplock_breaking = false;
        g->oplock = QV2_OPLOCK_NONE;
    }
    qv2_lease_deadlines(c);
}

void qv2_lease_deadlines(qv2_conn *c) {
    c->cache.next_deadline_ms = 0;
    for (const qv2_lease *l = c->cache.leases; l; l = l->next)
        if (l->breaking) note_deadline(c, l->deadline_ms);
    for (const qv2_grant *g = c->cache.grants; g; g = g->next)
        if (g->oplock_breaking) note_deadline(c, g->deadline_ms);
}

void qv2_lease_release(qv2_conn *c, qv2_grant *g) {
    if (g->watch) qv2_hub_unwatch(c->cache.box, &g->watch);
    g->oplock = QV2_OPLOCK_NONE;
    g->oplock_breaking = false;
    qv2_lease *l = g->lease;
    g->lease = nullptr;
    if (!l) return;
    // A lease whose break awaits its acknowledgment outlives its last open:
    // clients close their cached handles first and acknowledge after.
    if (--l->opens == 0 && !l->breaking) qv2_lease_free(c, l);
}

qv2_lease *qv2_lease_find(qv2_conn *c, const uint8_t key[16]) {
    for (qv2_lease *l = c->cache.leases; l; l = l->next)
        if (memcmp(l->key, key, 16) == 0) return l;
    return nullptr;
}

void qv2_lease_free(qv2_conn *c, qv2_lease *l) {
    for (qv2_lease **link = &c->cache.leases; *link; link = &(*link)->next) {
        if (*link == l) {
            *link = l->next;
            c->cache.lease_count--;
            break;
        }
    }
    if (l->watch) qv2_hub_unwatch(c->cache.box, &l->watch);
    free(l);
}
