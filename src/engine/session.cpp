// SESSION_SETUP and LOGOFF: NTLM authentication in two legs (the client's
// NEGOTIATE is answered with our CHALLENGE, its AUTHENTICATE is verified
// against the user table or admitted as a guest), over SPNEGO or bare
// NTLMSSP, and the end of the connection's one session.
#include "config/qv2_cfg.h"
#include "engine/conn_log.h"
#include "engine/engine.h"
#include "net/qv2_net.h"
#include "security/qv2_crypto.h"
#include "security/qv2_ntlm.h"

#include <cstdio>
#include <cstring>

namespace {

enum : uint16_t {
    SESSION_FLAG_GUEST = 0x0001,
    RESP_SIZE = 9,
    RESP_BUFFER_OFF = 72,
};

enum : uint32_t {
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

// A SessionId that is the same for the same peer, connection number and
// second: repeatable under the `clock` option, never 0.
uint64_t derive_session_id(const qv2_conn *c, const qv2_opts &o) {
    uint64_t seed = qv2_fnv1a64(c->peer_text, strlen(c->peer_text), QV2_FNV_BASIS) ^
                    uint64_t(int64_t(c->conn_id));
    uint8_t t[8];
    qv2_put_le64(t, uint64_t(protocol_time(o)));
    return qv2_fnv1a64(t, sizeof t, seed) | 1;
}

// How an AUTHENTICATE message came out.
enum class logon { user, guest, refused, malformed };

struct auth_msg {
    const uint8_t *data;
    uint64_t len;
};

// A guest is admitted when no configured user is proven, unless signing is
// required on both sides: a guest session has no key to sign with.
bool guest_possible(const qv2_conn *c, const qv2_opts &o) {
    return qv2_guest_allowed() && !(o.signing == 1 && c->client_sign_required);
}

// The guest step. The names and password in the message don't matter; only
// a message that can't be parsed is refused. key_out gets whatever key the
// verifier produced (zero for a plain guest admission).
logon guest_logon(const qv2_conn *c, const auth_msg &m, const qv2_opts &o, uint8_t key_out[16]) {
    int guest = 0;
    int rc = qv2_ntlm_type3(m.data, m.len, c->challenge, o.server_name, protocol_time(o),
                            o.ntlm_timecheck, "", "", &guest, key_out);
    return rc == -1 ? logon::malformed : logon::guest;
}

// The user step: each configured user in table order until one is proven.
// A message the verifier would admit only as a guest is refused here.
logon user_logon(const qv2_conn *c, const auth_msg &m, const qv2_opts &o, uint8_t key_out[16]) {
    int64_t now = protocol_time(o);
    for (int32_t i = 0; i < QV2_MAX_USERS; i++) {
        char name[QV2_USER_NAME_MAX + 1];
        char password[QV2_PASSWORD_MAX + 1];
        if (qv2_user_at(i, name, sizeof name, password, sizeof password) != 0 || name[0] == 0) {
            qv2_wipe(password, sizeof password);
            return logon::refused;
        }
        int guest = 0;
        int rc = qv2_ntlm_type3(m.data, m.len, c->challenge, o.server_name, now, o.ntlm_timecheck,
                                name, password, &guest, key_out);
        qv2_wipe(password, sizeof password);
        if (rc == -1) return logon::malformed;
        if (rc == 0) return guest ? logon::refused : logon::user;
    }
    return logon::refused;
}

void trace_request(uint16_t size, uint16_t boff, uint16_t blen,
                   const uint8_t *blob) {
    bool raw = blen > 8 && is_ntlmssp(blob, blen);
    fprintf(stderr, "[sess] ssz=%u boff=%u blen=%u in_blob=%s head=", size, boff, blen,
            raw ? "RAW-NTLM" : "spnego/other");
    for (unsigned i = 0; i < blen && i < TRACE_HEAD_BYTES; i++) fprintf(stderr, "%02x", blob[i]);
    fprintf(stderr, "\n");
}

} // namespace

// Finishes a SESSION_SETUP reply that carries our CHALLENGE (`more` 1) or
// ends the logon (`more` 0). The token is bare when the client spoke bare
// NTLMSSP, else SPNEGO.
void session_setup_ok_body(qv2_conn *c, qv2_reply *r, int guest, int more, int raw) {
    qv2_opts o;
    qv2_opts_get(&o);
    qv2_buf token{};
    if (more) {
        qv2_buf challenge_msg{};
        if (qv2_ntlm_type2(o.server_name, c->challenge, protocol_time(o), &challenge_msg) != 0) {
            // Only a server name that isn't UTF-8 gets here, and the options
            // never let one in.
            qv2_buf_free(&challenge_msg);
            session_setup_fail_body(c, r, STATUS_LOGON_FAILURE);
            return;
        }
        if (raw) qv2_buf_put(&token, challenge_msg.data, challenge_msg.len);
        else qv2_spnego_resp(challenge_msg.data, challenge_msg.len, &token);
        qv2_buf_free(&challenge_msg);
    } else if (!raw) {
        qv2_spnego_done(&token);
    }

    if (!more) c->authenticated = 1;
    if (c->session_id == 0) c->session_id = derive_session_id(c, o);
    qv2_put_le64(rep_hdr(r) + 40, c->session_id);
    rep_set_status(r, more ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS);
    // The challenge leg counts too: a user logon adds 2 to `sessions`.
    qv2_stat_add(guest && !more ? QV2_ST_GUEST_SESSIONS : QV2_ST_SESSIONS, 1);
    if (c->sign_required) qv2_stat_add(QV2_ST_SIGN_REQUIRED_SESSIONS, 1);

    w16(&r->buf, RESP_SIZE);
    w16(&r->buf, guest && !more ? SESSION_FLAG_GUEST : 0);
    w16(&r->buf, RESP_BUFFER_OFF);
    w16(&r->buf, uint16_t(token.len));
    qv2_buf_put(&r->buf, token.data, token.len);
    if (token.failed) r->buf.failed = 1;
    qv2_buf_free(&token);
}

// Finishes a failed SESSION_SETUP: the status, the 9-byte failure body, and
// the connection's failure count, which ends the connection (after this
// reply) once it reaches `max_login_failures`.
void session_setup_fail_body(qv2_conn *c, qv2_reply *r, uint32_t status) {
    qv2_stat_add(QV2_ST_LOGON_FAILED, 1);
    rep_set_status(r, status);
    qv2_buf_put(&r->buf, fail_body, sizeof fail_body);
    qv2_opts o;
    qv2_opts_get(&o);
    c->login_failures++;
    if (c->login_failures >= o.max_login_failures) c->closing = 1;
}

// SESSION_SETUP. Refuses a malformed request and a second logon on the
// connection; otherwise runs one leg of NTLM. The security buffer is only
// read inside the request.
void cmd_session_setup(qv2_conn *c, qv2_reader *rd, qv2_reply *r) {
    uint16_t size = rd_u16(rd);
    rd_skip(rd, 1); // Flags
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
    if (c->authenticated) {
        err_reply(c, r, SMB2_SESSION_SETUP, STATUS_REQUEST_NOT_ACCEPTED);
        return;
    }
    if (boff < SMB2_HDR_LEN || uint64_t(boff - SMB2_HDR_LEN) > rd->size ||
        rd->size - (boff - SMB2_HDR_LEN) < blen) {
        err_reply(c, r, SMB2_SESSION_SETUP, STATUS_INVALID_PARAMETER);
        return;
    }
    const uint8_t *blob = rd->data + (boff - SMB2_HDR_LEN);
    if (c->trace) trace_request(size, boff, blen, blob);

    // An empty security buffer asks for our challenge, as a missing
    // mechToken does.
    if (blen == 0) {
        session_setup_ok_body(c, r, 0, 1, 0);
        return;
    }
    const uint8_t *tok = nullptr;
    uint64_t toklen = 0;
    int raw = 0;
    if (qv2_spnego_init(blob, blen, &tok, &toklen, &raw) != 0) {
        log_logon_refused(c, "no_ntlm");
        session_setup_fail_body(c, r, STATUS_LOGON_FAILURE);
        return;
    }
    if (!tok || toklen == 0) {
        session_setup_ok_body(c, r, 0, 1, raw);
        return;
    }
    if (!is_ntlmssp(tok, toklen)) {
        log_logon_refused(c, "no_ntlm");
        session_setup_fail_body(c, r, STATUS_LOGON_FAILURE);
        return;
    }
    uint32_t type = toklen >= 12 ? qv2_le32(tok + 8) : 0;
    if (type == NTLM_NEGOTIATE_MSG) {
        session_setup_ok_body(c, r, 0, 1, raw);
        return;
    }
    if (type != NTLM_AUTHENTICATE_MSG) {
        session_setup_fail_body(c, r, STATUS_INVALID_PARAMETER);
        return;
    }

    qv2_opts o;
    qv2_opts_get(&o);
    auth_msg m{tok, toklen};
    uint8_t key[16] = {0};
    // Users first, even while guests are admitted: a user who proves the
    // password must get a session with a key (clients that require signing,
    // or refuse guest sessions, can't use anything else). Only a message that
    // proves no user may fall back to a guest logon.
    logon result = user_logon(c, m, o, key);
    if (result == logon::refused && guest_possible(c, o)) result = guest_logon(c, m, o, key);
    switch (result) {
    case logon::malformed:
        log_logon(c, tok, toklen, "invalid");
        session_setup_fail_body(c, r, STATUS_INVALID_PARAMETER);
        break;
    case logon::refused:
        log_logon(c, tok, toklen, "refused");
        session_setup_fail_body(c, r, STATUS_LOGON_FAILURE);
        break;
    case logon::user:
        memcpy(c->signing_key, key, sizeof key);
        if (c->trace) {
            fprintf(stderr, "[sess] key=");
            for (uint8_t b : key) fprintf(stderr, "%02x", b);
            fprintf(stderr, "\n");
        }
        session_setup_ok_body(c, r, 0, 0, raw);
        // Signing announced as required by either side is enforced from now
        // on; decided once, here, for the rest of the session.
        c->must_sign = c->sign_required || c->client_sign_required;
        log_logon(c, tok, toklen, "user");
        break;
    case logon::guest:
        memcpy(c->signing_key, key, sizeof key);
        session_setup_ok_body(c, r, 1, 0, raw);
        log_logon(c, tok, toklen, "guest");
        break;
    }
    qv2_wipe(key, sizeof key);
}

// LOGOFF: ends the session and drops its trees and opens. The signing key,
// challenge and failure count stay with the connection.
void cmd_logoff(qv2_conn *c, qv2_reader *, qv2_reply *r) {
    conn_free_trees_opens(c);
    c->authenticated = 0;
    c->must_sign = 0;
    c->session_id = 0;
    w32(&r->buf, 4);
}
