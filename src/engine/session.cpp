// SESSION_SETUP and LOGOFF: NTLM authentication in two legs (the client's
// NEGOTIATE is answered with our CHALLENGE, its AUTHENTICATE is verified
// against the user table or admitted as a guest), over SPNEGO or bare
// NTLMSSP, for new sessions and the re-authentication of existing ones, and
// the end of a session.
#include "config/qv2_cfg.h"
#include "engine/conn_log.h"
#include "engine/engine.h"
#include "foundation/qv2_trace.h"
#include "platform/qv2_platform.h"
#include "security/qv2_crypto.h"
#include "security/qv2_ntlm.h"
#include "security/qv2_smb3_crypto.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum : uint16_t {
    SESSION_FLAG_GUEST = 0x0001,
    SESSION_FLAG_ENCRYPT_DATA = 0x0004,
    SESSION_FLAG_BINDING = 0x01, // the request's Flags
    RESP_SIZE = 9,
    RESP_BUFFER_OFF = 72,
};

enum : uint32_t {
    SIGNING_REQUIRED = 0x02, // SecurityMode
    NTLM_NEGOTIATE_MSG = 1,
    NTLM_AUTHENTICATE_MSG = 3,
    TRACE_HEAD_BYTES = 24,
};

const uint8_t ntlm_sig[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};

