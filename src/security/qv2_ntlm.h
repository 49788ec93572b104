// SPNEGO token codec and NTLMv2 server authentication.
#pragma once

#include "foundation/qv2_types.h"
#include "security/qv2_crypto_types.h"

// Read cursor over received DER (and NTLM) bytes.
struct der_reader {
    const uint8_t *data;
    uint64_t size; // readable bytes from data
    uint64_t pos;  // next byte to read
};

// ---- SPNEGO ----

// Reads one element header at pos; leaves pos at the first content byte. 0 or -1.
int der_tag(der_reader *r, int *tag_out, uint64_t *len_out);
// Appends the DER definite-length encoding of n.
void der_len(qv2_buf *b, uint64_t n);

// What a client's security buffer holds. Every pointer points into the
// buffer that was decoded (no copy); absent parts are null with length 0.
struct qv2_spnego_token {
    const uint8_t *tok; // the mechanism token: mechToken or responseToken, or the bare message
    uint64_t toklen;
    int raw; // 1 when the client talks NTLM without SPNEGO
    // negTokenInit: the DER bytes of MechTypeList (the SEQUENCE OF MechType,
    // tag and length included), which the mechListMIC covers.
    const uint8_t *mech_types;
    uint64_t mech_types_len;
    // negTokenResp: the content of the client's mechListMIC.
    const uint8_t *mic;
    uint64_t miclen;
};

// Takes a client's security buffer apart. 0 success, -1 not a usable token,
// -2 a negTokenInit that does not offer NTLMSSP. *out is reset on entry.
int qv2_spnego_decode(const uint8_t *blob, uint64_t len, qv2_spnego_token *out);
// Builders; they append to b and return 0 (allocation failure shows in b->failed).
int qv2_spnego_init_tok_nomect(const uint8_t *token, uint64_t len, qv2_buf *b);
int qv2_spnego_init_tok(const uint8_t *token, uint64_t len, qv2_buf *b);
int qv2_spnego_resp(const uint8_t *token, uint64_t len, qv2_buf *b);
// accept-completed, with the server's mechListMIC when mic is not null.
int qv2_spnego_done(qv2_buf *b, const uint8_t *mic = nullptr);

// ---- NTLM ----

// NegotiateFlags bits (MS-NLMP 2.2.2.5).
enum : uint32_t {
    QV2_NTLM_UNICODE = 0x00000001,
    QV2_NTLM_REQUEST_TARGET = 0x00000004,
    QV2_NTLM_SIGN = 0x00000010,
    QV2_NTLM_SEAL = 0x00000020,
    QV2_NTLM_NTLM = 0x00000200,
    QV2_NTLM_ALWAYS_SIGN = 0x00008000,
    QV2_NTLM_TARGET_TYPE_SERVER = 0x00020000,
    QV2_NTLM_EXTENDED_SESSIONSECURITY = 0x00080000,
    QV2_NTLM_TARGET_INFO = 0x00800000,
    QV2_NTLM_128 = 0x20000000,
    QV2_NTLM_KEY_EXCH = 0x40000000,
    QV2_NTLM_56 = 0x80000000,
};

// The NegotiateFlags our CHALLENGE answers a client's NEGOTIATE message with
// (null or shorter than 16 bytes: no NEGOTIATE was seen): the flags asked
// for that we support, never one that was not asked for but UNICODE, NTLM,
// EXTENDED_SESSIONSECURITY and TARGET_INFO.
uint32_t qv2_ntlm_offer(const uint8_t *negotiate, uint64_t len);

// Appends the CHALLENGE message with these NegotiateFlags; with
// REQUEST_TARGET it names the server as TargetName. 0, or -1 (nothing
// appended) when the server name can't be converted to UTF-16LE.
int qv2_ntlm_type2(const char *server_name, const uint8_t challenge[8], int64_t unix_time,
                   uint32_t flags, qv2_buf *b);
// What a verification is checked against.
struct qv2_ntlm_check {
    const uint8_t *challenge; // the 8 bytes our CHALLENGE carried
    const char *server_name;  // as given to qv2_ntlm_type2
    int64_t now;              // Unix seconds
    int timecheck;            // check the client's timestamp (±2 hours)
    int guest_allowed;        // an unproven logon may become a guest session
};

