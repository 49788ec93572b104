// Client path normalisation, search pattern checks, ASCII-case comparison,
// UTF-16LE <-> UTF-8 conversion and FNV-1a. Nothing here allocates.
#include "foundation/qv2_util.h"

#include <cstring>

namespace {

inline bool is_sep(char c) { return c == '/' || c == '\\'; }

inline int fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

inline bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

} // namespace

int qv2_vpath(const char *path, char *out, int32_t outcap) {
    if (!path) path = "";
    size_t inlen = strlen(path);
    if (inlen > size_t(QV2_VPATH_IN_MAX))
        return qv2_fail(DIRIR2I_ENAME, "name longer than %d bytes", QV2_VPATH_IN_MAX);

    char result[QV2_VPATH_OUT_MAX + 1];
    size_t rlen = 0;
    int ncomp = 0;
    size_t i = 0;
    while (i < inlen) {
        while (i < inlen && is_sep(path[i])) i++;
        if (i >= inlen) break;
        const char *comp = path + i;
        size_t clen = 0;
        while (i < inlen && !is_sep(path[i])) {
            i++;
            clen++;
        }
        if (clen == 1 && comp[0] == '.')
            return qv2_fail(DIRIR2I_ENAME, "\".\" is not a valid name component");
        if (clen == 2 && comp[0] == '.' && comp[1] == '.')
            return qv2_fail(DIRIR2I_ENAME, "\"..\" is not a valid name component");
        if (clen > size_t(QV2_VPATH_COMP_MAX))
            return qv2_fail(DIRIR2I_ENAME, "name component longer than %d bytes", QV2_VPATH_COMP_MAX);
        for (size_t k = 0; k < clen; k++)
            if (is_control(static_cast<unsigned char>(comp[k])))
                return qv2_fail(DIRIR2I_ENAME, "control byte in a name component");
        // Windows clients can't tell "a." or "a " from "a"; refuse rather than alias.
        if (comp[clen - 1] == '.' || comp[clen - 1] == ' ')
            return qv2_fail(DIRIR2I_ENAME, "name component ends in a dot or a space");
        if (ncomp == QV2_VPATH_DEPTH_MAX)
            return qv2_fail(DIRIR2I_ENAME, "deeper than %d components", QV2_VPATH_DEPTH_MAX);
        if (rlen + 1 + clen > size_t(QV2_VPATH_OUT_MAX))
            return qv2_fail(DIRIR2I_ENAME, "path longer than %d bytes", QV2_VPATH_OUT_MAX);
        if (ncomp > 0) result[rlen++] = '/';
        memcpy(result + rlen, comp, clen);
        rlen += clen;
        ncomp++;
    }
    result[rlen] = 0;
    if (!out || outcap <= 0 || size_t(outcap) <= rlen)
        return qv2_fail(DIRIR2I_ESMALL, "the name needs %d bytes", int(rlen + 1));
    memcpy(out, result, rlen + 1);
    return 0;
}

int qv2_pat_check(const char *pattern) {
    if (!pattern) return qv2_fail(DIRIR2I_EARG, "NULL pattern");
    size_t n = strlen(pattern);
    if (n > size_t(QV2_PATTERN_MAX))
        return qv2_fail(DIRIR2I_EARG, "pattern longer than %d bytes", QV2_PATTERN_MAX);
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(pattern[i]);
        if (c == '\\' || c == '/') return qv2_fail(DIRIR2I_EARG, "the pattern is a leaf name only");
        if (is_control(c)) return qv2_fail(DIRIR2I_EARG, "control byte in the pattern");
    }
    return 0;
}

int qv2_casecmp(const char *a, const char *b) {
    const unsigned char *x = reinterpret_cast<const unsigned char *>(a);
    const unsigned char *y = reinterpret_cast<const unsigned char *>(b);
    for (;; x++, y++) {
        int ca = fold(*x), cb = fold(*y);
        if (ca != cb) return ca - cb;
        if (ca == 0) return 0;
    }
}

int qv2_ncasecmp(const char *a, const char *b, uint64_t n) {
    const unsigned char *x = reinterpret_cast<const unsigned char *>(a);
    const unsigned char *y = reinterpret_cast<const unsigned char *>(b);
    for (uint64_t i = 0; i < n; i++, x++, y++) {
        int ca = fold(*x), cb = fold(*y);
        if (ca != cb) return ca - cb;
        if (ca == 0) return 0;
    }
    return 0;
}

