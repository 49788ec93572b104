// The TRANSFORM_HEADER's AEAD ciphers on libcrypto: AES-128/256-CCM with an
// 11-byte nonce and AES-128/256-GCM with a 12-byte one, 16-byte tags,
// encrypting and decrypting in place.
#include "security/libcrypto_algs.h"
#include "security/qv2_smb3_crypto.h"

#include "dirir2i.h"

#include <openssl/err.h>
#include <openssl/evp.h>

namespace {

bool is_ccm(uint16_t cipher) {
    return cipher == QV2_CIPHER_AES128_CCM || cipher == QV2_CIPHER_AES256_CCM;
}

const EVP_CIPHER *evp_of(const qv2_algs *a, uint16_t cipher) {
    switch (cipher) {
    case QV2_CIPHER_AES128_CCM:
        return a->aes128_ccm;
    case QV2_CIPHER_AES128_GCM:
        return a->aes128_gcm;
    case QV2_CIPHER_AES256_CCM:
        return a->aes256_ccm;
    case QV2_CIPHER_AES256_GCM:
        return a->aes256_gcm;
    default:
        return nullptr;
    }
}

int check_message(const qv2_aead_ctx *c, uint8_t direction, const uint8_t *nonce, int nonce_len,
                  const void *aad, uint64_t aad_len, const uint8_t *buf, uint64_t len,
                  const uint8_t *tag) {
    if (!c || !c->evp) return qv2_fail(DIRIR2I_EARG, "AEAD context not initialised");
    if (c->direction != direction)
        return qv2_fail(DIRIR2I_EARG, "AEAD context keyed to %s", c->direction ? "seal" : "open");
    if (!nonce || nonce_len != qv2_aead_nonce_len(c->cipher))
        return qv2_fail(DIRIR2I_EARG, "cipher %u takes a %d-byte nonce, not %d", c->cipher,
                        qv2_aead_nonce_len(c->cipher), nonce_len);
    if (aad_len > QV2_AEAD_MAX_LEN || len > QV2_AEAD_MAX_LEN)
        return qv2_fail(DIRIR2I_EARG, "an encrypted message is at most %llu bytes",
                        (unsigned long long)QV2_AEAD_MAX_LEN);
    if ((aad_len > 0 && !aad) || !buf || !tag)
        return qv2_fail(DIRIR2I_EARG, "a message, its additional data or its tag is missing");
    // Every SMB2 message has at least its header; CCM would authenticate an
    // empty one only through a different libcrypto path.
    if (len == 0) return qv2_fail(DIRIR2I_EARG, "an encrypted message is never empty");
    return DIRIR2I_OK;
}

// Restarts the cipher for one message in direction `enc` and feeds the
// lengths and additional data. CCM must know the message length before the
// additional data, and, when decrypting, the tag before the ciphertext.
int start(qv2_aead_ctx *c, int enc, const uint8_t *nonce, const void *aad, uint64_t aad_len,
          uint64_t len, const uint8_t *tag) {
    int outl = 0;
    if (EVP_CipherInit_ex2(c->evp, nullptr, nullptr, nonce, enc, nullptr) != 1) return -1;
    if (is_ccm(c->cipher)) {
        if (!enc &&
            EVP_CIPHER_CTX_ctrl(c->evp, EVP_CTRL_AEAD_SET_TAG, 16, const_cast<uint8_t *>(tag)) != 1)
            return -1;
        if (EVP_CipherUpdate(c->evp, nullptr, &outl, nullptr, int(len)) != 1) return -1;
    }
    if (aad_len > 0 && EVP_CipherUpdate(c->evp, nullptr, &outl, static_cast<const uint8_t *>(aad),
                                        int(aad_len)) != 1)
        return -1;
    return 0;
}

} // namespace

int qv2_aead_key_len(uint16_t cipher) {
    switch (cipher) {
    case QV2_CIPHER_AES128_CCM:
    case QV2_CIPHER_AES128_GCM:
        return 16;
    case QV2_CIPHER_AES256_CCM:
    case QV2_CIPHER_AES256_GCM:
        return 32;
    default:
        return 0;
    }
}

int qv2_aead_nonce_len(uint16_t cipher) {
    if (qv2_aead_key_len(cipher) == 0) return 0;
    return is_ccm(cipher) ? QV2_CCM_NONCE_LEN : QV2_GCM_NONCE_LEN;
}