// The failed setup's body: StructureSize 9, ErrorContextCount 0, Reserved 0,
// ByteCount 0 and one zero byte.
const uint8_t fail_body[9] = {0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

int64_t protocol_time(const qv2_opts &o) { return o.clock != 0 ? o.clock : qv2_unix_now(); }

bool is_ntlmssp(const uint8_t *p, uint64_t n) {
    return p && n >= sizeof ntlm_sig && memcmp(p, ntlm_sig, sizeof ntlm_sig) == 0;
}

// A SessionId that is the same for the same peer, connection number,
// second and count of sessions made before on the connection: repeatable
// under the `clock` option, never 0 nor all ones (the related-operation
// marker), and not one the connection already has.
uint64_t derive_session_id(qv2_conn *c, const qv2_opts &o) {
    uint64_t seed = qv2_fnv1a64(c->peer_text, strlen(c->peer_text), QV2_FNV_BASIS) ^
                    uint64_t(int64_t(c->conn_id));
    uint8_t t[8];
    qv2_put_le64(t, uint64_t(protocol_time(o)));
    uint64_t id = qv2_fnv1a64(t, sizeof t, seed) | 1;
    // Later sessions of the connection step on from the first one's id.
    for (uint32_t n = c->sessions_made; n != 0 || id == ~uint64_t(0) || session_find(c, id);
         n = 0) {
        uint8_t k[4];
        qv2_put_le32(k, n);
        id = qv2_fnv1a64(k, sizeof k, id) | 1;
    }
    return id;
}

// The challenge of the next CHALLENGE message. Fresh and unpredictable from
// the transport's random source where it has one; else (the simulation)
// derived from the server name and the second, so transcripts repeat. 0,
// or -1 when the random source failed: never a guessable fallback.
int new_challenge(qv2_conn *c, qv2_session *s, const qv2_opts &o) {
    if (c->io && c->io->random) return c->io->random(c->io_user, s->challenge, 8) == 0 ? 0 : -1;
    uint64_t h = qv2_fnv1a64(o.server_name, strlen(o.server_name), QV2_FNV_BASIS);
    uint8_t t[8];
    qv2_put_le64(t, uint64_t(protocol_time(o)));
    qv2_put_le64(s->challenge, h ^ qv2_fnv1a64(t, sizeof t, h));
    return 0;
}

// How an AUTHENTICATE message came out.
enum class logon { user, guest, refused, malformed };

struct auth_msg {
    const uint8_t *data;
    uint64_t len;
};

// A guest is admitted when no configured user is proven, unless the client
// insists on signing: a guest session has no key to sign with.
bool guest_possible(const qv2_session *s) {
    return qv2_guest_allowed() && !s->client_sign_required;
}

qv2_ntlm_check check_for(const qv2_session *s, const qv2_opts &o, bool guest_allowed) {
    return qv2_ntlm_check{s->challenge, o.server_name, protocol_time(o), o.ntlm_timecheck,
                          guest_allowed ? 1 : 0};
}

// The guest step. The names and password in the message don't matter; only
// a message that can't be parsed is refused.
logon guest_logon(const qv2_session *s, const auth_msg &m, const qv2_opts &o) {
    uint8_t key[16];
    qv2_ntlm_reason why = qv2_ntlm_type3(m.data, m.len, check_for(s, o, true), "", "", key);
    qv2_wipe(key, sizeof key);
    return qv2_ntlm_outcome_of(why) == QV2_NTLM_MALFORMED ? logon::malformed : logon::guest;
}

// The user step: each configured user in table order until one is proven.
// A message the verifier would admit only as a guest is refused here.
logon user_logon(const qv2_session *s, const auth_msg &m, const qv2_opts &o,
                 uint8_t key_out[16]) {
    const qv2_ntlm_check chk = check_for(s, o, qv2_guest_allowed());
    for (int32_t i = 0; i < QV2_MAX_USERS; i++) {
        char name[QV2_USER_NAME_MAX + 1];
        char password[QV2_PASSWORD_MAX + 1];
        if (qv2_user_at(i, name, sizeof name, password, sizeof password) != 0 || name[0] == 0) {
            qv2_wipe(password, sizeof password);
            return logon::refused;
        }
        qv2_ntlm_reason why = qv2_ntlm_type3(m.data, m.len, chk, name, password, key_out);
        qv2_wipe(password, sizeof password);
        switch (qv2_ntlm_outcome_of(why)) {
        case QV2_NTLM_MALFORMED: return logon::malformed;
        case QV2_NTLM_GUEST: return logon::refused;
        case QV2_NTLM_USER: return logon::user;
        case QV2_NTLM_NO_MATCH: break;
        }
    }
    return logon::refused;
}

void trace_request(const qv2_conn *c, uint16_t size, uint16_t boff, uint16_t blen,
                   const uint8_t *blob) {
    bool raw = blen > 8 && is_ntlmssp(blob, blen);
    char head[2 * TRACE_HEAD_BYTES + 1] = "";
    for (unsigned i = 0; i < blen && i < TRACE_HEAD_BYTES; i++)
        snprintf(head + 2 * i, 3, "%02x", blob[i]);
    qv2_trace(c->conn_id, "sess", "ssz=%u boff=%u blen=%u in_blob=%s head=%s\n", size, boff, blen,
              raw ? "RAW-NTLM" : "spnego/other", head);
}

// Keeps up to cap bytes of [p, p + n) in dst: a copy too long to keep is
// none at all.
uint32_t keep(uint8_t *dst, uint32_t cap, const uint8_t *p, uint64_t n) {
    if (!p || n == 0 || n > cap) return 0;
    memcpy(dst, p, n);
    return uint32_t(n);
}

// The MICs of a proven user's logon (MS-NLMP 3.2.5.1.2, MS-SPNG 3.1.5.1),
// with the exported session key `key`: the AUTHENTICATE's own MIC when its
// blob announces one, and the client's mechListMIC when it sent one. 0 when
// they verify; then *server_mic says whether our accept-completed token
// carries a mechListMIC (computed into mic). -1 fails the logon.
int check_mics(const qv2_session *s, const auth_msg &m, const qv2_spnego_token &t, int raw,
               const uint8_t key[16], bool *server_mic, uint8_t mic[16]) {
    const qv2_auth_state *a = s->auth;
    *server_mic = false;
    if (!a) return -1;
    if (qv2_ntlm_check_mic(m.data, m.len, a->negotiate, a->negotiate_len, a->challenge,
                           a->challenge_len, key) != 0)
        return -1;
    if (raw) return 0; // bare NTLMSSP: no SPNEGO, no mechListMIC
    uint32_t flags = qv2_ntlm_auth_flags(m.data, m.len);
    if (t.mic) {
        if (a->mech_types_len == 0 || t.miclen != 16) return -1;
        uint8_t want[16];
        qv2_ntlm_mech_list_mic(key, flags, 0, a->mech_types, a->mech_types_len, want);
        int ok = qv2_ct_equal(want, t.mic, 16);
        qv2_wipe(want, sizeof want);
        if (!ok) return -1;
    }
    // A client that negotiated signing (or sent a MIC itself) checks ours:
    // it proves that nobody took the mechanism list apart on the way.
    if ((t.mic || (flags & QV2_NTLM_SIGN)) && a->mech_types_len != 0) {
        qv2_ntlm_mech_list_mic(key, flags, 1, a->mech_types, a->mech_types_len, mic);
        *server_mic = true;
    }
    return 0;
}

} // namespace

