// The SMB 3 key derivation (SP 800-108 counter mode with HMAC-SHA256,
// MS-SMB2 3.1.4.2) and the labels and contexts of a session's keys.
#include "security/qv2_crypto.h"
#include "security/qv2_smb3_crypto.h"

#include "dirir2i.h"

#include <cstring>

namespace {

struct KeyRule {
    const char *label; // with its terminating NUL, as MS-SMB2 lists it
    uint64_t label_len;
    const char *context; // null: the preauth integrity hash
    uint64_t context_len;
};

#define LIT(s) s, sizeof(s)

// MS-SMB2 3.3.5.5.3, from the server's side: it encrypts with the
// server-to-client key and decrypts with the client-to-server one.
constexpr KeyRule k30Signing = {LIT("SMB2AESCMAC"), LIT("SmbSign")};
constexpr KeyRule k30Application = {LIT("SMB2APP"), LIT("SmbRpc")};
constexpr KeyRule k30Encryption = {LIT("SMB2AESCCM"), LIT("ServerOut")};
constexpr KeyRule k30Decryption = {LIT("SMB2AESCCM"), LIT("ServerIn ")};
constexpr KeyRule k311Signing = {LIT("SMBSigningKey"), nullptr, 0};
constexpr KeyRule k311Application = {LIT("SMBAppKey"), nullptr, 0};
constexpr KeyRule k311Encryption = {LIT("SMBS2CCipherKey"), nullptr, 0};
constexpr KeyRule k311Decryption = {LIT("SMBC2SCipherKey"), nullptr, 0};

#undef LIT

int derive(const KeyRule &r, const uint8_t *key, uint64_t keylen, const uint8_t *preauth,
           uint8_t *out, uint64_t out_len) {
    const void *context = r.context ? static_cast<const void *>(r.context) : preauth;
    uint64_t context_len = r.context ? r.context_len : uint64_t(QV2_SHA512_LEN);
    return qv2_smb3_kdf(key, keylen, r.label, r.label_len, context, context_len, out, out_len);
}

} // namespace

int qv2_smb3_kdf(const uint8_t *key, uint64_t keylen, const void *label, uint64_t label_len,
                 const void *context, uint64_t context_len, uint8_t *out, uint64_t out_len) {
    if (!key || keylen == 0 || !out || (label_len > 0 && !label) || (context_len > 0 && !context))
        return qv2_fail(DIRIR2I_EARG, "the key derivation needs a key, its inputs and an output");
    if (out_len != 16 && out_len != 32)
        return qv2_fail(DIRIR2I_EARG, "SMB 3 keys are 16 or 32 bytes, not %llu",
                        (unsigned long long)out_len);
    // One HMAC-SHA256 block gives 32 bytes: the counter never passes 1.
    static const uint8_t counter[4] = {0, 0, 0, 1};
    static const uint8_t separator = 0;
    uint32_t bits = uint32_t(out_len * 8);
    uint8_t l[4] = {uint8_t(bits >> 24), uint8_t(bits >> 16), uint8_t(bits >> 8), uint8_t(bits)};
    qv2_hmac256_ctx h;
    qv2_hmac256_init(&h, key, keylen);
    qv2_hmac256_update(&h, counter, 4);
    qv2_hmac256_update(&h, label, label_len);
    qv2_hmac256_update(&h, &separator, 1);
    qv2_hmac256_update(&h, context, context_len);
    qv2_hmac256_update(&h, l, 4);
    uint8_t block[32];
    qv2_hmac256_final(&h, block);
    memcpy(out, block, out_len);
    qv2_wipe(block, sizeof block);
    qv2_wipe(&h, sizeof h);
    return DIRIR2I_OK;
}

int qv2_smb3_derive_keys(uint16_t dialect, uint16_t cipher, const uint8_t *key, uint64_t keylen,
                         const uint8_t *preauth, qv2_smb3_keys *out) {
    if (!out) return qv2_fail(DIRIR2I_EARG, "no place for the session's keys");
    memset(out, 0, sizeof *out);
    const KeyRule *sign, *app, *enc, *dec;
    if (dialect == 0x0300 || dialect == 0x0302) {
        if (cipher != QV2_CIPHER_AES128_CCM)
            return qv2_fail(DIRIR2I_EARG, "SMB %s encrypts with AES-128-CCM only",
                            dialect == 0x0300 ? "3.0" : "3.0.2");
        sign = &k30Signing, app = &k30Application, enc = &k30Encryption, dec = &k30Decryption;
    } else if (dialect == 0x0311) {
        if (!preauth) return qv2_fail(DIRIR2I_EARG, "SMB 3.1.1 keys need the preauth hash");
        sign = &k311Signing, app = &k311Application, enc = &k311Encryption, dec = &k311Decryption;
    } else {
        return qv2_fail(DIRIR2I_EARG, "dialect 0x%04x has no SMB 3 keys", dialect);
    }
    int cipher_len = qv2_aead_key_len(cipher);
    if (cipher_len == 0) return qv2_fail(DIRIR2I_EARG, "unknown cipher id %u", cipher);
    int rc = derive(*sign, key, keylen, preauth, out->signing, 16);
    if (rc == DIRIR2I_OK) rc = derive(*app, key, keylen, preauth, out->application, 16);
    if (rc == DIRIR2I_OK) rc = derive(*enc, key, keylen, preauth, out->encryption, cipher_len);
    if (rc == DIRIR2I_OK) rc = derive(*dec, key, keylen, preauth, out->decryption, cipher_len);
    if (rc != DIRIR2I_OK) {
        qv2_wipe(out, sizeof *out);
        return rc;
    }
    out->cipher_key_len = uint8_t(cipher_len);
    return DIRIR2I_OK;
}
