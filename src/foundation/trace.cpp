// The trace switch and the one writer of trace lines.
#include "foundation/qv2_trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::atomic<int> g_level{-1};

// The lines that belong to the lower level: those of the NTLM verifier and
// of the configuration, which appear whenever the variable is set.
bool low_level_area(const char *area) {
    return area && (strcmp(area, "t3") == 0 || strcmp(area, "t3field") == 0 ||
                    strcmp(area, "cfg") == 0);
}

} // namespace

void qv2_trace_set_level(int level) { g_level.store(level < 0 ? -1 : level); }

int qv2_trace_level(void) { return g_level.load(); }

bool qv2_trace_on(const char *area) {
    int level = g_level.load();
    return level >= 2 || (level == 1 && low_level_area(area));
}

void qv2_trace(int conn, const char *area, const char *fmt, ...) {
    if (!qv2_trace_on(area)) return;
    char prefix[48] = "";
    if (area && strcmp(area, "dirir2i") == 0)
        snprintf(prefix, sizeof prefix, "[dirir2i %d] ", conn);
    else if (area)
        snprintf(prefix, sizeof prefix, "[%.40s] ", area);
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    char small[512];
    int n = vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(again);
        return;
    }
    std::string line(prefix);
    if (size_t(n) < sizeof small) {
        line.append(small, size_t(n));
    } else {
        std::string big(size_t(n) + 1, '\0');
        vsnprintf(big.data(), big.size(), fmt, again);
        line.append(big.data(), size_t(n));
    }
    va_end(again);
    // One write per line, so lines of different connections don't mix.
    fwrite(line.data(), 1, line.size(), stderr);
}
