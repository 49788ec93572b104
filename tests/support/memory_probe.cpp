#include "support/memory_probe.h"

#include <cstddef>
#include <cstdio>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define PROBE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PROBE_ASAN 1
#endif
#endif
#ifdef PROBE_ASAN
// From the sanitizer runtime (its header doesn't come with every compiler).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#else
#include <malloc.h>
#endif

namespace probe {

long long heap_in_use() {
#ifdef PROBE_ASAN
    return (long long)__sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 m = mallinfo2();
    return (long long)(m.uordblks + m.hblkhd);
#endif
}

long long resident_bytes() {
    FILE *f = fopen("/proc/self/statm", "r");
    if (!f) return 0;
    long long pages = 0, resident = 0;
    int n = fscanf(f, "%lld %lld", &pages, &resident);
    fclose(f);
    return n == 2 ? resident * sysconf(_SC_PAGESIZE) : 0;
}

long long memory_in_use() {
#ifdef PROBE_ASAN
    return heap_in_use();
#else
    return resident_bytes();
#endif
}

} // namespace probe