int qv2_aead_init(qv2_aead_ctx *c, uint16_t cipher, uint8_t direction, const uint8_t *key,
                  uint64_t keylen) {
    if (!c || !key || direction > QV2_AEAD_SEAL)
        return qv2_fail(DIRIR2I_EARG, "AEAD needs a context, a direction and a key");
    int want = qv2_aead_key_len(cipher);
    if (want == 0) return qv2_fail(DIRIR2I_EARG, "unknown cipher id %u", cipher);
    if (keylen != uint64_t(want))
        return qv2_fail(DIRIR2I_EARG, "cipher %u takes a %d-byte key, not %llu", cipher, want,
                        (unsigned long long)keylen);
    const qv2_algs *a = qv2_algs_get();
    if (!a) return DIRIR2I_ESYS;
    qv2_aead_free(c);
    c->cipher = cipher;
    c->direction = direction;
    c->evp = EVP_CIPHER_CTX_new();
    if (!c->evp) return qv2_libcrypto_fail("allocating a cipher context");
    // The nonce and tag lengths come before the key: CCM folds both into
    // its first block.
    int enc = direction == QV2_AEAD_SEAL;
    bool ok =
        EVP_CipherInit_ex2(c->evp, evp_of(a, cipher), nullptr, nullptr, enc, nullptr) == 1 &&
        EVP_CIPHER_CTX_ctrl(c->evp, EVP_CTRL_AEAD_SET_IVLEN, qv2_aead_nonce_len(cipher), nullptr) ==
            1 &&
        (!is_ccm(cipher) || EVP_CIPHER_CTX_ctrl(c->evp, EVP_CTRL_AEAD_SET_TAG, 16, nullptr) == 1) &&
        EVP_CipherInit_ex2(c->evp, nullptr, key, nullptr, enc, nullptr) == 1;
    if (!ok) {
        qv2_aead_free(c);
        return qv2_libcrypto_fail("setting up an AEAD key");
    }
    return DIRIR2I_OK;
}

int qv2_aead_seal(qv2_aead_ctx *c, const uint8_t *nonce, int nonce_len, const void *aad,
                  uint64_t aad_len, uint8_t *buf, uint64_t len, uint8_t tag[16]) {
    int rc = check_message(c, QV2_AEAD_SEAL, nonce, nonce_len, aad, aad_len, buf, len, tag);
    int outl = 0, fin = 0;
    if (rc == DIRIR2I_OK && (start(c, 1, nonce, aad, aad_len, len, nullptr) != 0 ||
                             EVP_CipherUpdate(c->evp, buf, &outl, buf, int(len)) != 1 ||
                             EVP_CipherFinal_ex(c->evp, buf + outl, &fin) != 1 ||
                             EVP_CIPHER_CTX_ctrl(c->evp, EVP_CTRL_AEAD_GET_TAG, 16, tag) != 1))
        rc = qv2_libcrypto_fail("sealing a message");
    if (rc != DIRIR2I_OK && buf) qv2_wipe(buf, len);
    return rc;
}

int qv2_aead_open(qv2_aead_ctx *c, const uint8_t *nonce, int nonce_len, const void *aad,
                  uint64_t aad_len, uint8_t *buf, uint64_t len, const uint8_t tag[16]) {
    int rc = check_message(c, QV2_AEAD_OPEN, nonce, nonce_len, aad, aad_len, buf, len, tag);
    if (rc != DIRIR2I_OK) {
        if (buf) qv2_wipe(buf, len);
        return rc;
    }
    int outl = 0, fin = 0;
    if (start(c, 0, nonce, aad, aad_len, len, tag) != 0) {
        qv2_wipe(buf, len);
        return qv2_libcrypto_fail("opening a message");
    }
    // CCM checks the tag inside the update, GCM in the final step; both
    // compare in constant time. Either way a mismatch is the peer's fault,
    // not libcrypto's.
    bool ok = EVP_CipherUpdate(c->evp, buf, &outl, buf, int(len)) == 1;
    if (ok && !is_ccm(c->cipher))
        ok = EVP_CIPHER_CTX_ctrl(c->evp, EVP_CTRL_AEAD_SET_TAG, 16, const_cast<uint8_t *>(tag)) ==
                 1 &&
             EVP_CipherFinal_ex(c->evp, buf + outl, &fin) == 1;
    if (!ok) {
        qv2_wipe(buf, len);
        ERR_clear_error();
        return qv2_fail(DIRIR2I_EARG, "message does not authenticate");
    }
    return DIRIR2I_OK;
}

void qv2_aead_free(qv2_aead_ctx *c) {
    if (!c) return;
    EVP_CIPHER_CTX_free(c->evp); // clears the key schedule before freeing it
    c->evp = nullptr;
    c->cipher = 0;
    c->direction = 0;
}
