// The connection session loop: reads NetBIOS session-service packets through
// the caller's transport, hands each whole message to frame_in, writes the
// replies, and frees the connection's state at its end. Also the trace and
// the command and message names.
#include "config/qv2_alog.h"
#include "config/qv2_cfg.h"
#include "engine/conn_log.h"
#include "engine/engine.h"
#include "engine/qv2_cache.h"
#include "foundation/qv2_trace.h"
#include "engine/qv2_sess.h"
#include "files/qv2_vfs.h"
#include "platform/qv2_platform.h"
#include "security/qv2_crypto.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum : uint64_t {
    RX_INITIAL = 65536,
    MESSAGE_CAP = 4194304, // whatever max_message says
    FRAME_LEN_MAX = 0xFFFFFF, // the 24-bit session-service length
    READ_TIMEOUT_MS = 100,
    DRAIN_PIECE = 512,
    TRACE_RX_BYTES = 176,
    TRACE_TX_BYTES = 200,
    REPLY_KEEP_MAX = 131072, // what a 64 KiB READ's reply grows to
    // A reply is held back for paired signing only up to this size: two
    // large ones waiting side by side would double what a connection holds.
    HOLD_MAX = 131072,
    READ_AHEAD = 16384, // many queued READ requests, one read
};

enum : uint8_t {
    NBSS_MESSAGE = 0x00,
    NBSS_REQUEST = 0x81,
    NBSS_POSITIVE = 0x82,
};

const char *const names[20] = {
    "NEGOTIATE", "SESSION_SETUP",   "LOGOFF",        "TREE_CONNECT", "TREE_DISCONNECT",
    "CREATE",    "CLOSE",           "FLUSH",         "READ",         "WRITE",
    "LOCK",      "IOCTL",           "CANCEL",        "ECHO",         "QUERY_DIRECTORY",
    "CHANGE_NOTIFY", "QUERY_INFO",  "SET_INFO",      "OPLOCK_BREAK", "?",
};

const char *status_name(uint32_t s) {
    switch (s) {
    case STATUS_SUCCESS: return "SUCCESS";
    case STATUS_PENDING: return "PENDING";
    case STATUS_BUFFER_OVERFLOW: return "BUFFER_OVERFLOW";
    case STATUS_NO_MORE_FILES: return "NO_MORE_FILES";
    case STATUS_INVALID_INFO_CLASS: return "INVALID_INFO_CLASS";
    case STATUS_INVALID_PARAMETER: return "INVALID_PARAMETER";
    case STATUS_MORE_PROCESSING_REQUIRED: return "MORE_PROCESSING_REQUIRED";
    case STATUS_ACCESS_DENIED: return "ACCESS_DENIED";
    case STATUS_OBJECT_NAME_INVALID: return "OBJECT_NAME_INVALID";
    case STATUS_OBJECT_NAME_NOT_FOUND: return "OBJECT_NOT_FOUND";
    case STATUS_OBJECT_PATH_NOT_FOUND: return "OBJECT_PATH_NOT_FOUND";
    case STATUS_LOGON_FAILURE: return "LOGON_FAILURE";
    case STATUS_NOT_SUPPORTED: return "NOT_SUPPORTED";
    case STATUS_REQUEST_NOT_ACCEPTED: return "REQUEST_NOT_ACCEPTED";
    case STATUS_NOT_A_DIRECTORY: return "NOT_A_DIRECTORY";
    case STATUS_USER_SESSION_DELETED: return "USER_SESSION_DELETED";
    case STATUS_FILE_CLOSED: return "FILE_CLOSED";
    case STATUS_NETWORK_NAME_DELETED: return "NETWORK_NAME_DELETED";
    case STATUS_INFO_LENGTH_MISMATCH: return "INFO_LENGTH_MISMATCH";
    case STATUS_INSUFFICIENT_RESOURCES: return "INSUFFICIENT_RESOURCES";
    case STATUS_CANCELLED: return "CANCELLED";
    default: return "STATUS?";
    }
}

