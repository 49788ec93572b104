// Secret wiping and constant-time comparison: what every layer that holds a
// password, hash or key uses before letting go of it.
#include "foundation/qv2_util.h"

void (*wipe_hook)(void *buf, uint64_t len) = nullptr;

void qv2_wipe(void *buf, uint64_t len) {
    if (wipe_hook) {
        wipe_hook(buf, len);
        return;
    }
    // Volatile stores: the compiler may not drop them even when the buffer
    // is a local about to go out of scope.
    volatile uint8_t *p = static_cast<volatile uint8_t *>(buf);
    for (uint64_t i = 0; i < len; i++)
        p[i] = 0;
}

int qv2_ct_equal(const void *a, const void *b, uint64_t len) {
    const uint8_t *x = static_cast<const uint8_t *>(a);
    const uint8_t *y = static_cast<const uint8_t *>(b);
    // Volatile accumulator: keeps the compiler from turning the loop into
    // one that stops at the first difference.
    volatile uint8_t acc = 0;
    for (uint64_t i = 0; i < len; i++)
        acc = uint8_t(acc | (x[i] ^ y[i]));
    return acc == 0 ? 1 : 0;
}