// Finishes a SESSION_SETUP reply that carries our CHALLENGE (`more` 1) or
// ends the logon (`more` 0), with the security token in `token`.
void session_setup_ok_body(qv2_conn *c, qv2_reply *r, int guest, int more, const qv2_buf *token) {
    qv2_session *s = c->sess;
    uint16_t flags = guest && !more ? SESSION_FLAG_GUEST : 0;
    if (!more && s->encrypt_data) flags |= SESSION_FLAG_ENCRYPT_DATA;
    if (!more) {
        s->valid = 1;
        if (!c->logged_on && c->io && c->io->logged_on) c->io->logged_on(c->io_user);
        c->logged_on = 1;
        c->login_failures = 0;
    }
    qv2_put_le64(rep_hdr(r) + 40, s->id);
    rep_set_status(r, more ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS);
    // The challenge leg counts too: a user logon adds 2 to `sessions`.
    qv2_stat_add(guest && !more ? QV2_ST_GUEST_SESSIONS : QV2_ST_SESSIONS, 1);
    if (c->sign_required) qv2_stat_add(QV2_ST_SIGN_REQUIRED_SESSIONS, 1);

    w16(&r->buf, RESP_SIZE);
    w16(&r->buf, flags);
    w16(&r->buf, RESP_BUFFER_OFF);
    w16(&r->buf, uint16_t(token->len));
    qv2_buf_put(&r->buf, token->data, token->len);
    if (token->failed) r->buf.failed = 1;
    // 3.1.1: every response of a logon but the last goes into the
    // session's preauth integrity hash (MS-SMB2 3.3.5.5.3).
    if (more && c->dialect == 0x0311 && !s->valid && !r->buf.failed &&
        qv2_preauth_hash_step(s->preauth, rep_hdr(r), r->buf.len - r->hdr_off) != 0)
        r->buf.failed = 1;
}

// Finishes a failed SESSION_SETUP: the status and the 9-byte failure body.
// The session goes, with whatever it held (MS-SMB2 3.3.5.5.3), and the
// connection's failure count grows; reaching `max_login_failures` ends the
// connection after this reply, unless another session is in use on it:
// one user's failed logons don't cut off the others.
void session_setup_fail_body(qv2_conn *c, qv2_reply *r, uint32_t status) {
    qv2_stat_add(QV2_ST_LOGON_FAILED, 1);
    rep_set_status(r, status);
    qv2_buf_put(&r->buf, fail_body, sizeof fail_body);
    if (c->sess) session_remove(c, c->sess);
    qv2_opts o;
    qv2_opts_get(&o);
    c->login_failures++;
    if (c->login_failures >= o.max_login_failures && !session_any_valid(c)) c->closing = 1;
}

int session_challenge(qv2_conn *c, qv2_session *s, const uint8_t *negotiate,
                      uint64_t negotiate_len, const uint8_t *mech_types, uint64_t mech_types_len,
                      qv2_buf *out) {
    qv2_opts o;
    qv2_opts_get(&o);
    session_auth_end(s);
    s->challenge_live = 0;
    auto *a = static_cast<qv2_auth_state *>(calloc(1, sizeof(qv2_auth_state)));
    if (!a || new_challenge(c, s, o) != 0) {
        free(a);
        return -1;
    }
    a->offered = qv2_ntlm_offer(negotiate, negotiate_len);
    // Only a server name that isn't UTF-8 fails here, and the options never
    // let one in.
    if (qv2_ntlm_type2(o.server_name, s->challenge, protocol_time(o), a->offered, out) != 0 ||
        out->failed || out->len > QV2_AUTH_CHALLENGE_MAX) {
        free(a);
        return -1;
    }
    a->negotiate_len = keep(a->negotiate, QV2_AUTH_NEGOTIATE_MAX, negotiate, negotiate_len);
    a->challenge_len = keep(a->challenge, QV2_AUTH_CHALLENGE_MAX, out->data, out->len);
    a->mech_types_len = keep(a->mech_types, QV2_AUTH_MECH_TYPES_MAX, mech_types, mech_types_len);
    s->auth = a;
    s->challenge_live = 1;
    s->started_ms = qv2_now_ms();
    return 0;
}