uint64_t elapsed_since(uint64_t then) {
    uint64_t now = qv2_now_ms();
    return now > then ? now - then : 0;
}

// A connection that has not logged on within logon_timeout_ms of its start
// is over, however busy it keeps itself: keep-alives and ECHOs would
// otherwise let clients without credentials hold every slot.
bool logon_overdue(const qv2_conn *c) {
    return !c->logged_on && elapsed_since(c->started_ms) > uint64_t(c->opts.logon_timeout_ms);
}

// A logon (or re-authentication) that has not finished within
// logon_timeout_ms of its first leg is abandoned: a session still in
// progress goes, a valid one only loses the exchange.
void expire_logons(qv2_conn *c) {
    uint64_t limit = uint64_t(c->opts.logon_timeout_ms);
    for (qv2_session *s = c->sessions, *next; s; s = next) {
        next = s->next;
        if (!s->auth && s->valid) continue;
        if (elapsed_since(s->started_ms) <= limit) continue;
        if (s->valid) session_auth_end(s);
        else session_remove(c, s);
    }
}

// After a read that brought nothing: 0 to read again, -1 to end the
// connection (server stopping, silent for longer than idle_timeout_ms, or
// past its logon deadline). A connection with nothing to do holds no reply
// storage and no large receive buffer: an idle client that once read or
// sent a megabyte doesn't keep that megabyte.
int wait_check(qv2_conn *c, bool between_messages) {
    // What the host changed is told now, between the client's messages (or
    // in the middle of one, which is no matter: every message goes out whole).
    qv2_cache_poll(c);
    if (c->closing) return -1; // a break or a completion could not be sent
    qv2_buf_free(&c->reply_store);
    qv2_buf_free(&c->reply_store2);
    // Only called when nothing was read, so nothing is read ahead either.
    free(c->in);
    c->in = nullptr;
    c->in_pos = c->in_end = 0;
    if (between_messages && c->rx_cap > RX_INITIAL) {
        auto *smaller = static_cast<uint8_t *>(realloc(c->rx, RX_INITIAL));
        if (smaller) {
            c->rx = smaller;
            c->rx_cap = RX_INITIAL;
        }
    }
    if (qv2_server_stopping()) return -1;
    expire_logons(c);
    if (elapsed_since(c->last_active_ms) > uint64_t(c->opts.idle_timeout_ms) ||
        logon_overdue(c)) {
        qv2_stat_add(QV2_ST_TIMEOUTS, 1);
        return -1;
    }
    return 0;
}

// Reads like io->read, but from the bytes read ahead first. When those are
// used up, a small request refills them with whatever the peer has sent (up
// to READ_AHEAD); a large one reads straight into buf.
int pull(qv2_conn *c, uint8_t *buf, int max, int timeout_ms) {
    if (c->in_pos < c->in_end) {
        uint32_t n = c->in_end - c->in_pos;
        if (n > uint32_t(max)) n = uint32_t(max);
        memcpy(buf, c->in + c->in_pos, n);
        c->in_pos += n;
        return int(n);
    }
    if (max >= int(READ_AHEAD)) return c->io->read(c->io_user, buf, max, timeout_ms);
    if (!c->in) {
        c->in = static_cast<uint8_t *>(malloc(READ_AHEAD));
        if (!c->in) return c->io->read(c->io_user, buf, max, timeout_ms);
    }
    int r = c->io->read(c->io_user, c->in, int(READ_AHEAD), timeout_ms);
    if (r <= 0) return r;
    c->in_pos = 0;
    c->in_end = uint32_t(r) > uint32_t(READ_AHEAD) ? uint32_t(READ_AHEAD) : uint32_t(r);
    return pull(c, buf, max, timeout_ms);
}

