// The SMB 3 signing MACs on libcrypto: AES-128-CMAC (RFC 4493) and
// AES-128-GMAC (GCM over an empty plaintext, the message as additional data).
#include "security/libcrypto_algs.h"
#include "security/qv2_smb3_crypto.h"

#include "dirir2i.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <climits>

namespace {

int check_parts(const qv2_span *parts, int nparts) {
    if (nparts < 0 || (nparts > 0 && !parts))
        return qv2_fail(DIRIR2I_EARG, "a MAC needs its message pieces");
    for (int i = 0; i < nparts; i++)
        if (parts[i].len > 0 && !parts[i].data)
            return qv2_fail(DIRIR2I_EARG, "a message piece has a length but no bytes");
    return DIRIR2I_OK;
}

// GCM takes its additional data as int-sized updates; a piece above that is
// fed in steps (any split gives the same tag).
int gcm_aad(EVP_CIPHER_CTX *ctx, const qv2_span &part) {
    const uint8_t *p = static_cast<const uint8_t *>(part.data);
    uint64_t left = part.len;
    while (left > 0) {
        int step = left > uint64_t(INT_MAX / 2) ? INT_MAX / 2 : int(left);
        int outl = 0;
        if (EVP_EncryptUpdate(ctx, nullptr, &outl, p, step) != 1) return -1;
        p += step;
        left -= uint64_t(step);
    }
    return 0;
}

} // namespace

int qv2_cmac_init(qv2_cmac_ctx *c, const uint8_t key[16]) {
    if (!c || !key) return qv2_fail(DIRIR2I_EARG, "CMAC needs a context and a key");
    const qv2_algs *a = qv2_algs_get();
    if (!a) return DIRIR2I_ESYS;
    qv2_cmac_free(c);
    c->mac = EVP_MAC_CTX_new(a->cmac);
    if (!c->mac) return qv2_libcrypto_fail("allocating a CMAC context");
    char cipher[] = "AES-128-CBC";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0),
                           OSSL_PARAM_construct_end()};
    if (EVP_MAC_init(c->mac, key, 16, params) != 1) {
        qv2_cmac_free(c);
        return qv2_libcrypto_fail("setting a CMAC key");
    }
    return DIRIR2I_OK;
}

int qv2_cmac_sign(qv2_cmac_ctx *c, const qv2_span *parts, int nparts, uint8_t mac[16]) {
    if (!c || !c->mac || !mac) return qv2_fail(DIRIR2I_EARG, "CMAC context not initialised");
    if (int rc = check_parts(parts, nparts)) return rc;
    // A null key restarts the MAC on the key schedule set by qv2_cmac_init.
    if (EVP_MAC_init(c->mac, nullptr, 0, nullptr) != 1)
        return qv2_libcrypto_fail("restarting a CMAC");
    for (int i = 0; i < nparts; i++)
        if (parts[i].len > 0 &&
            EVP_MAC_update(c->mac, static_cast<const uint8_t *>(parts[i].data), parts[i].len) != 1)
            return qv2_libcrypto_fail("computing a CMAC");
    size_t outl = 0;
    if (EVP_MAC_final(c->mac, mac, &outl, 16) != 1 || outl != 16)
        return qv2_libcrypto_fail("finishing a CMAC");
    return DIRIR2I_OK;
}

int qv2_cmac(const uint8_t key[16], const void *msg, uint64_t len, uint8_t mac[16]) {
    qv2_cmac_ctx c{};
    int rc = qv2_cmac_init(&c, key);
    if (rc == DIRIR2I_OK) {
        qv2_span part{msg, len};
        rc = qv2_cmac_sign(&c, &part, 1, mac);
    }
    qv2_cmac_free(&c);
    return rc;
}

void qv2_cmac_free(qv2_cmac_ctx *c) {
    if (!c) return;
    EVP_MAC_CTX_free(c->mac); // clears the key schedule before freeing it
    c->mac = nullptr;
}

int qv2_gmac_init(qv2_gmac_ctx *c, const uint8_t key[16]) {
    if (!c || !key) return qv2_fail(DIRIR2I_EARG, "GMAC needs a context and a key");
    const qv2_algs *a = qv2_algs_get();
    if (!a) return DIRIR2I_ESYS;
    qv2_gmac_free(c);
    c->gcm = EVP_CIPHER_CTX_new();
    if (!c->gcm) return qv2_libcrypto_fail("allocating a GMAC context");
    if (EVP_EncryptInit_ex2(c->gcm, a->aes128_gcm, key, nullptr, nullptr) != 1) {
        qv2_gmac_free(c);
        return qv2_libcrypto_fail("setting a GMAC key");
    }
    return DIRIR2I_OK;
}

int qv2_gmac_sign(qv2_gmac_ctx *c, const uint8_t nonce[12], const qv2_span *parts, int nparts,
                  uint8_t mac[16]) {
    if (!c || !c->gcm || !nonce || !mac)
        return qv2_fail(DIRIR2I_EARG, "GMAC context not initialised, or no nonce");
    if (int rc = check_parts(parts, nparts)) return rc;
    // 12 bytes is GCM's default IV length; a null key keeps the schedule.
    if (EVP_EncryptInit_ex2(c->gcm, nullptr, nullptr, nonce, nullptr) != 1)
        return qv2_libcrypto_fail("restarting a GMAC");
    for (int i = 0; i < nparts; i++)
        if (gcm_aad(c->gcm, parts[i]) != 0) return qv2_libcrypto_fail("computing a GMAC");
    int outl = 0;
    uint8_t none[16];
    if (EVP_EncryptFinal_ex(c->gcm, none, &outl) != 1 ||
        EVP_CIPHER_CTX_ctrl(c->gcm, EVP_CTRL_AEAD_GET_TAG, 16, mac) != 1)
        return qv2_libcrypto_fail("finishing a GMAC");
    return DIRIR2I_OK;
}

void qv2_gmac_free(qv2_gmac_ctx *c) {
    if (!c) return;
    EVP_CIPHER_CTX_free(c->gcm); // clears the key schedule before freeing it
    c->gcm = nullptr;
}
