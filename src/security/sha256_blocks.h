// The SHA-256 compression step in its two forms (portable, and the x86 SHA
// extensions) and the choice between them. Shared by the SHA-256 sources,
// their tests and the benchmarks; the digests themselves are in qv2_crypto.h.
#pragma once

#include <cstdint>

// The 64 round constants of FIPS 180-4, aligned for 16-byte vector loads.
alignas(16) extern const uint32_t qv2_sha256_k[64];

// Compresses nblocks consecutive 64-byte blocks into state (H0..H7).
using qv2_sha256_blocks_fn = void (*)(uint32_t state[8], const uint8_t *blocks, uint64_t nblocks);

void qv2_sha256_blocks_portable(uint32_t state[8], const uint8_t *blocks, uint64_t nblocks);
// The same result with the SHA extensions. Only call it when
// qv2_sha256_x86_usable() is 1: elsewhere it is an illegal instruction.
void qv2_sha256_blocks_x86(uint32_t state[8], const uint8_t *blocks, uint64_t nblocks);
// Two independent messages compressed side by side, nblocks blocks of each:
// the same states as one call per message. With the SHA extensions the two
// take about 0.8 of the time they take one after the other.
using qv2_sha256_blocks2_fn = void (*)(uint32_t state_a[8], const uint8_t *blocks_a,
                                       uint32_t state_b[8], const uint8_t *blocks_b,
                                       uint64_t nblocks);
void qv2_sha256_blocks2_portable(uint32_t state_a[8], const uint8_t *blocks_a,
                                 uint32_t state_b[8], const uint8_t *blocks_b, uint64_t nblocks);
// Only where qv2_sha256_x86_usable() is 1, as above.
void qv2_sha256_blocks2_x86(uint32_t state_a[8], const uint8_t *blocks_a, uint32_t state_b[8],
                            const uint8_t *blocks_b, uint64_t nblocks);
// 1 when this build targets x86 and the CPU has the SHA extensions and the
// SSSE3 and SSE4.1 instructions used with them (asks CPUID each time).
int qv2_sha256_x86_usable(void);

enum : int {
    QV2_SHA256_AUTO = 0,     // the SHA extensions where the CPU has them
    QV2_SHA256_PORTABLE = 1, // always the portable code
    QV2_SHA256_X86 = 2,      // the SHA extensions
};
// Picks the compression every later digest uses (the default is AUTO,
// decided once on first use). For tests and benchmarks: call it before other
// threads hash. 0, or -1 when X86 is asked for where it can't run (the choice
// is then unchanged).
int qv2_sha256_select(int which);
// The compression the digests use now, and its two-message form.
qv2_sha256_blocks_fn qv2_sha256_blocks(void);
qv2_sha256_blocks2_fn qv2_sha256_blocks2(void);