// Reads exactly n bytes into buf. A peer that closes is believed on its
// third 0 result. 0 when all are in, -1 when the connection is over.
// between_messages: buf is not rx, which may then shrink while idle.
int read_full(qv2_conn *c, uint8_t *buf, uint64_t n, bool between_messages) {
    uint64_t got = 0;
    int zeros = 0;
    while (got < n) {
        int r = pull(c, buf + got, int(n - got), int(READ_TIMEOUT_MS));
        if (r > 0) {
            got += uint64_t(r) > n - got ? n - got : uint64_t(r);
            continue;
        }
        if (r == 0) {
            if (++zeros >= 3) return -1;
        } else if (r != -2 && r != -3) {
            return -1;
        }
        if (wait_check(c, between_messages) != 0) return -1;
    }
    return 0;
}

// Discards the body of a session request and answers it. A peer that
// announces a body and then goes silent is held no longer than any other
// silent peer. 0, or -1 when the connection is over.
int answer_session_request(qv2_conn *c, uint64_t len) {
    uint8_t sink[DRAIN_PIECE];
    while (len > 0) {
        int want = int(len < DRAIN_PIECE ? len : DRAIN_PIECE);
        int r = pull(c, sink, want, int(READ_TIMEOUT_MS));
        if (r > 0) {
            len -= uint64_t(r) > len ? len : uint64_t(r);
            continue;
        }
        if (r != -2 && r != -3) return -1;
        if (wait_check(c, true) != 0) return -1;
    }
    static const uint8_t ok[4] = {NBSS_POSITIVE, 0, 0, 0};
    if (c->io->write(c->io_user, ok, 4) != 0) return -1;
    c->last_active_ms = qv2_now_ms();
    return 0;
}

// The largest message accepted, whatever max_message says.
uint64_t message_cap(const qv2_conn *c) {
    uint64_t cap = c->opts.max_message > 0 ? uint64_t(c->opts.max_message) : 0;
    return cap > MESSAGE_CAP ? MESSAGE_CAP : cap;
}

// Whether the next message (a session message, nothing else) is already
// read ahead whole, so that receiving it can't wait on the peer.
bool next_message_ready(const qv2_conn *c) {
    uint32_t avail = c->in_end - c->in_pos;
    if (!c->in || avail < 4) return false;
    const uint8_t *h = c->in + c->in_pos;
    uint64_t n = (uint64_t(h[1]) << 16) | (uint64_t(h[2]) << 8) | h[3];
    return h[0] == NBSS_MESSAGE && n > 0 && n <= message_cap(c) && avail - 4 >= n;
}

// Receives the next whole message into rx. Its length in *len; 0, or -1
// when the connection is over.
int receive(qv2_conn *c, uint64_t *len) {
    for (;;) {
        uint8_t hdr[4];
        if (read_full(c, hdr, 4, true) != 0) return -1;
        uint64_t n = (uint64_t(hdr[1]) << 16) | (uint64_t(hdr[2]) << 8) | hdr[3];
        if (hdr[0] == NBSS_REQUEST) {
            if (answer_session_request(c, n) != 0) return -1;
            continue;
        }
        if (hdr[0] != NBSS_MESSAGE) { // keep-alives included: this server never asks for them
            qv2_stat_add(QV2_ST_PROTOCOL_ERRORS, 1);
            return -1;
        }
        if (n == 0) {
            c->last_active_ms = qv2_now_ms();
            continue;
        }
        if (n > message_cap(c)) {
            qv2_stat_add(QV2_ST_PROTOCOL_ERRORS, 1);
            return -1;
        }
        if (n > c->rx_cap) {
            uint8_t *grown = static_cast<uint8_t *>(realloc(c->rx, n + 16));
            if (!grown) return -1;
            c->rx = grown;
            c->rx_cap = n + 16;
        }
        if (read_full(c, c->rx, n, false) != 0) return -1;
        *len = n;
        return 0;
    }
}

