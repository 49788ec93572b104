// Matching names the way Windows clients expect: case-insensitive equality,
// search patterns with the DOS wildcards of MS-FSCC 2.1.4.4, and the 8.3
// short name of names that already have that form. Nothing here allocates.
#include "foundation/qv2_util.h"

#include <cstring>

namespace {

// Code points that stand for bytes that are not UTF-8 (each such byte is one
// character of its own), so that any byte string can be matched.
constexpr uint32_t kRawByte = 0x110000;

// The code point at p (advanced past it). A malformed sequence yields its
// first byte as a character of its own. Never reads past a terminator.
uint32_t next_cp(const unsigned char *&p) {
    const char *at = reinterpret_cast<const char *>(p);
    unsigned first = *p;
    int32_t cp = qv2_utf8_next(&at);
    p = reinterpret_cast<const unsigned char *>(at);
    return cp < 0 ? kRawByte + first : uint32_t(cp);
}

// Simple case folding (to lower case) for the scripts European names use:
// ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic. Every pair folded
// here has the same UTF-8 length; dotted and dotless i are left alone, since
// their pairing depends on the language.
uint32_t fold(uint32_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
    if (c >= 0x100 && c <= 0x17F) {
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        if (c == 0x178) return 0xFF;
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c + 1 : c;
        return (c & 1) ? c : c + 1;
    }
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
    if (c == 0x386) return 0x3AC;
    if (c >= 0x388 && c <= 0x38A) return c + 37;
    if (c == 0x38C) return 0x3CC;
    if (c == 0x38E || c == 0x38F) return c + 63;
    if (c == 0x3C2) return 0x3C3; // final sigma is a sigma
    if (c >= 0x410 && c <= 0x42F) return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

constexpr uint32_t DOS_STAR = '<';
constexpr uint32_t DOS_QM = '>';
constexpr uint32_t DOS_DOT = '"';

bool has_dos_wildcard(const char *pattern) {
    return strpbrk(pattern, "<>\"") != nullptr;
}

// '*' and '?' only: the classic match with one backtracking point, linear
// in practice and with no limit on the lengths.
int star_match(const unsigned char *p, const unsigned char *n) {
    const unsigned char *star_p = nullptr; // pattern just after the last '*'
    const unsigned char *star_n = nullptr; // name position that '*' has swallowed up to
    while (*n) {
        if (*p == '*') {
            star_p = ++p;
            star_n = n;
            continue;
        }
        if (*p) {
            const unsigned char *p2 = p, *n2 = n;
            uint32_t pc = next_cp(p2), nc = next_cp(n2);
            if (pc == '?' || fold(pc) == fold(nc)) {
                p = p2;
                n = n2;
                continue;
            }
        }
        if (!star_p) return 0;
        p = star_p;
        next_cp(star_n);
        n = star_n;
    }
    while (*p == '*')
        p++;
    return *p == 0;
}

// With DOS wildcards: the pattern as a set of positions that are still
// alive, advanced one name character at a time (MS-FSCC 2.1.4.4 rules):
//   '<' matches any run of characters that stops short of the name's last '.';
//   '>' matches one character other than '.', or nothing at a '.' or at the
//       end of the name, which then skips the whole run of '>';
//   '"' matches a '.', or nothing at the end of the name.
int dos_match(const unsigned char *pattern, const unsigned char *name) {
    uint32_t pat[QV2_PATTERN_MAX];
    int m = 0;
    for (const unsigned char *p = pattern; *p;) {
        if (m == QV2_PATTERN_MAX) return 0; // longer than any pattern a client can send
        pat[m++] = next_cp(p);
    }
    const unsigned char *last_dot =
        reinterpret_cast<const unsigned char *>(strrchr(reinterpret_cast<const char *>(name), '.'));
    bool live[QV2_PATTERN_MAX + 1] = {}, next[QV2_PATTERN_MAX + 1];
    // Positions reachable without taking a character, at the name position n.
    auto close = [&](bool *set, const unsigned char *n) {
        bool at_end = *n == 0, at_dot = *n == '.';
        for (int i = 0; i < m; i++) {
            if (!set[i]) continue;
            uint32_t c = pat[i];
            if (c == '*' || c == DOS_STAR || (c == DOS_DOT && at_end)) set[i + 1] = true;
            if (c == DOS_QM && (at_end || at_dot)) {
                int k = i;
                while (k < m && pat[k] == DOS_QM)
                    k++;
                set[k] = true;
            }
        }
    };
    live[0] = true;
    close(live, name);
    for (const unsigned char *n = name; *n;) {
        const unsigned char *at = n;
        uint32_t c = next_cp(n);
        bool any = false;
        memset(next, 0, sizeof(bool) * size_t(m + 1));
        for (int i = 0; i < m; i++) {
            if (!live[i]) continue;
            uint32_t pc = pat[i];
            bool stay = pc == '*' || (pc == DOS_STAR && (!last_dot || at < last_dot));
            bool step = pc == '?' || (pc == DOS_QM && c != '.') || (pc == DOS_DOT && c == '.') ||
                        (pc != '*' && pc != DOS_STAR && pc != DOS_QM && pc != DOS_DOT &&
                         fold(pc) == fold(c));
            if (stay) next[i] = any = true;
            if (step) next[i + 1] = any = true;
        }
        if (!any) return 0;
        close(next, n);
        memcpy(live, next, sizeof(bool) * size_t(m + 1));
    }
    return live[m] ? 1 : 0;
}

} // namespace

int qv2_glob_match(const char *pattern, const char *name) {
    if (!pattern || !name) return 0;
    // "*.*" means everything, names without a dot included (MS-FSCC 2.1.4.4).
    if (strcmp(pattern, "*.*") == 0) return 1;
    const auto *p = reinterpret_cast<const unsigned char *>(pattern);
    const auto *n = reinterpret_cast<const unsigned char *>(name);
    return has_dos_wildcard(pattern) ? dos_match(p, n) : star_match(p, n);
}

int qv2_name_caseeq(const char *a, const char *b) {
    if (!a || !b) return 0;
    const auto *x = reinterpret_cast<const unsigned char *>(a);
    const auto *y = reinterpret_cast<const unsigned char *>(b);
    while (*x && *y)
        if (fold(next_cp(x)) != fold(next_cp(y))) return 0;
    return *x == 0 && *y == 0;
}

int32_t qv2_short_name(const char *name, uint8_t out[QV2_SHORT_NAME_CAP]) {
    if (!name) return 0;
    size_t n = strlen(name);
    if (n == 0) return 0;
    const char *dot = strrchr(name, '.');
    size_t base_len, ext_len;
    if (!dot) {
        if (n > 8) return 0;
        base_len = n;
        ext_len = 0;
    } else {
        base_len = size_t(dot - name);
        ext_len = n - base_len - 1;
        if (base_len < 1 || base_len > 8 || ext_len > 3) return 0;
        if (base_len == 8 && ext_len == 0) return 0;
    }
    char text[8 + 1 + 3 + 1];
    size_t k = 0;
    for (size_t i = 0; i < base_len; i++)
        text[k++] = name[i];
    if (ext_len) {
        text[k++] = '.';
        for (size_t i = 0; i < ext_len; i++)
            text[k++] = dot[1 + i];
    }
    text[k] = 0;
    for (size_t i = 0; i < k; i++)
        if (text[i] >= 'a' && text[i] <= 'z') text[i] = char(text[i] - 'a' + 'A');
    int32_t len = 0;
    if (qv2_utf8_to_utf16le(text, out, QV2_SHORT_NAME_CAP, &len) != 0) return 0;
    return len;
}
