// Message framing and dispatch: walks the compound chain of one message,
// checks each header, verifies signatures, applies the related-operation
// rules, refuses every mutating command, writes each reply header, calls the
// command's handler and signs the replies.
#include "config/qv2_cfg.h"
#include "engine/engine.h"
#include "engine/qv2_cache.h"
#include "foundation/qv2_trace.h"
#include "security/qv2_crypto.h"

#include <cstdio>
#include <cstring>

namespace {

enum : uint32_t { MAX_COMPOUND = 64 };

// What one message's replies may hold together: one READ of the largest
// size and one listing of the largest size, with room for the small
// replies around them. A command that would take a message's replies past
// it is refused before it runs, so a small compound of large READs can't
// make the server build a reply it could never send.
constexpr uint64_t MESSAGE_REPLY_MAX = 2 * 1048576 + 65536;

// Where the persistent half of the FileId sits in the body of each command
// that a related operation may point at the preceding CREATE's open.
struct fid_pos {
    uint32_t command;
    uint64_t body_pos;
};
constexpr fid_pos fid_at[] = {
    {SMB2_CLOSE, 8},          {SMB2_READ, 16},  {SMB2_IOCTL, 8},     {SMB2_QUERY_DIRECTORY, 8},
    {SMB2_QUERY_INFO, 24},    {SMB2_FLUSH, 8},  {SMB2_WRITE, 16},    {SMB2_LOCK, 8},
    {SMB2_SET_INFO, 16},      {SMB2_CHANGE_NOTIFY, 8},
};

// Where the command's body holds its FileId's persistent half, or 0.
uint64_t fid_offset(uint32_t cmd) {
    for (const fid_pos &f : fid_at)
        if (f.command == cmd) return f.body_pos;
    return 0;
}

// Commands whose reply grows with what the request asks for: where the
// request says how much, and the most the handler ever builds whatever it
// says (READ: MaxReadSize, which it enforces itself; a listing: its cap).
struct growth {
    uint32_t command;
    uint64_t body_pos; // of the 32-bit length the client asks for
    uint64_t fixed;    // response body before the data
};
constexpr growth grows_at[] = {
    {SMB2_READ, 4, 16},            // Length
    {SMB2_QUERY_DIRECTORY, 28, 8}, // OutputBufferLength (0: as much as we give)
};

// The reply bytes a command may add: its header, padding, body and data.
uint64_t reply_growth(const qv2_conn *c, uint32_t cmd, const uint8_t *body, uint64_t n) {
    for (const growth &g : grows_at) {
        if (g.command != cmd) continue;
        if (g.body_pos + 4 > n) return SMB2_HDR_LEN; // malformed: refused with a small reply
        uint64_t want = qv2_le32(body + g.body_pos);
        uint64_t most = cmd == SMB2_READ ? c->max_read : QD_REPLY_MAX;
        if (want == 0 || want > most) want = cmd == SMB2_READ ? 0 : most;
        return 8 + SMB2_HDR_LEN + g.fixed + want;
    }
    return 0;
}

// State of one frame_in call.
struct chain {
    uint64_t off = 0;      // offset of the current command in the message
    uint32_t index = 0;    // 0 for the first command
    uint64_t prev_sid = 0; // previous command's ids, after its own substitution
    uint32_t prev_tid = 0;
    uint64_t fid = 0; // FileId a related operation inherits
    int have_fid = 0;
    int create_failed = 0; // the previous command was a CREATE that failed
    int sign_pending = 0;  // the current reply is to be signed once complete
    uint8_t sign_key[16] = {}; // ... with this key (its session may be gone by then)
};

// What a client may hold: granted credits not yet spent (MS-SMB2 3.3.1.2).
// Windows servers let it reach 8192, so that a client keeps a deep queue of
// large READs in flight.
constexpr uint32_t CREDITS_MAX = 8192;

// Spends the request's credits (its CreditCharge, 1 at least) and grants
// what it asks for (1 at least) as far as the ceiling allows. A client left
// with nothing gets 1, or it could never send again.
uint16_t grant(qv2_conn *c, const qv2_hdr &h) {
    uint32_t spent = h.credit_charge ? h.credit_charge : 1;
    c->credits_out = c->credits_out > spent ? c->credits_out - spent : 0;
    uint32_t want = h.credit_request ? h.credit_request : 1;
    uint32_t room = CREDITS_MAX - c->credits_out;
    uint32_t give = want < room ? want : room;
    if (give == 0 && c->credits_out == 0) give = 1;
    c->credits_out += give;
    return uint16_t(give);
}

// Commands answered without a session: they come before one exists, (ECHO)
// need none, or (a number no command has) are refused whatever the session.
bool sessionless(uint32_t cmd) {
    return cmd == SMB2_NEGOTIATE || cmd == SMB2_SESSION_SETUP || cmd == SMB2_ECHO ||
           cmd > SMB2_OPLOCK_BREAK;
}

// TREE_CONNECT refuses a request without a session itself: the refusal is
// counted and logged with the share the client asked for.
bool handler_checks_session(uint32_t cmd) { return cmd == SMB2_TREE_CONNECT; }

// Whether the request's tree takes only sealed requests.
bool tree_encrypts(qv2_conn *c, uint32_t tid) {
    const qv2_tree *t = tree_find(c, tid);
    return t && t->encrypt_data;
}

// What a session in the middle of its logon may still do (MS-SMB2 3.3.5.2.9).
bool allowed_in_progress(uint32_t cmd) {
    return cmd == SMB2_LOGOFF || cmd == SMB2_CLOSE || cmd == SMB2_LOCK;
}

// Signs the n reply bytes at h (Signature field already zero) with
// HMAC-SHA256, for the signatures whose computing was deferred (2.x only;
// see seal).
void put_hmac(uint8_t *h, uint64_t n, const uint8_t key[16]) {
    uint8_t mac[32];
    qv2_hmac256(key, 16, h, n, mac);
    memcpy(h + 48, mac, 16);
    qv2_wipe(mac, sizeof mac);
}

// A reply is signed over its own bytes, from its header to the next reply's
// header: the NextCommand link and the alignment padding are part of it, so
// a compound reply is signed only once the following header is known (or
// the message is complete).
void seal(qv2_conn *c, qv2_reply *r, chain *st, bool more_follow) {
    if (!st->sign_pending) return;
    st->sign_pending = 0;
    if (more_follow) {
        while (r->buf.len % 8 && !r->buf.failed) qv2_buf_byte(&r->buf, 0);
        if (r->buf.failed) return;
        qv2_put_le32(rep_hdr(r) + 20, uint32_t(r->buf.len - r->hdr_off));
    }
    if (r->buf.failed || r->buf.len < r->hdr_off + SMB2_HDR_LEN) return;
    uint8_t *h = r->buf.data + r->hdr_off;
    if (!more_follow && c->defer_sign && c->dialect < 0x0300) {
        // The bytes are final but for the signature: the session loop
        // computes the MAC, perhaps side by side with the next reply's.
        memset(h + 48, 0, 16);
        qv2_put_le32(h + 16, qv2_le32(h + 16) | SMB2_FLAG_SIGNED);
        qv2_sign_job *j = &c->sign_job;
        j->pending = 1;
        j->hdr_off = r->hdr_off;
        j->len = r->buf.len - r->hdr_off;
        memcpy(j->key, st->sign_key, sizeof j->key);
        return;
    }
    message_sign(c, st->sign_key, h, r->buf.len - r->hdr_off);
}

// Writes the next reply header: the first of the message, or one chained
// after the replies already built.
void next_hdr(qv2_conn *c, qv2_reply *r, chain *st, uint32_t cmd, uint32_t status, uint64_t mid,
              uint64_t sid, uint32_t tid, uint16_t charge, uint16_t credits) {
    if (r->buf.len == 0) {
        rep_begin(r, cmd, status, mid, sid, tid, charge, credits);
        return;
    }
    seal(c, r, st, true);
    rep_chain(r, cmd, status, mid, sid, tid, charge, credits);
}

// An error header written by the dispatcher itself (refusals, signature
// failures, the chain_err and compound-limit paths), with its error body.
void next_err_hdr(qv2_conn *c, qv2_reply *r, chain *st, uint32_t cmd, uint32_t status,
                  uint64_t mid, uint64_t sid, uint32_t tid, uint16_t credits) {
    next_hdr(c, r, st, cmd, status, mid, sid, tid, 0, credits);
    rep_error_body(&r->buf);
}

// Checks the signature of a signed request (bytes [0, n) of the message
// from this command on) with the key of session `s`. The signature field is
// zeroed for the MAC and put back. 0 when it verifies.
int verify(const qv2_conn *c, const qv2_session *s, uint8_t *req, uint64_t n, const qv2_hdr *h) {
    if (!s || !s->valid) return -1;
    uint8_t saved[16], mac[16];
    memcpy(saved, req + h->sig_pos, 16);
    memset(req + h->sig_pos, 0, 16);
    message_mac(c, s->signing_key, req, n, mac);
    memcpy(req + h->sig_pos, saved, 16);
    int ok = qv2_ct_equal(mac, saved, 16);
    qv2_wipe(mac, sizeof mac);
    return ok ? 0 : -1;
}

// Points a related operation's all-0xFF FileId at the open the preceding
// CREATE made. Only the persistent half is replaced.
void substitute_fid(uint8_t *msg, uint64_t len, uint64_t body, uint32_t cmd, uint64_t fid) {
    for (const fid_pos &f : fid_at) {
        if (f.command != cmd) continue;
        uint64_t at = body + f.body_pos;
        if (at > len || len - at < 8) return;
        for (int i = 0; i < 8; i++)
            if (msg[at + i] != 0xFF) return;
        qv2_put_le64(msg + at, fid);
        return;
    }
}

// The reply that completes a user logon is signed when either side requires
// signing: the request could not be signed (the key did not exist yet), but
// a client that requires signing checks this first signature with the key
// it has just computed and drops the session without it. A guest session
// has no key to sign with.
bool completes_signed_logon(const qv2_conn *c, qv2_reply *r) {
    const qv2_session *s = c->sess;
    if (!s || !s->valid) return false;
    // At 3.1.1 the final response is always signed (MS-SMB2 3.3.5.5.3): it
    // proves the preauth integrity hash both sides computed.
    if (!(c->sign_required || s->client_sign_required || c->dialect == 0x0311)) return false;
    if (r->buf.len < r->hdr_off + SMB2_HDR_LEN + 4) return false;
    const uint8_t *h = rep_hdr(r);
    uint16_t session_flags = qv2_le16(h + SMB2_HDR_LEN + 2);
    return qv2_le32(h + 8) == STATUS_SUCCESS && (session_flags & 0x0001) == 0;
}

// Requests that go unsigned even on a session that requires signing: those
// that come before the key exists, and those the client can't sign.
bool signing_exempt(uint32_t cmd) {
    return cmd == SMB2_NEGOTIATE || cmd == SMB2_SESSION_SETUP || cmd == SMB2_CANCEL ||
           cmd == SMB2_OPLOCK_BREAK;
}

bool is_mutating(uint32_t cmd) {
    return cmd == SMB2_FLUSH || cmd == SMB2_WRITE || cmd == SMB2_LOCK || cmd == SMB2_SET_INFO;
}

// A NEGOTIATE once the dialect is settled: nothing of this message is
// answered and the connection ends.
void settled_negotiate(qv2_conn *c, qv2_reply *r) {
    qv2_stat_add(QV2_ST_PROTOCOL_ERRORS, 1);
    c->closing = 1;
    r->buf.len = 0;
    if (r->buf.data) r->buf.data[0] = 0;
}

// The reply of a command number this server does not know.
void cmd_unknown(qv2_reply *r) {
    qv2_stat_add(QV2_ST_PROTOCOL_ERRORS, 1);
    rep_set_status(r, STATUS_NOT_SUPPORTED);
    rep_error_body(&r->buf);
}

void dispatch(qv2_conn *c, uint32_t cmd, qv2_reader *rd, qv2_reply *r) {
    switch (cmd) {
    case SMB2_NEGOTIATE: cmd_negotiate(c, rd, r); break;
    case SMB2_SESSION_SETUP: cmd_session_setup(c, rd, r); break;
    case SMB2_LOGOFF: cmd_logoff(c, rd, r); break;
    case SMB2_TREE_CONNECT: cmd_tree_connect(c, rd, r); break;
    case SMB2_TREE_DISCONNECT: cmd_tree_disconnect(c, rd, r); break;
    case SMB2_CREATE: cmd_create(c, rd, r); break;
    case SMB2_CLOSE: cmd_close(c, rd, r); break;
    case SMB2_READ: cmd_read(c, rd, r); break;
    case SMB2_WRITE: cmd_write(c, rd, r); break; // the srvsvc pipe only
    case SMB2_IOCTL: cmd_ioctl(c, rd, r); break;
    case SMB2_ECHO: cmd_echo(c, rd, r); break;
    case SMB2_QUERY_DIRECTORY: cmd_query_directory(c, rd, r); break;
    case SMB2_CHANGE_NOTIFY: cmd_change_notify(c, rd, r); break;
    case SMB2_QUERY_INFO: cmd_query_info(c, rd, r); break;
    case SMB2_OPLOCK_BREAK: cmd_oplock_break(c, rd, r); break;
    default: cmd_unknown(r); break;
    }
}

// The 65th command of a compound is not run: it gets INVALID_PARAMETER.
void over_limit(qv2_conn *c, uint8_t *msg, uint64_t len, qv2_reply *r, chain *st) {
    qv2_hdr h{};
    uint64_t body = 0;
    uint32_t cmd = SMB2_ECHO;
    uint64_t mid = 0, sid = 0;
    uint32_t tid = 0;
    if (parse_header(msg + st->off, len - st->off, &h, &body) == 0) {
        cmd = h.command;
        mid = h.message_id;
        sid = h.session_id;
        tid = h.tree_id;
    }
    if (sid == 0) sid = st->prev_sid;
    if (tid == 0) tid = c->cur_tree_id;
    next_err_hdr(c, r, st, cmd, STATUS_INVALID_PARAMETER, mid, sid, tid, 1);
    qv2_stat_add(QV2_ST_PROTOCOL_ERRORS, 1);
}

// Advances to the command NextCommand points at. false when the chain ends
// here (NextCommand 0, or it points past the message).
bool follow(const qv2_hdr *h, uint64_t len, chain *st, bool count_overrun) {
    if (h->next_command == 0) return false;
    st->off += h->next_command;
    if (st->off > len) {
        if (count_overrun) qv2_stat_add(QV2_ST_PROTOCOL_ERRORS, 1);
        return false;
    }
    st->index++;
    return true;
}

// Fails the current command with `status` before it runs, as the
// dispatcher's own refusals do; with `rest_too`, the commands after it
// fail alike.
void fail_unrun(qv2_conn *c, qv2_reply *r, chain *st, const qv2_hdr &h, uint64_t sid,
                uint32_t tid, uint32_t status, uint16_t credits, bool rest_too) {
    next_err_hdr(c, r, st, h.command, status, h.message_id, sid, tid, credits);
    if (!rest_too) return;
    r->last_status = status;
    c->chain_err = 1;
}

// Runs the compound chain. Returns when the message is done.
void run_chain(qv2_conn *c, uint8_t *msg, uint64_t len, qv2_reply *r, chain *st) {
    for (;;) {
        if (st->index == MAX_COMPOUND) {
            over_limit(c, msg, len, r, st);
            return;
        }
        uint8_t *req = msg + st->off;
        uint64_t left = len - st->off;
        qv2_hdr h{};
        uint64_t body_off = 0;
        if (parse_header(req, left, &h, &body_off) != 0) {
            if (st->index == 0) {
                qv2_stat_add(QV2_ST_PROTOCOL_ERRORS, 1);
                c->closing = 1;
                return;
            }
            seal(c, r, st, true);
            err_reply_new_l(c, r, SMB2_NEGOTIATE, STATUS_INVALID_PARAMETER, st->prev_sid,
                            st->prev_tid, __LINE__);
            return;
        }
        qv2_trace(c->conn_id, "loop", "count=%u off=%zu cmd=%u n=%zu\n", st->index, size_t(st->off),
                    h.command, size_t(len));
        c->cur_tree_id = h.tree_id;

        if (h.command == SMB2_CANCEL) {
            // Never answered itself (MS-SMB2 3.3.5.16); the request it names,
            // a CHANGE_NOTIFY still waiting, completes with CANCELLED. Every
            // other request was answered before this one was read.
            qv2_notify_cancel(c, &h, req);
            if (!follow(&h, len, st, true)) return;
            continue;
        }
        uint16_t credits = grant(c, h);

        // A related operation takes the previous one's ids (MS-SMB2
        // 3.3.5.2.7.2); the first of a compound has none to take.
        bool related = (h.flags & SMB2_FLAG_RELATED) != 0;
        uint64_t sid = h.session_id;
        uint32_t tid = h.tree_id;
        if (related && st->index > 0) {
            if (sid == 0xFFFFFFFFFFFFFFFFULL) sid = st->prev_sid;
            if (tid == 0xFFFFFFFFu) tid = st->prev_tid;
        }
        c->cur_tree_id = tid;
        c->cur_sid = sid;
        c->sess = session_find(c, sid);

        if (related && st->index == 0 && h.next_command != 0) {
            qv2_stat_add(QV2_ST_PROTOCOL_ERRORS, 1);
            fail_unrun(c, r, st, h, sid, tid, STATUS_INVALID_PARAMETER, credits, true);
            if (!follow(&h, len, st, false)) return;
            continue;
        }
        if (related && st->index > 0 && st->create_failed && !st->have_fid &&
            fid_offset(h.command) != 0) {
            // The handle this operation is about never came to be.
            fail_unrun(c, r, st, h, sid, tid, STATUS_FILE_CLOSED, credits, true);
            if (!follow(&h, len, st, false)) return;
            continue;
        }
        if (c->chain_err) {
            // An earlier command of this compound failed: this one fails too,
            // unexecuted.
            next_err_hdr(c, r, st, h.command, r->last_status, h.message_id, sid, tid,
                         r->buf.len == 0 ? credits : 1);
            if (!follow(&h, len, st, false)) return;
            continue;
        }

        const qv2_session *sess = c->sess;
        bool keyed = sess && sess->valid && !sess->guest;
        if (c->enc_sess && sid != c->enc_sess->id) {
            // A sealed message speaks for its session only (MS-SMB2
            // 3.3.5.2.1.1): another SessionId inside ends the connection.
            qv2_stat_add(QV2_ST_PROTOCOL_ERRORS, 1);
            c->closing = 1;
            r->buf.len = 0;
            return;
        }
        if (!sessionless(h.command) && !handler_checks_session(h.command) &&
            (!sess || (!sess->valid && !allowed_in_progress(h.command)))) {
            // MS-SMB2 3.3.5.2.9: a request needs a session of this
            // connection, and one whose logon is done.
            fail_unrun(c, r, st, h, sid, tid, STATUS_USER_SESSION_DELETED, credits,
                       st->index > 0);
            if (!follow(&h, len, st, false)) return;
            continue;
        }
        if (sess && sess->valid && !c->enc_sess && !sessionless(h.command) &&
            (sess->encrypt_data || tree_encrypts(c, tid) ||
             (c->dialect == 0x0311 && h.command == SMB2_TREE_CONNECT && keyed && !h.is_signed))) {
            // A session or tree that encrypts takes nothing in clear; and a 3.1.1
            // user's TREE_CONNECT must be signed or sealed (MS-SMB2
            // 3.3.5.2.9, 3.3.5.7).
            fail_unrun(c, r, st, h, sid, tid, STATUS_ACCESS_DENIED, credits, st->index > 0);
            if (!follow(&h, len, st, false)) return;
            continue;
        }
        if (h.is_signed && !(sess && sess->guest)) {
            // The MAC covers this command up to the next one. A guest
            // session has no key: what a guest signs is taken as unsigned.
            uint64_t span = left;
            if (h.next_command != 0 && h.next_command < left) span = h.next_command;
            if (verify(c, sess, req, span, &h) != 0) {
                qv2_stat_add(QV2_ST_BAD_SIGNATURE, 1);
                next_err_hdr(c, r, st, h.command, STATUS_ACCESS_DENIED, h.message_id, sid, tid,
                             keyed ? 1 : credits);
                return;
            }
        } else if (sess && sess->must_sign && !c->enc_sess && !signing_exempt(h.command)) {
            // Required signing is worth nothing if an unsigned request,
            // which anyone on the path can forge, is still served: it fails
            // as a bad signature does. (A sealed message is authenticated
            // by its transform and need not be signed too.)
            qv2_stat_add(QV2_ST_BAD_SIGNATURE, 1);
            next_err_hdr(c, r, st, h.command, STATUS_ACCESS_DENIED, h.message_id, sid, tid, 1);
            return;
        }
        if (h.command == SMB2_NEGOTIATE && c->negotiated) {
            // The dialect is settled (MS-SMB2 3.3.5.4): a second NEGOTIATE,
            // which may come unsigned from anyone on the path, ends the
            // connection instead of changing a live session's dialect.
            settled_negotiate(c, r);
            return;
        }
        c->cur_mid = h.message_id;
        c->cur_charge = h.credit_charge;
        c->cur_req = req;
        c->cur_req_len = h.next_command != 0 && h.next_command < left ? h.next_command : left;
        qv2_trace(c->conn_id, "loop", "body_off=%zu off=%zu\n", size_t(body_off), size_t(st->off));

        if (related && st->index > 0 && st->have_fid)
            substitute_fid(msg, len, st->off + body_off, h.command, st->fid);
        qv2_trace(c->conn_id, "loop", "postfid cmd=%u bstart=%zu\n", h.command,
                    size_t(st->off + body_off));
        c->in_compound = st->index > 0;
        st->prev_sid = sid;
        st->prev_tid = tid;

        bool pipe_write = h.command == SMB2_WRITE &&
                          write_targets_pipe(c, req + body_off, left - body_off);
        if (is_mutating(h.command) && !pipe_write) {
            // Read-only server: refused before anything but the handle is
            // looked at (a WRITE's, also to see whether it goes to the pipe).
            // A handle that isn't open is reported as such (MS-SMB2 3.3.5.13).
            uint64_t at = body_off + fid_offset(h.command);
            bool closed = at + 8 <= left && !open_find(c, qv2_le64(req + at));
            qv2_stat_add(QV2_ST_MUTATING_REFUSED, 1);
            next_err_hdr(c, r, st, h.command, closed ? STATUS_FILE_CLOSED : STATUS_ACCESS_DENIED,
                         h.message_id, sid, tid, credits);
            st->create_failed = 0;
            uint32_t next = h.next_command;
            if (next < SMB2_HDR_LEN || next % 8 != 0 || st->off + next > len) return;
            st->off += next;
            st->index++;
            continue;
        }

        // Decided before the command runs: the reply to a signed LOGOFF is
        // signed although the session is gone once it has run.
        bool sign_reply = h.is_signed && keyed;
        next_hdr(c, r, st, h.command, STATUS_SUCCESS, h.message_id, sid, tid, h.credit_charge,
                 credits);
        // After next_hdr, which signs the previous reply with its own key.
        if (sign_reply) memcpy(st->sign_key, sess->signing_key, sizeof st->sign_key);
        c->cur_signed = sign_reply;
        qv2_reader rd{req + body_off, left - body_off, 0, 0};
        qv2_trace(c->conn_id, "loop", "dispatch cmd=%u rqoff=%zu rqn=%zu bad=%d\n", h.command,
                    size_t(rd.pos), size_t(rd.size), rd.bad);
        if (r->hdr_off + reply_growth(c, h.command, rd.data, rd.size) > MESSAGE_REPLY_MAX)
            err_reply(c, r, h.command, STATUS_INSUFFICIENT_RESOURCES);
        else
            dispatch(c, h.command, &rd, r);

        uint32_t status = qv2_le32(rep_hdr(r) + 8);
        bool ok = status == STATUS_SUCCESS;
        st->create_failed = h.command == SMB2_CREATE && !ok;
        if (h.command == SMB2_CREATE) st->have_fid = 0;
        if (h.command == SMB2_CREATE && ok && c->last_create_fid != 0) {
            st->fid = c->last_create_fid;
            st->have_fid = 1;
        }
        if (!sign_reply && h.command == SMB2_SESSION_SETUP && completes_signed_logon(c, r)) {
            memcpy(st->sign_key, c->sess->signing_key, sizeof st->sign_key);
            sign_reply = true;
        }
        // An interim response is not signed (MS-SMB2 3.3.4.2); the final
        // response will be.
        if (status == STATUS_PENDING) sign_reply = false;
        if (sign_reply) st->sign_pending = 1;
        if (c->chain_err_pending) {
            c->chain_err_pending = 0;
            c->chain_err = 1;
        }
        qv2_trace(c->conn_id, "loop", "done cmd=%u outn=%zu\n", h.command, size_t(r->buf.len));
        if (!follow(&h, len, st, true)) return;
    }
}

} // namespace