void trace_received(const qv2_conn *c, const uint8_t *msg, uint64_t len) {
    char text[3 + 16 + 5 + 3 * TRACE_RX_BYTES + 2];
    int n = snprintf(text, sizeof text, ">> %s hex:", qv2_frame_name(msg, len));
    uint64_t shown = len < TRACE_RX_BYTES ? len : TRACE_RX_BYTES;
    for (uint64_t i = 0; i < shown && n > 0 && size_t(n) < sizeof text; i++)
        n += snprintf(text + n, sizeof text - size_t(n), " %02x", msg[i]);
    if (n > 0 && size_t(n) < sizeof text - 1) text[n++] = '\n';
    if (n > 0) qv2_trace(c->conn_id, "dirir2i", "%.*s", n, text);
}

// The reply's first bytes, on a line of their own without a prefix.
void trace_reply(const qv2_reply *r) {
    char text[3 * TRACE_TX_BYTES + 2];
    size_t n = 0;
    uint64_t shown = r->buf.len < TRACE_TX_BYTES ? r->buf.len : TRACE_TX_BYTES;
    for (uint64_t i = 0; i < shown; i++)
        n += size_t(snprintf(text + n, sizeof text - n, " %02x", r->buf.data[i]));
    qv2_trace(-1, nullptr, "%s\n", text);
}

// Answers the message in rx into r, built in the storage `store` kept (an
// empty builder all the same: length 0, nothing failed). *send as frame_in
// says; the final signature may be left in c->sign_job (see defer_sign).
void build(qv2_conn *c, uint64_t len, qv2_buf *store, qv2_reply *r, int *send) {
    c->last_active_ms = qv2_now_ms();
    *r = qv2_reply{};
    r->buf = *store;
    *store = qv2_buf{};
    r->buf.len = 0;
    if (r->buf.data) r->buf.data[0] = 0;
    *send = 0;
    if (c->io->log) c->io->log(c->io_user, ">>", c->rx, int(len));
    if (c->trace) trace_received(c, c->rx, len);
    uint8_t *msg = c->rx;
    if (len >= 4 && msg[0] == 0xFD && msg[1] == 'S' && msg[2] == 'M' && msg[3] == 'B') {
        // Sealed (SMB 3): opened in place; its replies go out sealed with
        // the same session's key. A message that doesn't open ends the
        // connection without a reply (MS-SMB2 3.3.5.2.1.1).
        uint64_t inner = 0;
        qv2_session *s = nullptr;
        if (c->dialect < 0x0300 || transform_open(c, msg, len, message_cap(c), &inner, &s) != 0) {
            qv2_stat_add(QV2_ST_PROTOCOL_ERRORS, 1);
            c->closing = 1;
            return;
        }
        c->enc_sess = s;
        msg += TRANSFORM_HDR_LEN;
        len = inner;
    }
    frame_in(c, msg, len, r, send);
    qv2_opts_get(&c->opts);
}

// Sends a built (and signed) reply, then gives its storage back to `store`.
void deliver(qv2_conn *c, qv2_reply *r, int send, qv2_buf *store) {
    if (r->buf.failed) {
        // A reply cut short by a failed allocation would be a lie: the peer
        // gets nothing and the connection ends instead.
        c->closing = 1;
    } else if (r->buf.len != 0) {
        if (c->trace) trace_reply(r);
        bool bare_success = r->buf.len == SMB2_HDR_LEN && qv2_le32(r->buf.data + 8) == 0;
        if (r->buf.len >= 12 && send && !bare_success) send_frame(c, r->buf.data, r->buf.len);
        if (c->trace && send)
            qv2_trace(c->conn_id, "dirir2i", "<< %u bytes %s\n", unsigned(r->buf.len),
                      r->buf.len >= 12 ? status_name(qv2_le32(r->buf.data + 8)) : "STATUS?");
    }
    // Storage for the common replies (64 KiB READs and everything smaller)
    // is kept; a megabyte reply's is not: many connections holding theirs at
    // once would grow the allocator's pools for good.
    if (r->buf.failed || r->buf.cap > REPLY_KEEP_MAX)
        qv2_buf_free(&r->buf);
    else
        *store = r->buf;
    r->buf = qv2_buf{};
}