int32_t qv2_utf8_next(const char **p) {
    const auto *s = reinterpret_cast<const unsigned char *>(*p);
    unsigned c = s[0];
    if (c < 0x80) {
        if (c) (*p)++;
        return int32_t(c);
    }
    int more;
    uint32_t cp, min;
    if (c >= 0xC2 && c <= 0xDF) {
        more = 1, cp = c & 0x1F, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        more = 2, cp = c & 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        more = 3, cp = c & 0x07, min = 0x10000;
    } else {
        (*p)++;
        return -1;
    }
    for (int i = 1; i <= more; i++) {
        if ((s[i] & 0xC0) != 0x80) { // also stops at the terminator
            (*p)++;
            return -1;
        }
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        (*p)++;
        return -1;
    }
    *p += more + 1;
    return int32_t(cp);
}

int qv2_utf16_to_utf8(const uint8_t *src, uint64_t nbytes, char *dst, int32_t cap) {
    if (nbytes & 1) return -1;
    if (cap <= 0 || !dst) return -1;
    if (nbytes && !src) return -1;
    uint64_t room = uint64_t(cap);
    uint64_t o = 0;
    for (uint64_t i = 0; i < nbytes; i += 2) {
        uint32_t u = qv2_le16(src + i);
        uint32_t cp;
        if (u == 0) return -1; // an embedded zero would cut the name short
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 4 > nbytes) return -1;
            uint32_t lo = qv2_le16(src + i + 2);
            if (lo < 0xDC00 || lo > 0xDFFF) return -1;
            cp = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
            i += 2;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return -1;
        } else {
            cp = u;
        }
        int k = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        if (o + uint64_t(k) > room) return -1;
        uint8_t *d = reinterpret_cast<uint8_t *>(dst) + o;
        switch (k) {
        case 1:
            d[0] = uint8_t(cp);
            break;
        case 2:
            d[0] = uint8_t(0xC0 | (cp >> 6));
            d[1] = uint8_t(0x80 | (cp & 0x3F));
            break;
        case 3:
            d[0] = uint8_t(0xE0 | (cp >> 12));
            d[1] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
            d[2] = uint8_t(0x80 | (cp & 0x3F));
            break;
        default:
            d[0] = uint8_t(0xF0 | (cp >> 18));
            d[1] = uint8_t(0x80 | ((cp >> 12) & 0x3F));
            d[2] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
            d[3] = uint8_t(0x80 | (cp & 0x3F));
            break;
        }
        o += uint64_t(k);
    }
    if (o >= room) return -1; // no room for the terminator
    dst[o] = 0;
    return int(o);
}

int qv2_utf8_to_utf16le(const char *src, uint8_t *dst, int32_t cap, int32_t *outlen) {
    if (!src || cap < 0) return -1;
    const unsigned char *s = reinterpret_cast<const unsigned char *>(src);
    int64_t o = 0;
    while (*s) {
        unsigned char c = *s;
        uint32_t cp;
        int n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            n = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            n = 3;
        } else if (c >= 0xF0 && c <= 0xF7) {
            cp = c & 0x07;
            n = 4;
        } else {
            return -1; // stray continuation byte, or 0xF8 and above
        }
        for (int k = 1; k < n; k++) {
            unsigned char t = s[k]; // a zero stops here, before reading past the terminator
            if (t == 0 || (t & 0xC0) != 0x80) return -1;
            cp = (cp << 6) | (t & 0x3F);
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) return -1;
        if (cp > 0x10FFFF) return -1; // no UTF-16 form exists
        if (cp <= 0xFFFF) {
            if (o + 2 > cap) return -1;
            qv2_put_le16(dst + o, uint16_t(cp));
            o += 2;
        } else {
            if (o + 4 > cap) return -1;
            uint32_t v = cp - 0x10000;
            qv2_put_le16(dst + o, uint16_t(0xD800 + (v >> 10)));
            qv2_put_le16(dst + o + 2, uint16_t(0xDC00 + (v & 0x3FF)));
            o += 4;
        }
        s += n;
    }
    if (outlen) *outlen = int32_t(o);
    return 0;
}

uint64_t qv2_fnv1a64(const void *data, uint64_t len, uint64_t seed) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint64_t h = seed;
    for (uint64_t i = 0; i < len; i++) {
        h ^= p[i];
        h *= 0x100000001b3ULL;
    }
    return h;
}