bool credit_charge_ok(const qv2_conn *c, uint64_t payload) {
    if (!c->large_mtu) return true; // the 64 KiB limits of the command apply instead
    if (c->cur_charge == 0) return payload <= 65536;
    uint64_t needed = payload == 0 ? 1 : (payload - 1) / 65536 + 1;
    return needed <= c->cur_charge;
}

int parse_header(const uint8_t *data, uint64_t len, qv2_hdr *h, uint64_t *body_off) {
    if (!data || len < SMB2_HDR_LEN) return -1;
    if (data[0] != 0xFE || data[1] != 'S' || data[2] != 'M' || data[3] != 'B') return -1;
    if (qv2_le16(data + 4) != SMB2_HDR_LEN) return -1;
    h->credit_charge = qv2_le16(data + 6);
    h->command = data[12];
    h->credit_request = qv2_le16(data + 14);
    h->flags = qv2_le32(data + 16);
    h->next_command = qv2_le32(data + 20);
    h->message_id = qv2_le64(data + 24);
    h->tree_id = qv2_le32(data + 36);
    h->session_id = qv2_le64(data + 40);
    h->sig_pos = 48;
    h->is_signed = (h->flags & SMB2_FLAG_SIGNED) != 0;
    *body_off = SMB2_HDR_LEN;
    return 0;
}

