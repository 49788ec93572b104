// SHA-256 (FIPS 180-4), streaming and one-shot, and the choice of the
// compression step (portable here, the SHA extensions in sha256_x86.cpp).
#include "security/qv2_crypto.h"
#include "security/sha256_blocks.h"

#include <atomic>
#include <cstring>

alignas(16) const uint32_t qv2_sha256_k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

namespace {

const uint32_t H256[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t ror(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

inline uint32_t be32(const uint8_t *p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Picked on first use; every choice gives the same digests, so threads that
// race on the first pick store the same answer.
std::atomic<qv2_sha256_blocks_fn> chosen{nullptr};

qv2_sha256_blocks_fn pick(int which) {
    if (which == QV2_SHA256_PORTABLE) return qv2_sha256_blocks_portable;
    return qv2_sha256_x86_usable() ? qv2_sha256_blocks_x86 : qv2_sha256_blocks_portable;
}

// Feeds a part-filled block from the input until it is compressed (or the
// input runs out), advancing the input over what it took.
void complete_block(qv2_sha256_ctx *ctx, const uint8_t *&p, uint64_t &len) {
    if (ctx->fill == 0) return;
    uint64_t take = 64 - ctx->fill < len ? 64 - ctx->fill : len;
    qv2_sha256_update(ctx, p, take);
    p += take;
    len -= take;
}

} // namespace

void qv2_sha256_blocks_portable(uint32_t state[8], const uint8_t *blocks, uint64_t nblocks) {
    for (; nblocks > 0; nblocks--, blocks += 64) {
        uint32_t w[64];
        for (int t = 0; t < 16; t++)
            w[t] = be32(blocks + 4 * t);
        for (int t = 16; t < 64; t++) {
            uint32_t s0 = ror(w[t - 15], 7) ^ ror(w[t - 15], 18) ^ (w[t - 15] >> 3);
            uint32_t s1 = ror(w[t - 2], 17) ^ ror(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; t++) {
            uint32_t t1 = h + (ror(e, 6) ^ ror(e, 11) ^ ror(e, 25)) + ((e & f) ^ (~e & g)) +
                          qv2_sha256_k[t] + w[t];
            uint32_t t2 = (ror(a, 2) ^ ror(a, 13) ^ ror(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

void qv2_sha256_blocks2_portable(uint32_t state_a[8], const uint8_t *blocks_a,
                                 uint32_t state_b[8], const uint8_t *blocks_b, uint64_t nblocks) {
    qv2_sha256_blocks_portable(state_a, blocks_a, nblocks);
    qv2_sha256_blocks_portable(state_b, blocks_b, nblocks);
}

int qv2_sha256_select(int which) {
    if (which != QV2_SHA256_AUTO && which != QV2_SHA256_PORTABLE && which != QV2_SHA256_X86)
        return -1;
    if (which == QV2_SHA256_X86 && !qv2_sha256_x86_usable()) return -1;
    chosen.store(pick(which), std::memory_order_relaxed);
    return 0;
}

qv2_sha256_blocks_fn qv2_sha256_blocks(void) {
    qv2_sha256_blocks_fn f = chosen.load(std::memory_order_relaxed);
    if (f) return f;
    qv2_sha256_blocks_fn auto_pick = pick(QV2_SHA256_AUTO);
    // A choice made meanwhile by qv2_sha256_select stands.
    if (chosen.compare_exchange_strong(f, auto_pick, std::memory_order_relaxed)) return auto_pick;
    return f;
}

qv2_sha256_blocks2_fn qv2_sha256_blocks2(void) {
    return qv2_sha256_blocks() == qv2_sha256_blocks_x86 ? qv2_sha256_blocks2_x86
                                                        : qv2_sha256_blocks2_portable;
}

void qv2_sha256_init(qv2_sha256_ctx *ctx) {
    memcpy(ctx->state, H256, sizeof H256);
    ctx->total = 0;
    ctx->fill = 0;
}

void qv2_sha256_update(qv2_sha256_ctx *ctx, const void *data, uint64_t len) {
    if (len == 0) return; // data may then be null, which memcpy must never see
    const uint8_t *p = static_cast<const uint8_t *>(data);
    ctx->total += len;
    if (ctx->fill > 0) {
        uint64_t take = 64 - ctx->fill < len ? 64 - ctx->fill : len;
        memcpy(ctx->block + ctx->fill, p, take);
        ctx->fill += take;
        p += take;
        len -= take;
        if (ctx->fill < 64) return;
        qv2_sha256_blocks()(ctx->state, ctx->block, 1);
        ctx->fill = 0;
    }
    // Whole blocks straight from the input: same result as copying them
    // through `block` one by one, without the copy.
    if (len >= 64) {
        qv2_sha256_blocks()(ctx->state, p, len / 64);
        p += len & ~uint64_t(63);
        len &= 63;
    }
    if (len > 0) {
        memcpy(ctx->block, p, len);
        ctx->fill = len;
    }
}

void qv2_sha256_update_pair(qv2_sha256_ctx *a, const void *data_a, uint64_t len_a,
                            qv2_sha256_ctx *b, const void *data_b, uint64_t len_b) {
    const uint8_t *pa = static_cast<const uint8_t *>(data_a);
    const uint8_t *pb = static_cast<const uint8_t *>(data_b);
    // Part-filled blocks are completed one message at a time; after that both
    // compress straight from their inputs, side by side for the blocks they
    // both have, and the longer one finishes alone.
    complete_block(a, pa, len_a);
    complete_block(b, pb, len_b);
    if (a->fill == 0 && b->fill == 0) {
        uint64_t n = len_a / 64 < len_b / 64 ? len_a / 64 : len_b / 64;
        if (n > 0) {
            qv2_sha256_blocks2()(a->state, pa, b->state, pb, n);
            a->total += 64 * n;
            b->total += 64 * n;
            pa += 64 * n;
            pb += 64 * n;
            len_a -= 64 * n;
            len_b -= 64 * n;
        }
    }
    qv2_sha256_update(a, pa, len_a);
    qv2_sha256_update(b, pb, len_b);
}

void qv2_sha256_final(qv2_sha256_ctx *ctx, uint8_t out[32]) {
    uint64_t bits = ctx->total * 8;
    static const uint8_t zeros[64] = {0x80};
    uint64_t pad = ctx->fill < 56 ? 56 - ctx->fill : 120 - ctx->fill;
    qv2_sha256_update(ctx, zeros, pad); // 0x80 then zeros up to 56 mod 64
    uint8_t lenbytes[8];
    for (int i = 0; i < 8; i++)
        lenbytes[i] = uint8_t(bits >> (56 - 8 * i));
    qv2_sha256_update(ctx, lenbytes, 8);
    for (int i = 0; i < 8; i++) {
        out[4 * i] = uint8_t(ctx->state[i] >> 24);
        out[4 * i + 1] = uint8_t(ctx->state[i] >> 16);
        out[4 * i + 2] = uint8_t(ctx->state[i] >> 8);
        out[4 * i + 3] = uint8_t(ctx->state[i]);
    }
}

void qv2_sha256(const void *data, uint64_t len, uint8_t out[32]) {
    qv2_sha256_ctx ctx;
    qv2_sha256_init(&ctx);
    qv2_sha256_update(&ctx, data, len);
    qv2_sha256_final(&ctx, out);
}
