// SHA-256 compression with the x86 SHA extensions (SHA256RNDS2, SHA256MSG1,
// SHA256MSG2), for one message or two side by side. Only the functions here
// are compiled for those instructions, through target attributes, so the
// rest of the build runs on any x86-64;
// qv2_sha256_x86_usable() says whether this CPU may call them.
#include "security/sha256_blocks.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>
#include <immintrin.h>
#include <utility>

#define SHA_TARGET __attribute__((target("sha,sse4.1")))
#define SHA_INLINE __attribute__((target("sha,sse4.1"), always_inline)) inline

namespace {

// CPUID bits: leaf 1 ECX, leaf 7 (sub-leaf 0) EBX.
constexpr unsigned kEcxSsse3 = 1u << 9;
constexpr unsigned kEcxSse41 = 1u << 19;
constexpr unsigned kEbxSha = 1u << 29;

// Rounds 4i..4i+3 of S independent messages. SHA256RNDS2 does two rounds
// on the working variables packed as ABEF and CDGH (A in the top lane) with
// W+K in the low 64 bits of its third operand, and returns the new ABEF; the
// old ABEF is then the new CDGH, so the two variables swap roles after every
// call.
//
// The schedule lives in m[s][4]: m[s][i % 4] holds W[4i..4i+3] when group i
// begins. Two groups ahead, SHA256MSG1 turns a slot into W[t-16] + s0(W[t-15])
// for the four words of group i+3; one group ahead, W[t-7] is added and
// SHA256MSG2 adds s1(W[t-2]), finishing group i+1.
//
// One message's rounds form a single chain of dependent SHA256RNDS2, which
// leaves the unit idle between them; a second message's chain fills those
// gaps. More than two run out of the sixteen registers these (SSE-only)
// instructions can use.
template <int S, int i>
SHA_INLINE void four_rounds(__m128i abef[S], __m128i cdgh[S], __m128i m[S][4]) {
    const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i *>(qv2_sha256_k) + i);
    __m128i wk[S];
    for (int s = 0; s < S; s++) {
        wk[s] = _mm_add_epi32(m[s][i % 4], k);
        cdgh[s] = _mm_sha256rnds2_epu32(cdgh[s], abef[s], wk[s]);
    }
    if constexpr (i >= 3 && i <= 14) {
        for (int s = 0; s < S; s++) {
            __m128i w7 = _mm_alignr_epi8(m[s][i % 4], m[s][(i + 3) % 4], 4); // W[4i-3..4i]
            m[s][(i + 1) % 4] =
                _mm_sha256msg2_epu32(_mm_add_epi32(m[s][(i + 1) % 4], w7), m[s][i % 4]);
        }
    }
    for (int s = 0; s < S; s++) {
        wk[s] = _mm_shuffle_epi32(wk[s], 0x0E); // the upper two W+K into the low lanes
        abef[s] = _mm_sha256rnds2_epu32(abef[s], cdgh[s], wk[s]);
    }
    if constexpr (i >= 1 && i <= 12) {
        for (int s = 0; s < S; s++)
            m[s][(i + 3) % 4] = _mm_sha256msg1_epu32(m[s][(i + 3) % 4], m[s][i % 4]);
    }
}

template <int S, int... i>
SHA_INLINE void sixty_four_rounds(__m128i abef[S], __m128i cdgh[S], __m128i m[S][4],
                                  std::integer_sequence<int, i...>) {
    (four_rounds<S, i>(abef, cdgh, m), ...);
}

// Compresses nblocks blocks of each of S messages into their states.
template <int S>
SHA_INLINE void compress(uint32_t *const state[S], const uint8_t *const blocks[S],
                         uint64_t nblocks) {
    // Big-endian words: reverse the bytes of each 32-bit lane.
    const __m128i bswap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i abef[S], cdgh[S];
    for (int s = 0; s < S; s++) {
        __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state[s])); // A B C D
        __m128i efgh = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state[s] + 4)); // E F G H
        __m128i badc = _mm_shuffle_epi32(abcd, 0xB1); // B A D C
        __m128i hgfe = _mm_shuffle_epi32(efgh, 0x1B); // H G F E
        abef[s] = _mm_alignr_epi8(badc, hgfe, 8);     // F E B A
        cdgh[s] = _mm_blend_epi16(hgfe, badc, 0xF0);  // H G D C
    }
    for (uint64_t at = 0; at < nblocks * 64; at += 64) {
        __m128i m[S][4], abef_in[S], cdgh_in[S];
        for (int s = 0; s < S; s++) {
            for (int k = 0; k < 4; k++)
                m[s][k] = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i *>(blocks[s] + at) + k), bswap);
            abef_in[s] = abef[s];
            cdgh_in[s] = cdgh[s];
        }
        sixty_four_rounds<S>(abef, cdgh, m, std::make_integer_sequence<int, 16>{});
        for (int s = 0; s < S; s++) {
            abef[s] = _mm_add_epi32(abef[s], abef_in[s]);
            cdgh[s] = _mm_add_epi32(cdgh[s], cdgh_in[s]);
        }
    }
    for (int s = 0; s < S; s++) {
        __m128i abef_r = _mm_shuffle_epi32(abef[s], 0x1B);  // A B E F
        __m128i ghcd = _mm_shuffle_epi32(cdgh[s], 0xB1);    // G H C D
        __m128i abcd = _mm_blend_epi16(abef_r, ghcd, 0xF0); // A B C D
        __m128i efgh = _mm_alignr_epi8(ghcd, abef_r, 8);    // E F G H
        _mm_storeu_si128(reinterpret_cast<__m128i *>(state[s]), abcd);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(state[s] + 4), efgh);
    }
}

} // namespace

SHA_TARGET void qv2_sha256_blocks_x86(uint32_t state[8], const uint8_t *blocks, uint64_t nblocks) {
    uint32_t *const states[1] = {state};
    const uint8_t *const inputs[1] = {blocks};
    compress<1>(states, inputs, nblocks);
}

SHA_TARGET void qv2_sha256_blocks2_x86(uint32_t state_a[8], const uint8_t *blocks_a,
                                       uint32_t state_b[8], const uint8_t *blocks_b,
                                       uint64_t nblocks) {
    uint32_t *const states[2] = {state_a, state_b};
    const uint8_t *const inputs[2] = {blocks_a, blocks_b};
    compress<2>(states, inputs, nblocks);
}

int qv2_sha256_x86_usable(void) {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
    if ((c & kEcxSsse3) == 0 || (c & kEcxSse41) == 0) return 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return 0;
    return (b & kEbxSha) != 0;
}

#else // not x86: the portable code is all there is

int qv2_sha256_x86_usable(void) {
    return 0;
}

void qv2_sha256_blocks_x86(uint32_t state[8], const uint8_t *blocks, uint64_t nblocks) {
    qv2_sha256_blocks_portable(state, blocks, nblocks);
}

void qv2_sha256_blocks2_x86(uint32_t state_a[8], const uint8_t *blocks_a, uint32_t state_b[8],
                            const uint8_t *blocks_b, uint64_t nblocks) {
    qv2_sha256_blocks2_portable(state_a, blocks_a, state_b, blocks_b, nblocks);
}

#endif