void frame_in(qv2_conn *c, uint8_t *msg, uint64_t len, qv2_reply *r, int *send) {
    c->in_compound = 0;
    c->chain_err_pending = 0;
    c->chain_err = 0;
    *send = 0;
    if (len >= 4 && msg[0] == 0xFF && msg[1] == 'S' && msg[2] == 'M' && msg[3] == 'B') {
        if (c->negotiated) settled_negotiate(c, r);
        else smb1_negotiate(c, msg, len, r, send);
        return;
    }
    chain st;
    run_chain(c, msg, len, r, &st);
    seal(c, r, &st, false);
    qv2_wipe(st.sign_key, sizeof st.sign_key);
    c->sess = nullptr;
    if (r->buf.len != 0) *send = 1;
}

void sign_jobs(qv2_reply *a, qv2_sign_job *ja, qv2_reply *b, qv2_sign_job *jb) {
    uint8_t *ha = a->buf.data + ja->hdr_off;
    if (ja->pending && b && jb->pending) {
        uint8_t *hb = b->buf.data + jb->hdr_off;
        uint8_t mac_a[32], mac_b[32];
        qv2_hmac256_pair(ja->key, sizeof ja->key, ha, ja->len, mac_a, jb->key, sizeof jb->key, hb,
                         jb->len, mac_b);
        memcpy(ha + 48, mac_a, 16);
        memcpy(hb + 48, mac_b, 16);
        qv2_wipe(mac_a, sizeof mac_a);
        qv2_wipe(mac_b, sizeof mac_b);
    } else {
        if (ja->pending) put_hmac(ha, ja->len, ja->key);
        if (b && jb->pending) put_hmac(b->buf.data + jb->hdr_off, jb->len, jb->key);
    }
    qv2_wipe(ja, sizeof *ja);
    if (jb) qv2_wipe(jb, sizeof *jb);
}
