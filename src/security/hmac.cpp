// HMAC (RFC 2104) over SHA-256 and over MD5, streaming and one-shot.
#include "security/crypto_internal.h"
#include "security/qv2_crypto.h"

#include <cstring>

namespace {

// The 64-byte key block: keys over 64 bytes are replaced by their digest
// (exactly 64 is used as it is), then zero-padded.
void key_block(const void *key, uint64_t keylen, uint8_t blk[64],
               void (*digest)(const void *, uint64_t, uint8_t *)) {
    memset(blk, 0, 64);
    if (keylen > 64)
        digest(key, keylen, blk);
    else if (keylen > 0)
        memcpy(blk, key, keylen);
}

void sha256_digest(const void *d, uint64_t n, uint8_t *out) {
    qv2_sha256(d, n, out);
}
void md5_digest(const void *d, uint64_t n, uint8_t *out) {
    qv2_md5(d, n, out);
}

} // namespace

void qv2_hmac256_init(qv2_hmac256_ctx *h, const void *key, uint64_t keylen) {
    uint8_t blk[64], ipad[64];
    key_block(key, keylen, blk, sha256_digest);
    for (int i = 0; i < 64; i++) {
        h->opad_key[i] = blk[i] ^ 0x5c;
        ipad[i] = blk[i] ^ 0x36;
    }
    qv2_sha256_init(&h->inner);
    qv2_sha256_update(&h->inner, ipad, 64);
    qv2_wipe(blk, sizeof blk);
    qv2_wipe(ipad, sizeof ipad);
}

void qv2_hmac256_update(qv2_hmac256_ctx *h, const void *data, uint64_t len) {
    qv2_sha256_update(&h->inner, data, len);
}

void qv2_hmac256_final(qv2_hmac256_ctx *h, uint8_t out[32]) {
    uint8_t inner[32];
    qv2_sha256_final(&h->inner, inner);
    qv2_sha256_init(&h->outer);
    qv2_sha256_update(&h->outer, h->opad_key, 64);
    qv2_sha256_update(&h->outer, inner, 32);
    qv2_sha256_final(&h->outer, out);
}

// The one-shots wipe their context: it holds the padded key.
void qv2_hmac256(const void *key, uint64_t keylen, const void *data, uint64_t len,
                 uint8_t out[32]) {
    qv2_hmac256_ctx h;
    qv2_hmac256_init(&h, key, keylen);
    qv2_hmac256_update(&h, data, len);
    qv2_hmac256_final(&h, out);
    qv2_wipe(&h, sizeof h);
}

void qv2_hmac256_pair(const void *key_a, uint64_t keylen_a, const void *data_a, uint64_t len_a,
                      uint8_t out_a[32], const void *key_b, uint64_t keylen_b,
                      const void *data_b, uint64_t len_b, uint8_t out_b[32]) {
    qv2_hmac256_ctx a, b;
    qv2_hmac256_init(&a, key_a, keylen_a);
    qv2_hmac256_init(&b, key_b, keylen_b);
    qv2_sha256_update_pair(&a.inner, data_a, len_a, &b.inner, data_b, len_b);
    qv2_hmac256_final(&a, out_a);
    qv2_hmac256_final(&b, out_b);
    qv2_wipe(&a, sizeof a);
    qv2_wipe(&b, sizeof b);
}

void qv2_hmacmd5_init(qv2_hmacmd5_ctx *h, const void *key, uint64_t keylen) {
    uint8_t blk[64], ipad[64];
    key_block(key, keylen, blk, md5_digest);
    for (int i = 0; i < 64; i++) {
        h->opad_key[i] = blk[i] ^ 0x5c;
        ipad[i] = blk[i] ^ 0x36;
    }
    qv2_md5_init(&h->inner);
    qv2_md5_update(&h->inner, ipad, 64);
    qv2_wipe(blk, sizeof blk);
    qv2_wipe(ipad, sizeof ipad);
}

void qv2_hmacmd5_update(qv2_hmacmd5_ctx *h, const void *data, uint64_t len) {
    qv2_md5_update(&h->inner, data, len);
}

void qv2_hmacmd5_final(qv2_hmacmd5_ctx *h, uint8_t out[16]) {
    uint8_t inner[16];
    qv2_md5_final(&h->inner, inner);
    qv2_md5_init(&h->outer);
    qv2_md5_update(&h->outer, h->opad_key, 64);
    qv2_md5_update(&h->outer, inner, 16);
    qv2_md5_final(&h->outer, out);
}

void qv2_hmacmd5(const void *key, uint64_t keylen, const void *data, uint64_t len,
                 uint8_t out[16]) {
    qv2_hmacmd5_ctx h;
    qv2_hmacmd5_init(&h, key, keylen);
    qv2_hmacmd5_update(&h, data, len);
    qv2_hmacmd5_final(&h, out);
    qv2_wipe(&h, sizeof h);
}
