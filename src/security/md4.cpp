// MD4 (RFC 1320), one-shot: the NT hash of a password. libcrypto 3 keeps
// MD4 in its legacy provider only, which may not be loaded; so it is ours.
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
