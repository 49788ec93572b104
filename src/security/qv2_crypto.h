// Digests, MACs, RC4, the counter-mode KDF, secret wiping and the self-test.
// Written here, but for MD5 (libcrypto's, which bench_hmac shows faster):
// SHA-256 and HMAC-SHA256 are as fast as libcrypto's, and the pair path has
// no libcrypto counterpart. Nothing allocates or fails. The SMB 3 ciphers
// are in qv2_smb3_crypto.h.
#pragma once

#include "foundation/qv2_util.h" // qv2_wipe, qv2_ct_equal
#include "security/qv2_crypto_types.h"

void qv2_sha256_init(qv2_sha256_ctx *ctx);
void qv2_sha256_update(qv2_sha256_ctx *ctx, const void *data, uint64_t len);
void qv2_sha256_final(qv2_sha256_ctx *ctx, uint8_t out[32]);
void qv2_sha256(const void *data, uint64_t len, uint8_t out[32]);
// Updates two independent digests at once: the same result as
// qv2_sha256_update(a, ...) and qv2_sha256_update(b, ...), in less time where
// the compression can run two messages side by side. a and b must differ.
void qv2_sha256_update_pair(qv2_sha256_ctx *a, const void *data_a, uint64_t len_a,
                            qv2_sha256_ctx *b, const void *data_b, uint64_t len_b);

void qv2_hmac256_init(qv2_hmac256_ctx *h, const void *key, uint64_t keylen);
void qv2_hmac256_update(qv2_hmac256_ctx *h, const void *data, uint64_t len);
void qv2_hmac256_final(qv2_hmac256_ctx *h, uint8_t out[32]);
void qv2_hmac256(const void *key, uint64_t keylen, const void *data, uint64_t len,
                 uint8_t out[32]);
// Two one-shot MACs computed side by side (see qv2_sha256_update_pair): the
// same results as two qv2_hmac256 calls. Signing two replies costs less so.
void qv2_hmac256_pair(const void *key_a, uint64_t keylen_a, const void *data_a, uint64_t len_a,
                      uint8_t out_a[32], const void *key_b, uint64_t keylen_b,
                      const void *data_b, uint64_t len_b, uint8_t out_b[32]);

void qv2_md5(const void *data, uint64_t len, uint8_t out[16]);
void qv2_md4(const void *data, uint64_t len, uint8_t out[16]);

void qv2_hmacmd5_init(qv2_hmacmd5_ctx *h, const void *key, uint64_t keylen);
void qv2_hmacmd5_update(qv2_hmacmd5_ctx *h, const void *data, uint64_t len);
void qv2_hmacmd5_final(qv2_hmacmd5_ctx *h, uint8_t out[16]);
void qv2_hmacmd5(const void *key, uint64_t keylen, const void *data, uint64_t len,
                 uint8_t out[16]);

// keylen must be at least 1.
void qv2_rc4_init(qv2_rc4_state *st, const void *key, uint64_t keylen);
void qv2_rc4(qv2_rc4_state *st, void *buf, uint64_t len);

// SP 800-108 counter mode with HMAC-SHA256; L is fixed at 128 bits and the
// label's own terminator is the only separator. SMB 3's keys take a
// separator after the terminated label: qv2_smb3_kdf.
void qv2_kdf_ctr_hmacsha256(const void *key, uint64_t keylen, const char *label,
                            const void *context, uint64_t contextlen, uint8_t *out,
                            uint64_t outlen);


// 0 when every known-answer vector matches, else -1.
int qv2_selftest(void);
