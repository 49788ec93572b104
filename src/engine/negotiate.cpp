// Dialect negotiation: the SMB2 NEGOTIATE command and the SMB1 negotiate with
// which older clients ask for an upgrade to SMB2. 2.0.2 and 2.1, and up to
// 3.1.1 as the max_dialect option allows: its negotiate contexts and the
// start of the preauth integrity hash. Also derives the server GUID.
#include "config/qv2_cfg.h"
#include "engine/engine.h"
#include "engine/nego_contexts.h"
#include "security/qv2_smb3_crypto.h"
#include "foundation/qv2_trace.h"
#include "platform/qv2_platform.h"
#include "security/qv2_ntlm.h"

#include <cstdio>
#include <cstring>

namespace {

enum : uint16_t {
    DIALECT_202 = 0x0202,
    DIALECT_210 = 0x0210,
    DIALECT_300 = 0x0300,
    DIALECT_302 = 0x0302,
    DIALECT_311 = 0x0311,
    DIALECT_WILDCARD = 0x02FF, // "come back with an SMB2 NEGOTIATE"
    NEGOTIATE_REQ_SIZE = 36,
    NEGOTIATE_RESP_SIZE = 65,
    SECURITY_BUFFER_OFF = 128,
};

enum : uint32_t {
    MAX_DIALECTS = 32,
    SIGNING_ENABLED = 0x01,
    SIGNING_REQUIRED = 0x02,
    CAP_LEASING = 0x02,
    CAP_LARGE_MTU = 0x04,
    CAP_ENCRYPTION = 0x40,
    SMALL_IO = 65536,
    LARGE_IO = 1048576,
    SMB1_MIN_LEN = 40,
    SMB1_COM_NEGOTIATE = 0x72,
};

constexpr uint64_t GUID_XOR = 0x51564d4232ULL;

// The default negTokenInit (NTLMSSP offered, no mechToken) as one fixed
// string, selectable on its own when a client's reaction is in question.
constexpr uint8_t samba_tok[74] = {
    0x60, 0x48, 0x06, 0x06, 0x2b, 0x06, 0x01, 0x05, 0x05, 0x02, 0xa0, 0x3e, 0x30, 0x3c, 0xa0,
    0x0e, 0x30, 0x0c, 0x06, 0x0a, 0x2b, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0a,
    0xa3, 0x2a, 0x30, 0x28, 0xa0, 0x26, 0x1b, 0x24, 'n',  'o',  't',  '_',  'd',  'e',  'f',
    'i',  'n',  'e',  'd',  '_',  'i',  'n',  '_',  'R',  'F',  'C',  '4',  '1',  '7',  '8',
    '@',  'p',  'l',  'e',  'a',  's',  'e',  '_',  'i',  'g',  'n',  'o',  'r',  'e',
};

// A negTokenInit whose mechToken claims 4 bytes inside lengths that don't
// add up; kept to see how clients cope with a malformed initial token.
constexpr uint8_t short_mechtok[82] = {
    0x60, 0x4c, 0x06, 0x06, 0x2b, 0x06, 0x01, 0x05, 0x05, 0x02, 0xa0, 0x3e, 0x30, 0x3c,
    0xa0, 0x0e, 0x30, 0x0c, 0x06, 0x0a, 0x2b, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02,
    0x02, 0x0a, 0xa2, 0x06, 0x04, 0x04, 0x01, 0x02, 0x03, 0x04, 0xa3, 0x2a, 0x30, 0x28,
    0xa0, 0x26, 0x1b, 0x24, 'n',  'o',  't',  '_',  'd',  'e',  'f',  'i',  'n',  'e',
    'd',  '_',  'i',  'n',  '_',  'R',  'F',  'C',  '4',  '1',  '7',  '8',  '@',  'p',
    'l',  'e',  'a',  's',  'e',  '_',  'i',  'g',  'n',  'o',  'r',  'e',
};

// What one negotiation settles, before it goes into the connection and the reply.
struct nego_state {
    int64_t now;        // T: the `clock` option, or the system clock
    uint64_t guid_seed; // H: hash of the server name
};

int64_t protocol_time(const qv2_opts &o) { return o.clock != 0 ? o.clock : qv2_unix_now(); }

nego_state derive(const qv2_opts &o) {
    nego_state s{};
    s.now = protocol_time(o);
    s.guid_seed = qv2_fnv1a64(o.server_name, strlen(o.server_name), QV2_FNV_BASIS);
    return s;
}

// Appends the 65-byte NEGOTIATE response structure and its security token.
void put_response(qv2_buf *b, uint16_t security_mode, uint16_t dialect, uint64_t guid_seed,
                  uint32_t caps, uint32_t max_transact, uint32_t max_read, uint32_t max_write,
                  int64_t now, const qv2_buf *token) {
    w16(b, NEGOTIATE_RESP_SIZE);
    w16(b, security_mode);
    w16(b, dialect);
    w16(b, 0);
    w64(b, guid_seed);
    w64(b, guid_seed ^ GUID_XOR);
    w32(b, caps);
    w32(b, max_transact);
    w32(b, max_read);
    w32(b, max_write);
    w64(b, qv2_filetime(now));
    w64(b, 0); // ServerStartTime
    w16(b, SECURITY_BUFFER_OFF);
    w16(b, uint16_t(token->len));
    w32(b, 0);
    qv2_buf_put(b, token->data, token->len);
}

// The NEGOTIATE response's security token. Diagnostic environment switches
// swap in other shapes; without them the client gets the negTokenInit that
// offers NTLMSSP and no mechToken. 0, or -1 when a CHALLENGE was wanted and
// could not be made.
int choose_token(qv2_conn *c, qv2_buf *out) {
    switch (qv2_cfg_nego_token()) {
    case QV2_NEGO_TOKEN_RAW_NTLM: {
        qv2_session *n = session_nego(c);
        return n ? session_challenge(c, n, nullptr, 0, nullptr, 0, out) : -1;
    }
    case QV2_NEGO_TOKEN_SHORT: qv2_buf_put(out, short_mechtok, sizeof short_mechtok); break;
    case QV2_NEGO_TOKEN_EMPTY: qv2_spnego_init_tok(nullptr, 0, out); break;
    case QV2_NEGO_TOKEN_SAMBA: qv2_buf_put(out, samba_tok, sizeof samba_tok); break;
    default: qv2_spnego_init_tok_nomect(nullptr, 0, out); break;
    }
    return 0;
}

// Result of searching the request for its dialect list.
struct dialect_pick {
    uint16_t dialect; // the highest we speak, up to max_dialect; 0 when none
    int smb3;         // some candidate listed a 3.x dialect
};

bool speaks(uint16_t d, int32_t max_dialect) {
    return (d == DIALECT_202 || d == DIALECT_210 || d == DIALECT_300 || d == DIALECT_302 ||
            d == DIALECT_311) &&
           d <= max_dialect;
}

// Clients differ in where they put the dialect list (right after the fixed
// fields, or at the very end of the body), so the likely places are tried in
// turn. A place is believed only when every value there looks like a dialect.
dialect_pick find_dialect(const qv2_conn *c, const qv2_reader *rd, uint16_t count,
                          int32_t max_dialect) {
    uint64_t cand[5];
    size_t ncand = 0;
    uint64_t list_len = 2ULL * count;
    if (rd->size >= list_len) cand[ncand++] = rd->size - list_len;
    static constexpr uint64_t fixed[] = {36, 34, 32, 28};
    for (uint64_t off : fixed) cand[ncand++] = off;
    qv2_trace(c->conn_id, "nego", "ncand=%zu rq.n=%zu\n", ncand, size_t(rd->size));

    dialect_pick pick{0, 0};
    for (size_t i = 0; i < ncand; i++) {
        uint64_t off = cand[i];
        if (off > rd->size || rd->size - off < list_len) continue;
        int plausible = 1;
        uint16_t got = 0;
        for (uint16_t k = 0; k < count; k++) {
            uint16_t v = qv2_le16(rd->data + off + 2ULL * k);
            if (v < 0x0200 || v > 0x03FF) {
                plausible = 0;
                break;
            }
            if (v >= 0x0300) pick.smb3 = 1;
            if (speaks(v, max_dialect) && v > got) got = v;
        }
        qv2_trace(c->conn_id, "nego", "cand@%zu plausible=%d got=%x\n", size_t(off), plausible, got);
        if (plausible && got != 0) {
            pick.dialect = got;
            break;
        }
    }
    return pick;
}

bool find_text(const uint8_t *msg, uint64_t len, const char *text) {
    uint64_t n = strlen(text);
    if (len < n) return false;
    for (uint64_t i = 0; i + n <= len; i++)
        if (memcmp(msg + i, text, n) == 0) return true;
    return false;
}

} // namespace