qv2_session *session_nego(qv2_conn *c) {
    if (!c->nego_sess) c->nego_sess = static_cast<qv2_session *>(calloc(1, sizeof(qv2_session)));
    return c->nego_sess;
}

void session_drop_nego(qv2_conn *c) {
    if (!c->nego_sess) return;
    session_auth_end(c->nego_sess);
    qv2_wipe(c->nego_sess, sizeof *c->nego_sess);
    free(c->nego_sess);
    c->nego_sess = nullptr;
}

void session_auth_end(qv2_session *s) {
    if (s->auth) {
        qv2_wipe(s->auth, sizeof *s->auth);
        free(s->auth);
        s->auth = nullptr;
    }
    s->challenge_live = 0;
}

namespace {

// The first leg: our CHALLENGE answering the client's NEGOTIATE message
// (null when it sent none).
void challenge_leg(qv2_conn *c, qv2_reply *r, const uint8_t *negotiate, uint64_t negotiate_len,
                   const qv2_spnego_token &t, int raw) {
    qv2_buf challenge_msg{};
    if (session_challenge(c, c->sess, negotiate, negotiate_len, t.mech_types, t.mech_types_len,
                          &challenge_msg) != 0) {
        qv2_buf_free(&challenge_msg);
        session_setup_fail_body(c, r, STATUS_LOGON_FAILURE);
        return;
    }
    qv2_buf token{};
    if (raw) qv2_buf_put(&token, challenge_msg.data, challenge_msg.len);
    else qv2_spnego_resp(challenge_msg.data, challenge_msg.len, &token);
    qv2_buf_free(&challenge_msg);
    session_setup_ok_body(c, r, 0, 1, &token);
    qv2_buf_free(&token);
}

// The second leg: the AUTHENTICATE message, against the challenge sent in
// the first. Users first, even while guests are admitted: a user who proves
// the password must get a session with a key (clients that require signing,
// or refuse guest sessions, can't use anything else). Only a message that
// proves no user may fall back to a guest logon. A session that was already
// valid (a re-authentication) keeps its key (MS-SMB2 3.3.5.5.2) and its
// signing rule; it takes on the identity just proven.
void authenticate_leg(qv2_conn *c, qv2_reply *r, const auth_msg &m, const qv2_spnego_token &t,
                      int raw) {
    qv2_session *s = c->sess;
    if (!s->challenge_live) {
        // No CHALLENGE of ours is waiting for an answer: an AUTHENTICATE
        // replayed from another exchange, or sent out of turn.
        log_logon_refused(c, "no_challenge");
        session_setup_fail_body(c, r, STATUS_LOGON_FAILURE);
        return;
    }
    s->challenge_live = 0; // used once, whatever comes of it
    qv2_opts o;
    qv2_opts_get(&o);
    uint8_t key[16] = {0};
    logon result = user_logon(s, m, o, key);
    bool server_mic = false, bad_mic = false;
    uint8_t mic[16] = {0};
    if (result == logon::user && check_mics(s, m, t, raw, key, &server_mic, mic) != 0) {
        // A wrong MIC proves nothing, not even a guest. With the right
        // password it means the messages were changed on the way: the log
        // says so rather than blame the password.
        result = logon::refused;
        bad_mic = true;
    } else if (result == logon::refused && guest_possible(s))
        result = guest_logon(s, m, o);
    session_auth_end(s);
    bool reauth = s->valid;
    bool smb3 = c->dialect >= 0x0300;
    if (result == logon::user && !reauth && smb3 && smb3_session_keys(c, s, key) != 0)
        result = logon::refused; // the cryptography failed: no session without its keys
    if (result == logon::guest && o.encryption == QV2_ENCRYPT_REQUIRED) {
        // A guest has no key to encrypt with.
        log_logon(c, s, m.data, m.len, "refused");
        session_setup_fail_body(c, r, STATUS_ACCESS_DENIED);
        qv2_wipe(key, sizeof key);
        qv2_wipe(mic, sizeof mic);
        return;
    }

    qv2_buf token{};
    switch (result) {
    case logon::malformed:
        log_logon(c, s, m.data, m.len, "invalid");
        session_setup_fail_body(c, r, STATUS_INVALID_PARAMETER);
        break;
    case logon::refused:
        log_logon(c, s, m.data, m.len, bad_mic ? "bad_mic" : "refused");
        session_setup_fail_body(c, r, STATUS_LOGON_FAILURE);
        break;
    case logon::user:
        if (!reauth && !smb3) memcpy(s->signing_key, key, sizeof key);
        if (!reauth)
            s->encrypt_data = smb3 && s->has_cipher_keys && o.encryption >= QV2_ENCRYPT_DESIRED;
        s->guest = 0;
        // The key itself never goes to the trace: whoever reads a trace could
        // sign as this session. Four bytes of its SHA-256 tell two traced
        // sessions apart.
        if (qv2_trace_on("sess")) {
            uint8_t fp[32];
            qv2_sha256(key, sizeof key, fp);
            qv2_trace(c->conn_id, "sess", "key fingerprint=%02x%02x%02x%02x\n", fp[0], fp[1],
                      fp[2], fp[3]);
        }
        if (!raw) qv2_spnego_done(&token, server_mic ? mic : nullptr);
        session_setup_ok_body(c, r, 0, 0, &token);
        // Signing announced as required by either side is enforced from now
        // on; decided once, here, for the rest of the session.
        if (!reauth) s->must_sign = c->sign_required || s->client_sign_required;
        log_logon(c, s, m.data, m.len, "user");
        break;
    case logon::guest:
        // A guest has no key: its session neither signs nor verifies.
        if (!reauth) qv2_wipe(s->signing_key, sizeof s->signing_key);
        s->guest = 1;
        if (!raw) qv2_spnego_done(&token);
        session_setup_ok_body(c, r, 1, 0, &token);
        log_logon(c, s, m.data, m.len, "guest");
        break;
    }
    qv2_buf_free(&token);
    qv2_wipe(key, sizeof key);
    qv2_wipe(mic, sizeof mic);
}

// Whether the encryption option lets this connection log on: with
// encryption=required a client must speak 3.x and have agreed a cipher.
bool encryption_possible(const qv2_conn *c) {
    qv2_opts o;
    qv2_opts_get(&o);
    return o.encryption != QV2_ENCRYPT_REQUIRED || (c->dialect >= 0x0300 && c->cipher != 0);
}

// The session a SESSION_SETUP works on: a new one for SessionId 0 (taking
// over the challenge a NEGOTIATE may have sent), else the connection's
// session with that id, in progress or (re-authentication) valid. Null
// with the status to refuse with.
qv2_session *setup_target(qv2_conn *c, uint32_t *status) {
    if (c->cur_sid != 0) {
        qv2_session *s = session_find(c, c->cur_sid);
        if (!s) *status = STATUS_USER_SESSION_DELETED;
        return s;
    }
    qv2_opts o;
    qv2_opts_get(&o);
    qv2_session *s = session_create(c, derive_session_id(c, o));
    if (!s) {
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return nullptr;
    }
    if (qv2_session *n = c->nego_sess) {
        s->auth = n->auth;
        memcpy(s->challenge, n->challenge, sizeof s->challenge);
        s->challenge_live = n->challenge_live;
        n->auth = nullptr;
        session_drop_nego(c);
    }
    return s;
}

} // namespace

