// Shared between the crypto sources only: the MD5 streaming steps that
// HMAC-MD5 is built on. Nothing outside src/security includes this.
#pragma once

#include "security/qv2_crypto_types.h"

void qv2_md5_init(qv2_md5_ctx *ctx);
void qv2_md5_update(qv2_md5_ctx *ctx, const void *data, uint64_t len);
// Writes the digest; the context must be initialised again before reuse.
void qv2_md5_final(qv2_md5_ctx *ctx, uint8_t out[16]);
