// Fuzz target: the rules every client-supplied name passes through (path
// normalisation, search patterns and matching, UTF-16/UTF-8 conversion,
// case-insensitive comparison), with the properties the share namespace
// relies on checked on every input.
#include "foundation/qv2_util.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check(bool ok) {
    if (!ok) abort();
}

// A normalised path: components joined by single '/', none empty, "." or
// "..", none ending in a dot or a space, no control bytes, no backslash,
// within the length, depth and component limits.
void check_normal(const char *p) {
    size_t len = strlen(p);
    check(len <= size_t(QV2_VPATH_OUT_MAX));
    if (len == 0) return;
    int depth = 0;
    const char *start = p;
    for (const char *q = p;; q++) {
        if (*q == '/' || *q == 0) {
            size_t n = size_t(q - start);
            check(n >= 1 && n <= size_t(QV2_VPATH_COMP_MAX));
            check(!(n == 1 && start[0] == '.') && !(n == 2 && start[0] == '.' && start[1] == '.'));
            check(start[n - 1] != '.' && start[n - 1] != ' ');
            depth++;
            if (*q == 0) break;
            start = q + 1;
            continue;
        }
        unsigned char ch = static_cast<unsigned char>(*q);
        check(ch >= 0x20 && ch != 0x7f && ch != '\\');
    }
    check(depth <= QV2_VPATH_DEPTH_MAX);
}

int sign(int v) {
    return (v > 0) - (v < 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Text up to the first zero byte is the path or pattern; what follows
    // that byte is a second name.
    std::string a(reinterpret_cast<const char *>(data), size);
    std::string b;
    size_t nul = a.find('\0');
    if (nul != std::string::npos) {
        b = a.substr(nul + 1);
        a.resize(nul);
        size_t nul2 = b.find('\0');
        if (nul2 != std::string::npos) b.resize(nul2);
    }

    char out[QV2_VPATH_OUT_MAX + 2];
    int rc = qv2_vpath(a.c_str(), out, sizeof out);
    check(rc == 0 || rc == DIRIR2I_ENAME);
    if (rc == 0) {
        check_normal(out);
        char again[QV2_VPATH_OUT_MAX + 2];
        check(qv2_vpath(out, again, sizeof again) == 0 && strcmp(out, again) == 0);
        // An area one byte too small is refused, and left alone.
        size_t n = strlen(out);
        memset(again, 0x55, sizeof again);
        check(qv2_vpath(a.c_str(), again, int32_t(n)) == DIRIR2I_ESMALL && again[0] == 0x55);
    }

    if (qv2_pat_check(a.c_str()) == 0) {
        check(a.size() <= size_t(QV2_PATTERN_MAX));
        check(a.find('/') == std::string::npos && a.find('\\') == std::string::npos);
    }
    int m = qv2_glob_match(a.c_str(), b.c_str());
    check(m == 0 || m == 1);
    // Every name matches itself, unless it holds a DOS wildcard (names of
    // Windows clients can't).
    if (b.find_first_of("<>\"") == std::string::npos)
        check(qv2_glob_match(b.c_str(), b.c_str()) == 1);
    check(qv2_glob_match("*", b.c_str()) == 1);
    check(qv2_name_caseeq(b.c_str(), b.c_str()) == 1);
    check(qv2_name_caseeq(a.c_str(), b.c_str()) == qv2_name_caseeq(b.c_str(), a.c_str()));

    check(sign(qv2_casecmp(a.c_str(), b.c_str())) == -sign(qv2_casecmp(b.c_str(), a.c_str())));
    check((qv2_casecmp(a.c_str(), b.c_str()) == 0) ==
          (qv2_ncasecmp(a.c_str(), b.c_str(), ~0ull) == 0));

    // UTF-16LE that converts must come back unchanged.
    char utf8[4 * 1024 + 1];
    int n8 = qv2_utf16_to_utf8(data, size, utf8, sizeof utf8);
    if (n8 >= 0) {
        check(size_t(n8) == strlen(utf8));
        uint8_t back[8 * 1024];
        int32_t n16 = -1;
        check(qv2_utf8_to_utf16le(utf8, back, sizeof back, &n16) == 0);
        check(size_t(n16) == size && memcmp(back, data, size) == 0);
    }
    uint8_t u16[4 * 1024];
    int32_t n16 = -1;
    if (qv2_utf8_to_utf16le(a.c_str(), u16, sizeof u16, &n16) == 0) {
        check(n16 >= 0 && n16 % 2 == 0 && size_t(n16) <= sizeof u16);
        qv2_utf16_to_utf8(u16, uint64_t(n16), utf8, sizeof utf8);
    }
    return 0;
}