// The signature the last build left to compute, if any; the slot is cleared.
qv2_sign_job take_sign_job(qv2_conn *c) {
    qv2_sign_job j = c->sign_job;
    c->sign_job = qv2_sign_job{};
    return j;
}

// Sends the reply held back while the next message was answered, if it is
// still waiting. Called before anything else is sent, so replies keep the
// order of their requests.
void flush_held(qv2_conn *c) {
    qv2_reply *a = c->held;
    if (!a) return;
    c->held = nullptr;
    sign_jobs(a, &c->held_job, nullptr, nullptr);
    deliver(c, a, c->held_send, &c->reply_store);
}

// Answers the message in rx. When its reply is signed and the client has
// already sent the next message, that one is answered too before either is
// sent, and the two replies are signed side by side: a client reading a
// file keeps several READs queued, and two MACs together cost about 0.8 of
// two apart. Not while a transcript or trace is written, which show each
// reply right after its request.
void process(qv2_conn *c, uint64_t len) {
    c->defer_sign = !c->io->log && !c->trace;
    qv2_reply a;
    int send_a = 0;
    build(c, len, &c->reply_store, &a, &send_a);
    qv2_sign_job ja = take_sign_job(c);
    bool pair = ja.pending && !a.buf.failed && a.buf.len <= HOLD_MAX && !c->closing &&
                !qv2_server_stopping() && next_message_ready(c);
    if (pair && receive(c, &len) != 0) {
        // Can't happen with the message read ahead whole, short of memory;
        // the stream would be out of step after it.
        c->closing = 1;
        pair = false;
    }
    if (pair) {
        c->held = &a;
        c->held_job = ja;
        c->held_send = send_a;
        qv2_wipe(&ja, sizeof ja);
        qv2_reply b;
        int send_b = 0;
        build(c, len, &c->reply_store2, &b, &send_b);
        qv2_sign_job jb = take_sign_job(c);
        if (c->held) {
            c->held = nullptr;
            sign_jobs(&a, &c->held_job, &b, &jb);
            deliver(c, &a, send_a, &c->reply_store);
        } else {
            sign_jobs(&b, &jb, nullptr, nullptr);
        }
        deliver(c, &b, send_b, &c->reply_store2);
    } else {
        sign_jobs(&a, &ja, nullptr, nullptr);
        deliver(c, &a, send_a, &c->reply_store);
    }
    c->defer_sign = 0;
    c->enc_sess = nullptr;
    sessions_free_retired(c);
}

void conn_end(qv2_conn *c) {
    qv2_stat_add(QV2_ST_CONNECTIONS, -1);
    sessions_free_all(c);
    session_drop_nego(c);
    qv2_cache_end(c);
    log_disconnect(c);
    qv2_buf_free(&c->reply_store);
    qv2_buf_free(&c->reply_store2);
    free(c->in);
    c->in = nullptr;
    free(c->rx);
    c->rx = nullptr;
    free(c);
}

} // namespace