namespace {

// 3.1.1's preauth salt: fresh from the transport's random source; derived
// (the simulation) from the server name and the second, as the challenge
// is, so that transcripts repeat. 0, or -1 when the random source failed.
int make_salt(qv2_conn *c, const qv2_opts &o, uint8_t salt[PREAUTH_SALT_LEN]) {
    if (c->io && c->io->random) return c->io->random(c->io_user, salt, PREAUTH_SALT_LEN) == 0 ? 0 : -1;
    uint64_t h = qv2_fnv1a64(o.server_name, strlen(o.server_name), QV2_FNV_BASIS);
    uint8_t t[8];
    qv2_put_le64(t, uint64_t(protocol_time(o)));
    for (int i = 0; i < PREAUTH_SALT_LEN; i += 8) {
        h = qv2_fnv1a64(t, sizeof t, h ^ uint64_t(i));
        qv2_put_le64(salt + i, h);
    }
    return 0;
}

// The 3.1.1 part of the answer: the contexts after the security token, the
// cipher and signing algorithm they settle, and the first two steps of the
// preauth integrity hash (this request and the response). 0, or the status
// to refuse the NEGOTIATE with.
uint32_t answer_contexts(qv2_conn *c, qv2_reader *rd, qv2_reply *r, const qv2_opts &o) {
    nego_offer offer;
    const uint8_t *msg = rd->data - SMB2_HDR_LEN;
    uint32_t status = nego_contexts_read(msg, rd->size + SMB2_HDR_LEN, qv2_le32(rd->data + 28),
                                         qv2_le16(rd->data + 32), &offer);
    if (status != 0) return status;
    uint8_t salt[PREAUTH_SALT_LEN];
    if (make_salt(c, o, salt) != 0) return STATUS_INSUFFICIENT_RESOURCES;
    bool encrypt = o.encryption != QV2_ENCRYPT_OFF;
    c->cipher = nego_pick_cipher(&offer, encrypt);
    c->signing_algo = nego_pick_signing(&offer);
    uint64_t at = r->buf.len;
    uint16_t n = nego_contexts_write(&r->buf, r->hdr_off, salt, &offer, encrypt, c->cipher,
                                     c->signing_algo);
    if (r->buf.failed) return 0;
    // Where the first context landed, after its alignment.
    uint64_t first = at + (8 - (at - r->hdr_off) % 8) % 8;
    uint8_t *h = rep_hdr(r);
    qv2_put_le16(h + SMB2_HDR_LEN + 6, n);
    qv2_put_le32(h + SMB2_HDR_LEN + 60, uint32_t(first - r->hdr_off));
    memset(c->preauth, 0, sizeof c->preauth);
    if (qv2_preauth_hash_step(c->preauth, c->cur_req, c->cur_req_len) != 0 ||
        qv2_preauth_hash_step(c->preauth, h, r->buf.len - r->hdr_off) != 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    return 0;
}

} // namespace

// SMB2 NEGOTIATE (the first of the connection: frame_in ends a connection
// that negotiates again). Refuses a malformed request, one without a
// dialect we speak up to max_dialect, and (3.1.1) one whose negotiate
// contexts are malformed or offer no common preauth hash; the connection
// ends after such a refusal. Otherwise records what the client offered and
// answers with the NTLM offer.
void cmd_negotiate(qv2_conn *c, qv2_reader *rd, qv2_reply *r) {
    uint16_t size = rd_u16(rd);
    uint16_t count = rd_u16(rd);
    uint16_t security_mode = rd_u16(rd);
    rd_u16(rd); // Reserved
    uint32_t client_caps = rd_u32(rd);
    uint8_t client_guid[16] = {};
    if (rd->size - rd->pos >= 16) memcpy(client_guid, rd->data + rd->pos, 16);
    rd_skip(rd, 16); // ClientGuid
    qv2_trace(c->conn_id, "nego", "ssz=%u scount=%u (off-base)\n", size, count);
    if (rd->bad || count < 1 || count > MAX_DIALECTS || size != NEGOTIATE_REQ_SIZE) {
        err_reply(c, r, SMB2_NEGOTIATE, STATUS_INVALID_PARAMETER);
        qv2_stat_add(QV2_ST_PROTOCOL_ERRORS, 1);
        c->closing = 1;
        return;
    }

    qv2_opts o;
    qv2_opts_get(&o);
    dialect_pick pick = find_dialect(c, rd, count, o.max_dialect);
    qv2_trace(c->conn_id, "nego", "best=%llx is31=%d\n", (unsigned long long)pick.dialect,
                pick.smb3);
    if (pick.dialect == 0) {
        // A client that offers SMB 3 without negotiate contexts sent a
        // request no real SMB 3 client sends.
        bool no_contexts = rd->size < 64 || qv2_le16(rd->data + 28) == 0;
        err_reply(c, r, SMB2_NEGOTIATE,
                  pick.smb3 && no_contexts ? STATUS_INVALID_PARAMETER : STATUS_NOT_SUPPORTED);
        qv2_stat_add(QV2_ST_PROTOCOL_ERRORS, 1);
        c->closing = 1;
        return;
    }

    bool smb3 = pick.dialect >= DIALECT_300;
    c->negotiated = 1;
    c->dialect = pick.dialect;
    c->client_sign_required = (security_mode & SIGNING_REQUIRED) != 0;
    c->client_caps = client_caps;
    c->client_security_mode = security_mode;
    memcpy(c->client_guid, client_guid, sizeof client_guid);
    // Multi-credit depends on the dialect and the transport (always direct
    // TCP here), not on the client's CAP_LARGE_MTU (MS-SMB2 3.3.5.4): a 2.1
    // client that leaves the bit out still reads a megabyte at a time.
    c->large_mtu = pick.dialect >= DIALECT_210;
    c->max_read = c->max_write = c->large_mtu ? LARGE_IO : SMALL_IO;
    c->sign_required = o.signing == 1;
    c->signing_algo = smb3 ? SIGN_AES_CMAC : SIGN_HMAC_SHA256;
    // At 3.0 and 3.0.2 encryption is a capability, with AES-128-CCM
    // (MS-SMB2 3.3.5.4); at 3.1.1 a negotiate context settles the cipher.
    bool cap_encryption = (pick.dialect == DIALECT_300 || pick.dialect == DIALECT_302) &&
                          (client_caps & CAP_ENCRYPTION) && o.encryption != QV2_ENCRYPT_OFF;
    c->cipher = cap_encryption ? QV2_CIPHER_AES128_CCM : 0;
    c->server_caps = (c->large_mtu ? uint32_t(CAP_LARGE_MTU) : 0) |
                     (cap_encryption ? uint32_t(CAP_ENCRYPTION) : 0);
    // Leases belong to 2.1 and later, and are offered only where breaks can
    // be sent as soon as they are due.
    if (pick.dialect >= DIALECT_210 && c->cache.leasing) c->server_caps |= CAP_LEASING;
    qv2_stat_add(QV2_ST_NEGOTIATE, 1);
    nego_state s = derive(o);
    c->server_guid_seed = s.guid_seed;

    qv2_buf token{};
    if (choose_token(c, &token) != 0) {
        qv2_buf_free(&token);
        err_reply(c, r, SMB2_NEGOTIATE, STATUS_NOT_SUPPORTED);
        return;
    }
    uint32_t max_transact = c->large_mtu ? uint32_t(LARGE_IO) : uint32_t(SMALL_IO);
    // 2.x keeps the SecurityMode it always sent; at 3.x signing is always
    // enabled, and may be required too.
    uint16_t mode = smb3 ? uint16_t(SIGNING_ENABLED | (c->sign_required ? uint32_t(SIGNING_REQUIRED) : 0u))
                         : uint16_t(c->sign_required ? 2 : 1);
    put_response(&r->buf, mode, uint16_t(c->dialect), s.guid_seed, c->server_caps,
                 max_transact, uint32_t(c->max_read), uint32_t(c->max_write), s.now, &token);
    if (token.failed) r->buf.failed = 1;
    qv2_buf_free(&token);
    if (pick.dialect == DIALECT_311) {
        uint32_t status = answer_contexts(c, rd, r, o);
        if (status != 0) {
            err_reply(c, r, SMB2_NEGOTIATE, status);
            qv2_stat_add(QV2_ST_PROTOCOL_ERRORS, 1);
            c->negotiated = 0;
            c->closing = 1;
        }
    }
}

// An SMB1 negotiate that lists an SMB2 dialect. It is answered with an SMB2
// NEGOTIATE response (MessageId 0): the wildcard revision 0x02FF when the
// client offered "SMB 2.???", which tells it to follow with a real SMB2
// NEGOTIATE (a client answered 0x0210 here would take 2.1 as settled and
// never send one); 0x0202 when it offered only "SMB 2.002". Anything else
// gets a lone NOT_SUPPORTED header.
void smb1_negotiate(qv2_conn *c, const uint8_t *msg, uint64_t len, qv2_reply *r, int *send) {
    bool wildcard = false, smb202 = false;
    if (len >= SMB1_MIN_LEN && msg[4] == SMB1_COM_NEGOTIATE) {
        wildcard = find_text(msg, len, "SMB 2.???");
        smb202 = find_text(msg, len, "SMB 2.002");
    }
    if (!wildcard && !smb202) {
        qv2_stat_add(QV2_ST_PROTOCOL_ERRORS, 1);
        err_reply_l(c, r, SMB2_NEGOTIATE, STATUS_NOT_SUPPORTED, 0, 0, __LINE__);
        *send = 1;
        return;
    }

    qv2_opts o;
    qv2_opts_get(&o);
    c->dialect = wildcard ? DIALECT_210 : DIALECT_202;
    // The wildcard answer settles nothing: the client must send a real
    // NEGOTIATE next, and that one is not a second negotiation.
    c->negotiated = wildcard ? 0 : 1;
    c->client_sign_required = 0;
    c->large_mtu = 0;
    c->max_read = c->max_write = SMALL_IO;
    c->sign_required = o.signing == 1;
    nego_state s = derive(o);
    c->server_guid_seed = s.guid_seed;
    qv2_stat_add(QV2_ST_NEGOTIATE, 1);
    qv2_trace(c->conn_id, "nego", "smb1 upgrade wildcard=%d dialect=%x\n", wildcard ? 1 : 0,
                c->dialect);

    // The wildcard answer's token is never used: the client negotiates
    // again. A 2.0.2 answer ends the negotiation, so its token must be the
    // one that starts authentication, as in the SMB2 NEGOTIATE response; a
    // client handed the CHALLENGE there refuses it as out of order.
    qv2_buf challenge_msg{}, token{};
    int rc = 0;
    if (wildcard) {
        qv2_session *n = session_nego(c);
        rc = n ? session_challenge(c, n, nullptr, 0, nullptr, 0, &challenge_msg) : -1;
        if (rc == 0) qv2_spnego_resp(challenge_msg.data, challenge_msg.len, &token);
    } else {
        rc = choose_token(c, &token);
    }
    if (rc != 0) {
        qv2_buf_free(&challenge_msg);
        qv2_buf_free(&token);
        qv2_stat_add(QV2_ST_PROTOCOL_ERRORS, 1);
        err_reply_l(c, r, SMB2_NEGOTIATE, STATUS_NOT_SUPPORTED, 0, 0, __LINE__);
        *send = 1;
        return;
    }
    rep_begin(r, SMB2_NEGOTIATE, STATUS_SUCCESS, 0, 0, 0, 0, 1);
    put_response(&r->buf, 1, wildcard ? DIALECT_WILDCARD : DIALECT_202, s.guid_seed, 0,
                 SMALL_IO, SMALL_IO, SMALL_IO, s.now, &token);
    if (token.failed) r->buf.failed = 1;
    qv2_buf_free(&challenge_msg);
    qv2_buf_free(&token);
    *send = 1;
}