// SESSION_SETUP. Refuses a malformed request, one before NEGOTIATE, session
// binding (a 2.x connection has one channel), an unknown SessionId and a
// 65th session; otherwise runs one leg of NTLM on the session it names.
// The security buffer is only read inside the request.
void cmd_session_setup(qv2_conn *c, qv2_reader *rd, qv2_reply *r) {
    uint16_t size = rd_u16(rd);
    uint8_t flags = 0;
    if (rd->pos < rd->size) flags = rd->data[rd->pos];
    rd_skip(rd, 1); // Flags
    uint8_t security_mode = 0;
    if (rd->pos < rd->size) security_mode = rd->data[rd->pos];
    rd_skip(rd, 1); // SecurityMode
    rd_u32(rd);     // Capabilities
    rd_u32(rd);     // Channel
    uint16_t boff = rd_u16(rd);
    uint16_t blen = rd_u16(rd);
    rd_u64(rd); // PreviousSessionId
    if (rd->bad || (size != 25 && size != 26)) {
        err_reply(c, r, SMB2_SESSION_SETUP, STATUS_INVALID_PARAMETER);
        return;
    }
    if (!c->negotiated) {
        // Nothing is settled yet, not even which dialect the session would
        // speak: a logon must follow a NEGOTIATE.
        err_reply(c, r, SMB2_SESSION_SETUP, STATUS_ACCESS_DENIED);
        qv2_stat_add(QV2_ST_PROTOCOL_ERRORS, 1);
        return;
    }
    if (flags & SESSION_FLAG_BINDING) {
        err_reply(c, r, SMB2_SESSION_SETUP, STATUS_REQUEST_NOT_ACCEPTED);
        return;
    }
    if (boff < SMB2_HDR_LEN || uint64_t(boff - SMB2_HDR_LEN) > rd->size ||
        rd->size - (boff - SMB2_HDR_LEN) < blen) {
        err_reply(c, r, SMB2_SESSION_SETUP, STATUS_INVALID_PARAMETER);
        return;
    }
    if (!encryption_possible(c)) {
        // encryption=required: a client that can't encrypt gets no session
        // (MS-SMB2 3.3.5.5).
        err_reply(c, r, SMB2_SESSION_SETUP, STATUS_ACCESS_DENIED);
        return;
    }
    uint32_t refusal = 0;
    bool fresh = c->cur_sid == 0;
    c->sess = setup_target(c, &refusal);
    if (!c->sess) {
        err_reply(c, r, SMB2_SESSION_SETUP, refusal);
        return;
    }
    if (c->dialect == 0x0311 && !c->sess->valid) {
        // The session's preauth integrity hash starts from the
        // connection's and takes in each request of its logon.
        if (fresh) memcpy(c->sess->preauth, c->preauth, sizeof c->preauth);
        if (qv2_preauth_hash_step(c->sess->preauth, c->cur_req, c->cur_req_len) != 0) {
            session_setup_fail_body(c, r, STATUS_INSUFFICIENT_RESOURCES);
            return;
        }
    }
    // A client may say here, too, that it requires signing.
    if (security_mode & SIGNING_REQUIRED) c->sess->client_sign_required = 1;
    const uint8_t *blob = rd->data + (boff - SMB2_HDR_LEN);
    if (qv2_trace_on("sess")) trace_request(c, size, boff, blen, blob);

    // An empty security buffer asks for our challenge, as a missing
    // mechToken does.
    qv2_spnego_token t{};
    if (blen == 0) {
        challenge_leg(c, r, nullptr, 0, t, 0);
        return;
    }
    if (qv2_spnego_decode(blob, blen, &t) != 0) {
        log_logon_refused(c, "no_ntlm");
        session_setup_fail_body(c, r, STATUS_LOGON_FAILURE);
        return;
    }
    // A negTokenInit may carry another mechanism's optimistic token (a
    // Kerberos ticket, say): NTLMSSP was offered too, so we start it.
    if (t.tok && blob[0] == 0x60 && !is_ntlmssp(t.tok, t.toklen)) {
        t.tok = nullptr;
        t.toklen = 0;
    }
    if (!t.tok || t.toklen == 0) {
        challenge_leg(c, r, nullptr, 0, t, t.raw);
        return;
    }
    if (!is_ntlmssp(t.tok, t.toklen)) {
        log_logon_refused(c, "no_ntlm");
        session_setup_fail_body(c, r, STATUS_LOGON_FAILURE);
        return;
    }
    uint32_t type = t.toklen >= 12 ? qv2_le32(t.tok + 8) : 0;
    if (type == NTLM_NEGOTIATE_MSG) {
        challenge_leg(c, r, t.tok, t.toklen, t, t.raw);
        return;
    }
    if (type != NTLM_AUTHENTICATE_MSG) {
        session_setup_fail_body(c, r, STATUS_INVALID_PARAMETER);
        return;
    }
    authenticate_leg(c, r, auth_msg{t.tok, t.toklen}, t, t.raw);
}

// LOGOFF: ends the session the request names and drops its trees and opens;
// the connection's other sessions go on. The failure count stays with the
// connection.
void cmd_logoff(qv2_conn *c, qv2_reader *, qv2_reply *r) {
    if (c->sess) session_remove(c, c->sess);
    w32(&r->buf, 4);
}
