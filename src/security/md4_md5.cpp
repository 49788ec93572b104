// MD4 (RFC 1320) and MD5 (RFC 1321): one-shot digests, plus the MD5
// streaming steps HMAC-MD5 needs.
#include "security/crypto_internal.h"
#include "security/qv2_crypto.h"

#include <cstring>

namespace {

const uint32_t kInit[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

inline uint32_t rol(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t le32(const uint8_t *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void md4_block(uint32_t st[4], const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; i++)
        x[i] = le32(block + 4 * i);
    uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
    auto F = [](uint32_t p, uint32_t q, uint32_t s) { return (p & q) | (~p & s); };
    auto G = [](uint32_t p, uint32_t q, uint32_t s) { return (p & q) | (p & s) | (q & s); };
    auto H = [](uint32_t p, uint32_t q, uint32_t s) { return p ^ q ^ s; };
    static const int s1[4] = {3, 7, 11, 19}, s2[4] = {3, 5, 9, 13}, s3[4] = {3, 9, 11, 15};
    static const int order3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    uint32_t *r[4] = {&a, &d, &c, &b}; // registers rotate a, d, c, b through the steps
    for (int i = 0; i < 16; i++) {
        uint32_t &v = *r[i & 3], w = *r[(i + 1) & 3], y = *r[(i + 2) & 3], z = *r[(i + 3) & 3];
        v = rol(v + F(z, y, w) + x[i], s1[i & 3]);
    }
    for (int i = 0; i < 16; i++) {
        int k = (i & 3) * 4 + (i >> 2); // 0, 4, 8, 12, 1, 5, ...
        uint32_t &v = *r[i & 3], w = *r[(i + 1) & 3], y = *r[(i + 2) & 3], z = *r[(i + 3) & 3];
        v = rol(v + G(z, y, w) + x[k] + 0x5a827999, s2[i & 3]);
    }
    for (int i = 0; i < 16; i++) {
        uint32_t &v = *r[i & 3], w = *r[(i + 1) & 3], y = *r[(i + 2) & 3], z = *r[(i + 3) & 3];
        v = rol(v + H(z, y, w) + x[order3[i]] + 0x6ed9eba1, s3[i & 3]);
    }
    st[0] += a;
    st[1] += b;
    st[2] += c;
    st[3] += d;
}

// T[i] = floor(2^32 * |sin(i + 1)|), RFC 1321 section 3.4.
const uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
const int kS[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

void md5_block(uint32_t st[4], const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; i++)
        x[i] = le32(block + 4 * i);
    uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
    for (int i = 0; i < 64; i++) {
        uint32_t f;
        int k;
        switch (i >> 4) {
        case 0:
            f = (b & c) | (~b & d);
            k = i;
            break;
        case 1:
            f = (b & d) | (c & ~d);
            k = (5 * i + 1) & 15;
            break;
        case 2:
            f = b ^ c ^ d;
            k = (3 * i + 5) & 15;
            break;
        default:
            f = c ^ (b | ~d);
            k = (7 * i) & 15;
            break;
        }
        uint32_t t = d;
        d = c;
        c = b;
        b = b + rol(a + f + kT[i] + x[k], kS[i >> 4][i & 3]);
        a = t;
    }
    st[0] += a;
    st[1] += b;
    st[2] += c;
    st[3] += d;
}

void put_state(const uint32_t st[4], uint8_t out[16]) {
    for (int i = 0; i < 4; i++)
        for (int k = 0; k < 4; k++)
            out[4 * i + k] = uint8_t(st[i] >> (8 * k));
}

// Whole blocks straight from the input, then the standard padding: 0x80,
// zeros to 56 mod 64 (a second block when 56 or more bytes remain) and the
// bit length little-endian. The tail area may hold password bytes (the NT
// hash), so it is wiped.
void md_oneshot(void (*block)(uint32_t *, const uint8_t *), const void *data, uint64_t len,
                uint8_t out[16]) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint32_t st[4] = {kInit[0], kInit[1], kInit[2], kInit[3]};
    uint64_t whole = len & ~uint64_t(63);
    for (uint64_t off = 0; off < whole; off += 64)
        block(st, p + off);
    uint64_t rest = len - whole;
    uint8_t tail[128] = {0};
    if (rest > 0) memcpy(tail, p + whole, rest);
    tail[rest] = 0x80;
    uint64_t tlen = rest < 56 ? 64 : 128;
    uint64_t bits = len * 8;
    for (int i = 0; i < 8; i++)
        tail[tlen - 8 + i] = uint8_t(bits >> (8 * i));
    block(st, tail);
    if (tlen == 128) block(st, tail + 64);
    put_state(st, out);
    qv2_wipe(tail, sizeof tail);
    qv2_wipe(st, sizeof st);
}

} // namespace

void qv2_md4(const void *data, uint64_t len, uint8_t out[16]) {
    md_oneshot(md4_block, data, len, out);
}

void qv2_md5(const void *data, uint64_t len, uint8_t out[16]) {
    md_oneshot(md5_block, data, len, out);
}

void qv2_md5_init(qv2_md5_ctx *ctx) {
    memcpy(ctx->state, kInit, sizeof kInit);
    ctx->total = 0;
    ctx->fill = 0;
}

void qv2_md5_update(qv2_md5_ctx *ctx, const void *data, uint64_t len) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    ctx->total += len;
    while (len > 0) {
        if (ctx->fill == 0 && len >= 64) {
            md5_block(ctx->state, p);
            p += 64;
            len -= 64;
            continue;
        }
        uint64_t take = 64 - ctx->fill < len ? 64 - ctx->fill : len;
        memcpy(ctx->block + ctx->fill, p, take);
        ctx->fill += take;
        p += take;
        len -= take;
        if (ctx->fill == 64) {
            md5_block(ctx->state, ctx->block);
            ctx->fill = 0;
        }
    }
}

void qv2_md5_final(qv2_md5_ctx *ctx, uint8_t out[16]) {
    uint64_t bits = ctx->total * 8;
    static const uint8_t pad[64] = {0x80};
    qv2_md5_update(ctx, pad, ctx->fill < 56 ? 56 - ctx->fill : 120 - ctx->fill);
    uint8_t lenbytes[8];
    for (int i = 0; i < 8; i++)
        lenbytes[i] = uint8_t(bits >> (8 * i));
    qv2_md5_update(ctx, lenbytes, 8);
    put_state(ctx->state, out);
}