void send_frame(qv2_conn *c, uint8_t *data, uint64_t len) {
    flush_held(c);
    uint64_t wire = len + (c->enc_sess ? uint64_t(TRANSFORM_HDR_LEN) : 0);
    if (wire > FRAME_LEN_MAX) {
        // The session-service length has 24 bits; a longer reply can't be
        // framed, and a wrong length would desynchronise the stream.
        c->closing = 1;
        return;
    }
    if (c->trace)
        qv2_trace(c->conn_id, "dirir2i", "SEND %u bytes status=%02x%02x%02x%02x\n", unsigned(len),
                  len >= 12 ? data[11] : 0, len >= 12 ? data[10] : 0, len >= 12 ? data[9] : 0,
                  len >= 12 ? data[8] : 0);
    // The transcript shows the reply as built, before any sealing.
    if (c->io->log) c->io->log(c->io_user, "<<", data, int(len));
    // The session-service header, then the TRANSFORM_HEADER when the reply
    // answers a sealed message: sealed in place, sent as one piece.
    uint8_t head[4 + TRANSFORM_HDR_LEN] = {NBSS_MESSAGE, uint8_t(wire >> 16), uint8_t(wire >> 8),
                                            uint8_t(wire)};
    int hlen = 4;
    if (c->enc_sess) {
        if (transform_seal(c->enc_sess, head + 4, data, len) != 0) {
            c->closing = 1;
            return;
        }
        hlen += TRANSFORM_HDR_LEN;
    }
    if (c->io->write_pair) {
        if (c->io->write_pair(c->io_user, head, hlen, data, int(len)) != 0) c->closing = 1;
    } else {
        if (c->io->write(c->io_user, head, hlen) != 0) c->closing = 1;
        if (len != 0 && c->io->write(c->io_user, data, int(len)) != 0) c->closing = 1;
    }
    qv2_stat_add(QV2_ST_BYTES_SENT, int64_t(wire));
    c->bytes_out += wire;
}

const char *qv2_cmd_name(uint32_t cmd) {
    uint32_t low = cmd & 0xFF;
    return low < 19 ? names[low] : names[19];
}

const char *qv2_frame_name(const uint8_t *data, uint64_t len) {
    if (!data || len <= 3) return "?";
    if (data[0] == 0xFF && data[1] == 'S' && data[2] == 'M' && data[3] == 'B')
        return len > 4 && data[4] == 0x72 ? "SMB1_NEGOTIATE" : "SMB1";
    if (len >= SMB2_HDR_LEN) return qv2_cmd_name(data[12]);
    return "?";
}

void qv2_sess_run(qv2_io *io, const qv2_ip *peer, int conn_id) {
    char peer_text[64];
    qv2_ip_format(peer, peer_text, sizeof peer_text);
    if (!qv2_client_allowed(peer)) {
        qv2_stat_add(QV2_ST_REFUSED_ALLOW, 1);
        qv2_alog_refused(peer, "allow");
        return;
    }
    qv2_conn *c = static_cast<qv2_conn *>(calloc(1, sizeof(qv2_conn)));
    if (!c) return;
    c->io = io;
    c->io_user = io->user;
    snprintf(c->peer_text, sizeof c->peer_text, "%.63s", peer_text);
    c->conn_id = conn_id;
    qv2_cfg_trace_init();
    // Cached: a traced connection also answers each message on its own (no
    // paired signing), so that every reply follows its request in the trace.
    c->trace = qv2_trace_on("dirir2i");
    c->rx = static_cast<uint8_t *>(malloc(RX_INITIAL));
    if (!c->rx) {
        free(c);
        return;
    }
    c->rx_cap = RX_INITIAL;
    qv2_opts_get(&c->opts);
    c->last_active_ms = c->started_ms = qv2_now_ms();
    qv2_cache_begin(c);
    qv2_stat_add(QV2_ST_CONNECTIONS, 1);
    log_accept(c);

    for (;;) {
        uint64_t len = 0;
        if (receive(c, &len) != 0) break;
        process(c, len);
        qv2_cache_poll(c);
        // Asked after every message too, not only after reads that brought
        // nothing: a client that always has a request waiting would otherwise
        // keep the connection, and dirir2i_stop that joins its thread, going.
        if (c->closing || qv2_server_stopping()) break;
        if (logon_overdue(c)) {
            qv2_stat_add(QV2_ST_TIMEOUTS, 1);
            break;
        }
        expire_logons(c);
    }
    conn_end(c);
}
