// NTLMSSP session security after a logon (MS-NLMP 3.4): which flags the
// CHALLENGE answers a client's NEGOTIATE with, the client and server signing
// and sealing keys derived from the exported session key, the message
// signature (MAC), and the SPNEGO mechListMIC built from it.
#include "security/qv2_ntlm.h"

#include "foundation/qv2_util.h"
#include "security/crypto_internal.h"
#include "security/qv2_crypto.h"

#include <cstring>

namespace {

// What this server can do. 56 and 128 only size the sealing key, which
// nothing but the mechListMIC uses; SEAL is never used by SMB2 itself.
constexpr uint32_t kSupported = QV2_NTLM_UNICODE | QV2_NTLM_REQUEST_TARGET | QV2_NTLM_SIGN |
                                QV2_NTLM_SEAL | QV2_NTLM_NTLM | QV2_NTLM_ALWAYS_SIGN |
                                QV2_NTLM_EXTENDED_SESSIONSECURITY | QV2_NTLM_128 |
                                QV2_NTLM_KEY_EXCH | QV2_NTLM_56;
// Offered whatever the client asked: Unicode names, NTLM with extended
// session security (NTLMv2 needs nothing else) and the target info that
// carries our names and the timestamp.
constexpr uint32_t kAlways = QV2_NTLM_UNICODE | QV2_NTLM_NTLM |
                             QV2_NTLM_EXTENDED_SESSIONSECURITY | QV2_NTLM_TARGET_INFO;

const char kClientSign[] = "session key to client-to-server signing key magic constant";
const char kServerSign[] = "session key to server-to-client signing key magic constant";
const char kClientSeal[] = "session key to client-to-server sealing key magic constant";
const char kServerSeal[] = "session key to server-to-client sealing key magic constant";

// MD5(key[0..keylen) || magic || NUL): SIGNKEY and SEALKEY of MS-NLMP 3.4.5.
void magic_key(const uint8_t *key, uint64_t keylen, const char *magic, uint8_t out[16]) {
    qv2_md5_ctx ctx;
    qv2_md5_init(&ctx);
    qv2_md5_update(&ctx, key, keylen);
    qv2_md5_update(&ctx, magic, strlen(magic) + 1);
    qv2_md5_final(&ctx, out);
    qv2_wipe(&ctx, sizeof ctx);
}

} // namespace

uint32_t qv2_ntlm_offer(const uint8_t *negotiate, uint64_t len) {
    // No NEGOTIATE seen (an empty first leg, or a CHALLENGE sent unasked):
    // offer what we support, and the client picks.
    if (!negotiate || len < 16) return (kSupported & ~(QV2_NTLM_SEAL | QV2_NTLM_REQUEST_TARGET)) |
                                      kAlways;
    uint32_t asked = qv2_le32(negotiate + 12);
    uint32_t flags = (asked & kSupported) | kAlways;
    // MS-NLMP 2.2.2.5: the target type goes with a requested target name.
    if (flags & QV2_NTLM_REQUEST_TARGET) flags |= QV2_NTLM_TARGET_TYPE_SERVER;
    return flags;
}

void qv2_ntlm_session_keys(const uint8_t exported[16], uint32_t flags, qv2_ntlm_keys *k) {
    magic_key(exported, 16, kClientSign, k->client_sign);
    magic_key(exported, 16, kServerSign, k->server_sign);
    // With extended session security the sealing key is cut by the
    // strength negotiated (MS-NLMP 3.4.5.3).
    uint64_t n = (flags & QV2_NTLM_128) ? 16 : (flags & QV2_NTLM_56) ? 7 : 5;
    magic_key(exported, n, kClientSeal, k->client_seal);
    magic_key(exported, n, kServerSeal, k->server_seal);
}

void qv2_ntlm_mac(const uint8_t sign_key[16], qv2_rc4_state *seal, uint32_t seq,
                  const uint8_t *msg, uint64_t len, uint8_t out[16]) {
    uint8_t seqb[4], digest[16];
    qv2_put_le32(seqb, seq);
    qv2_hmacmd5_ctx h;
    qv2_hmacmd5_init(&h, sign_key, 16);
    qv2_hmacmd5_update(&h, seqb, 4);
    qv2_hmacmd5_update(&h, msg, len);
    qv2_hmacmd5_final(&h, digest);
    qv2_wipe(&h, sizeof h);
    // With KEY_EXCH the checksum is encrypted with the sealing handle.
    if (seal) qv2_rc4(seal, digest, 8);
    qv2_put_le32(out, 1);
    memcpy(out + 4, digest, 8);
    memcpy(out + 12, seqb, 4);
    qv2_wipe(digest, sizeof digest);
}

void qv2_ntlm_mech_list_mic(const uint8_t exported[16], uint32_t flags, int from_server,
                            const uint8_t *mech_types, uint64_t len, uint8_t out[16]) {
    qv2_ntlm_keys k;
    qv2_ntlm_session_keys(exported, flags, &k);
    qv2_rc4_state rc4;
    qv2_rc4_init(&rc4, from_server ? k.server_seal : k.client_seal, 16);
    // The first message of each direction: sequence number 0.
    qv2_ntlm_mac(from_server ? k.server_sign : k.client_sign,
                 (flags & QV2_NTLM_KEY_EXCH) ? &rc4 : nullptr, 0, mech_types, len, out);
    qv2_wipe(&k, sizeof k);
    qv2_wipe(&rc4, sizeof rc4);
}
