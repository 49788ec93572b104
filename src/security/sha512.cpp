// SHA-512 on libcrypto, one-shot and incremental, and the SMB 3.1.1 preauth
// integrity chain built on it.
#include "security/libcrypto_algs.h"
#include "security/qv2_smb3_crypto.h"

#include "dirir2i.h"

#include <openssl/evp.h>

#include <cstring>

int qv2_sha512(const void *data, uint64_t len, uint8_t out[64]) {
    if ((len > 0 && !data) || !out) return qv2_fail(DIRIR2I_EARG, "SHA-512 needs its input");
    qv2_sha512_ctx c{};
    int rc = qv2_sha512_init(&c);
    if (rc == DIRIR2I_OK) rc = qv2_sha512_update(&c, data, len);
    if (rc == DIRIR2I_OK) rc = qv2_sha512_final(&c, out);
    qv2_sha512_free(&c);
    return rc;
}

int qv2_sha512_init(qv2_sha512_ctx *c) {
    if (!c) return qv2_fail(DIRIR2I_EARG, "SHA-512 needs a context");
    const qv2_algs *a = qv2_algs_get();
    if (!a) return DIRIR2I_ESYS;
    if (!c->md) c->md = EVP_MD_CTX_new();
    if (!c->md) return qv2_libcrypto_fail("allocating a digest context");
    if (EVP_DigestInit_ex2(c->md, a->sha512, nullptr) != 1)
        return qv2_libcrypto_fail("starting SHA-512");
    return DIRIR2I_OK;
}

int qv2_sha512_update(qv2_sha512_ctx *c, const void *data, uint64_t len) {
    if (!c || !c->md || (len > 0 && !data))
        return qv2_fail(DIRIR2I_EARG, "SHA-512 context not started, or no input");
    if (len > 0 && EVP_DigestUpdate(c->md, data, len) != 1)
        return qv2_libcrypto_fail("hashing with SHA-512");
    return DIRIR2I_OK;
}

int qv2_sha512_final(qv2_sha512_ctx *c, uint8_t out[64]) {
    if (!c || !c->md || !out) return qv2_fail(DIRIR2I_EARG, "SHA-512 context not started");
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(c->md, out, &n) != 1 || n != 64)
        return qv2_libcrypto_fail("finishing SHA-512");
    return DIRIR2I_OK;
}

void qv2_sha512_free(qv2_sha512_ctx *c) {
    if (!c) return;
    EVP_MD_CTX_free(c->md);
    c->md = nullptr;
}

int qv2_preauth_hash_step(uint8_t hash[64], const void *msg, uint64_t len) {
    if (!hash) return qv2_fail(DIRIR2I_EARG, "the preauth hash step needs the current value");
    qv2_sha512_ctx c{};
    int rc = qv2_sha512_init(&c);
    if (rc == DIRIR2I_OK) rc = qv2_sha512_update(&c, hash, 64);
    if (rc == DIRIR2I_OK) rc = qv2_sha512_update(&c, msg, len);
    uint8_t next[64];
    if (rc == DIRIR2I_OK) rc = qv2_sha512_final(&c, next);
    qv2_sha512_free(&c);
    // The value is replaced only when the whole step worked: a failure
    // leaves the chain where it was.
    if (rc == DIRIR2I_OK) memcpy(hash, next, 64);
    return rc;
}