// Why a verification ended as it did. Every reason has one outcome
// (qv2_ntlm_outcome_of).
enum qv2_ntlm_reason : int {
    QV2_NTLM_VERIFIED,         // user: the password is proven; the key is the session key
    QV2_NTLM_ANONYMOUS,        // guest: an empty NT response, whatever the guest rule
    QV2_NTLM_UNPROVEN_GUEST,   // guest: NTLMv1, or a response of no NTLMv2 length, guests admitted
    QV2_NTLM_NTLMV1,           // no match: NTLMv1 proves no user
    QV2_NTLM_OTHER_USER,       // no match: the message names another user
    QV2_NTLM_WRONG_PROOF,      // no match: the proof is not this user's password
    QV2_NTLM_BAD_ARGUMENT,     // malformed: no challenge, or a server name that isn't UTF-8
    QV2_NTLM_SHORT,            // malformed: under 32 bytes
    QV2_NTLM_SIGNATURE,        // malformed: not "NTLMSSP"
    QV2_NTLM_NOT_AUTHENTICATE, // malformed: another message type
    QV2_NTLM_NO_NT_RESPONSE,   // malformed: the NT response field is missing or runs out
    QV2_NTLM_NO_FLAGS,         // malformed: no NegotiateFlags
    QV2_NTLM_RESPONSE_LENGTH,  // refused: no NTLMv2 length, guests not admitted
    QV2_NTLM_BLOB_VERSION,     // malformed: the blob is not version 1.1
    QV2_NTLM_USER_NAME,        // malformed: the user name is not UTF-16 or too long
    QV2_NTLM_TIMESTAMP,        // refused: the timestamp is missing, 0 or out of the window
    QV2_NTLM_DOMAIN_NAME,      // refused: MsvAvNbDomainName is not our name
    QV2_NTLM_COMPUTER_NAME,    // refused: MsvAvNbComputerName is not our name
    QV2_NTLM_SESSION_KEY,      // malformed: KEY_EXCH without a 16-byte session key
};
enum qv2_ntlm_outcome : int {
    QV2_NTLM_USER,      // a user session, keyed
    QV2_NTLM_GUEST,     // a guest session, no key
    QV2_NTLM_NO_MATCH,  // not this user; the caller may try its next one
    QV2_NTLM_MALFORMED, // the logon fails at once
};
qv2_ntlm_outcome qv2_ntlm_outcome_of(qv2_ntlm_reason reason);

// Verifies an AUTHENTICATE message against one user (an empty user: any
// name, for a guest attempt). key_out (16 bytes) gets the session key when
// the reason is QV2_NTLM_VERIFIED, else zeros.
qv2_ntlm_reason qv2_ntlm_type3(const uint8_t *msg, uint64_t msglen, const qv2_ntlm_check &chk,
                               const char *user, const char *password, uint8_t key_out[16]);
// NT hash and NTOWFv2 (user upper-cased; a null domain counts as empty).
void qv2_ntlm_hashes_dom(const char *user, const char *domain, const char *password,
                         uint8_t nt_hash_out[16], uint8_t ntowf_out[16]);
void qv2_ntlm_hashes(const char *user, const char *password, uint8_t nt_hash_out[16],
                     uint8_t ntowf_out[16]);
// The UserName of an AUTHENTICATE message as UTF-8 in out[cap] (cut to
// what fits), for the log. 0, or -1 with out empty when the message is no
// AUTHENTICATE or the name does not decode.
int qv2_ntlm_user_name(const uint8_t *msg, uint64_t len, char *out, int32_t cap);
// 0 when msg is an NTLM NEGOTIATE message (at least 16 bytes), else -1.
int qv2_ntlm_type1(const uint8_t *msg, uint64_t len);

// The NegotiateFlags of an AUTHENTICATE message (0 when it has none).
uint32_t qv2_ntlm_auth_flags(const uint8_t *msg, uint64_t len);
// Checks the MIC of an AUTHENTICATE message whose blob announces one
// (MsvAvFlags bit 0x2): HMAC-MD5 keyed with the exported session key over
// the client's NEGOTIATE, our CHALLENGE and the AUTHENTICATE with its MIC
// zeroed (MS-NLMP 3.2.5.1.2). 0 when there is no MIC or it is right, -1
// when it is wrong or the message is too short to hold one.
int qv2_ntlm_check_mic(const uint8_t *auth, uint64_t authlen, const uint8_t *negotiate,
                       uint64_t negotiate_len, const uint8_t *challenge_msg,
                       uint64_t challenge_len, const uint8_t exported[16]);

// The four NTLMSSP session keys (MS-NLMP 3.4.5.2, 3.4.5.3).
struct qv2_ntlm_keys {
    uint8_t client_sign[16];
    uint8_t server_sign[16];
    uint8_t client_seal[16];
    uint8_t server_seal[16];
};
// Derives them from the exported session key under the negotiated flags
// (128 or 56 size the sealing keys).
void qv2_ntlm_session_keys(const uint8_t exported[16], uint32_t flags, qv2_ntlm_keys *k);
// The NTLMSSP_MESSAGE_SIGNATURE of msg with extended session security
// (MS-NLMP 3.4.4.2): version 1, the first 8 bytes of HMAC-MD5(sign_key,
// seq || msg), RC4-encrypted with `seal` when it is not null (KEY_EXCH), and
// seq. `seal` advances.
void qv2_ntlm_mac(const uint8_t sign_key[16], qv2_rc4_state *seal, uint32_t seq,
                  const uint8_t *msg, uint64_t len, uint8_t out[16]);
// The SPNEGO mechListMIC over the DER bytes of MechTypeList: the MAC with
// sequence number 0 under the client's keys (from_server 0) or the server's.
void qv2_ntlm_mech_list_mic(const uint8_t exported[16], uint32_t flags, int from_server,
                            const uint8_t *mech_types, uint64_t len, uint8_t out[16]);
