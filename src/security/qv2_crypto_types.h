// Context records of the digests, MACs and RC4. Callers keep them on the stack.
#pragma once

#include <cstdint>

struct qv2_sha256_ctx {
    uint32_t state[8];
    uint64_t total; // bytes fed since init
    uint8_t block[64];
    uint64_t fill; // bytes in block, 0..63 between calls
};

struct qv2_hmac256_ctx {
    qv2_sha256_ctx inner;
    qv2_sha256_ctx outer;
    uint8_t opad_key[64];
};

// Only used inside HMAC-MD5 and the NTLM keys: room for libcrypto's MD5
// state (md5.cpp checks that it fits), so the context needs no allocation.
struct qv2_md5_ctx {
    alignas(8) uint8_t state[96];
};

struct qv2_hmacmd5_ctx {
    uint8_t opad_key[64];
    qv2_md5_ctx inner;
    qv2_md5_ctx outer;
};

struct qv2_rc4_state {
    uint8_t S[256];
    uint8_t i;
    uint8_t j;
};
