// MD5 (RFC 1321) on libcrypto: the one-shot digest and the streaming steps
// HMAC-MD5 and the NTLM keys need. libcrypto's is faster than the one this
// file used to hold (bench_hmac). Its MD5_* interface, deprecated since 3.0
// but present in every 3.x, is the one that needs no allocation: contexts
// stay on the caller's stack and nothing can fail.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "security/crypto_internal.h"
#include "security/qv2_crypto.h"

#include <openssl/md5.h>

#include <new>

static_assert(sizeof(MD5_CTX) <= sizeof(qv2_md5_ctx::state) && alignof(MD5_CTX) <= 8,
              "qv2_md5_ctx must hold libcrypto's MD5 state");

namespace {

MD5_CTX *md5_of(qv2_md5_ctx *ctx) {
    return std::launder(reinterpret_cast<MD5_CTX *>(ctx->state));
}

} // namespace

void qv2_md5(const void *data, uint64_t len, uint8_t out[16]) {
    MD5(static_cast<const uint8_t *>(data), size_t(len), out);
}

void qv2_md5_init(qv2_md5_ctx *ctx) {
    MD5_Init(new (ctx->state) MD5_CTX);
}

void qv2_md5_update(qv2_md5_ctx *ctx, const void *data, uint64_t len) {
    MD5_Update(md5_of(ctx), data, size_t(len));
}

void qv2_md5_final(qv2_md5_ctx *ctx, uint8_t out[16]) {
    MD5_Final(out, md5_of(ctx));
}
