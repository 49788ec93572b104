// The process-wide error slot and the growable byte buffer.
#include "foundation/qv2_util.h"

#include "dirir2i.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr size_t kErrSize = 512;

// One slot for the whole process. Writers format outside the lock and copy
// the finished text in under it; byte 511 is never written, so a reader that
// races a writer still finds a terminator inside the slot.
char g_err[kErrSize];
std::mutex g_err_lock;

void store_error(const char *fmt, va_list ap) {
    char text[kErrSize];
    int n = vsnprintf(text, sizeof text, fmt, ap);
    if (n < 0) text[0] = 0;
    std::lock_guard<std::mutex> guard(g_err_lock);
    memcpy(g_err, text, strlen(text) + 1);
}

constexpr uint64_t kGrowLimit = 1ULL << 31; // a value above this is never doubled

} // namespace

void qv2_set_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    store_error(fmt, ap);
    va_end(ap);
}

int qv2_fail(int code, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    store_error(fmt, ap);
    va_end(ap);
    return code;
}

const char *qv2_error(void) { return g_err; }

extern "C" DIRIR2I_API const char *dirir2i_last_error(void) { return qv2_error(); }

int buf_reserve(qv2_buf *b, uint64_t n) {
    if (b->failed) return -1;
    // Anything this large can never fit under the 4 GiB ceiling; refusing it
    // here also keeps len + n + 1 from wrapping.
    if (n > (kGrowLimit << 1)) {
        b->failed = 1;
        return -1;
    }
    uint64_t need = b->len + n + 1;
    if (b->cap >= need) return 0;
    uint64_t cap;
    if (b->cap == 0) {
        cap = 256;
    } else {
        if (b->cap > kGrowLimit) {
            b->failed = 1;
            return -1;
        }
        cap = b->cap * 2;
    }
    while (cap < need) {
        if (cap > kGrowLimit) {
            b->failed = 1;
            return -1;
        }
        cap *= 2;
    }
    void *p = realloc(b->data, cap);
    if (!p) {
        b->failed = 1;
        return -1;
    }
    b->data = static_cast<uint8_t *>(p);
    b->cap = cap;
    return 0;
}

void qv2_buf_put(qv2_buf *b, const void *bytes, uint64_t n) {
    if (buf_reserve(b, n) != 0) return;
    if (n) memcpy(b->data + b->len, bytes, n);
    b->len += n;
    b->data[b->len] = 0;
}

void qv2_buf_str(qv2_buf *b, const char *text) { qv2_buf_put(b, text, strlen(text)); }

void qv2_buf_printf(qv2_buf *b, const char *fmt, ...) {
    char scratch[512];
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(scratch, sizeof scratch, fmt, ap);
    va_end(ap);
    if (n >= 0 && n <= 511) {
        qv2_buf_put(b, scratch, uint64_t(n));
    } else if (n > 511 && buf_reserve(b, uint64_t(n)) == 0) {
        // Too long for the scratch area: format a second time in place.
        vsnprintf(reinterpret_cast<char *>(b->data + b->len), size_t(n) + 1, fmt, again);
        b->len += uint64_t(n);
    }
    va_end(again);
}

void qv2_buf_byte(qv2_buf *b, int value) {
    if (buf_reserve(b, 1) != 0) return;
    b->data[b->len++] = uint8_t(value);
    b->data[b->len] = 0;
}

void qv2_buf_free(qv2_buf *b) {
    free(b->data);
    *b = qv2_buf{};
}
