// IP addresses, allow-list entries and hexadecimal text.
#include "foundation/qv2_util.h"

#include <cstdio>
#include <cstring>

namespace {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Exactly four dot-separated decimal parts of 1-3 digits, each at most 255.
bool parse_quad(const char *s, size_t n, uint8_t out[4]) {
    size_t i = 0;
    for (int part = 0; part < 4; part++) {
        if (part > 0) {
            if (i >= n || s[i] != '.') return false;
            i++;
        }
        size_t start = i;
        unsigned v = 0;
        while (i < n && is_digit(s[i]) && i - start < 3) v = v * 10 + unsigned(s[i++] - '0');
        if (i == start || v > 255) return false;
        if (i < n && is_digit(s[i])) return false; // a fourth digit
        out[part] = uint8_t(v);
    }
    return i == n;
}

// IPv6 text with at most one "::" and an optional trailing dotted quad.
bool parse_ipv6(const char *s, size_t n, uint8_t out[16]) {
    uint16_t head[8], tail[8];
    int nhead = 0, ntail = 0;
    bool gap = false;
    size_t i = 0;
    if (n >= 2 && s[0] == ':' && s[1] == ':') {
        gap = true;
        i = 2;
        if (i == n) {
            memset(out, 0, 16);
            return true;
        }
    } else if (s[0] == ':') {
        return false;
    }
    for (;;) {
        size_t j = i;
        while (j < n && s[j] != ':') j++;
        if (j == i) return false; // empty group
        int groups = nhead + ntail;
        if (memchr(s + i, '.', j - i)) {
            uint8_t q[4];
            if (j != n || groups > 6 || !parse_quad(s + i, j - i, q)) return false;
            uint16_t *dst = gap ? tail : head;
            int &cnt = gap ? ntail : nhead;
            dst[cnt++] = uint16_t((q[0] << 8) | q[1]);
            dst[cnt++] = uint16_t((q[2] << 8) | q[3]);
        } else {
            if (j - i > 4 || groups >= 8) return false;
            unsigned v = 0;
            for (size_t k = i; k < j; k++) {
                int h = hex_value(s[k]);
                if (h < 0) return false;
                v = (v << 4) | unsigned(h);
            }
            if (gap)
                tail[ntail++] = uint16_t(v);
            else
                head[nhead++] = uint16_t(v);
        }
        if (j == n) break;
        if (j + 1 < n && s[j + 1] == ':') {
            if (gap) return false; // a second "::"
            gap = true;
            i = j + 2;
            if (i == n) break; // trailing "::"
        } else {
            i = j + 1;
            if (i == n) return false; // single trailing colon
        }
    }
    int total = nhead + ntail;
    if (gap ? total >= 8 : total != 8) return false;
    uint16_t groups[8] = {};
    for (int k = 0; k < nhead; k++) groups[k] = head[k];
    for (int k = 0; k < ntail; k++) groups[8 - ntail + k] = tail[k];
    for (int k = 0; k < 8; k++) {
        out[2 * k] = uint8_t(groups[k] >> 8);
        out[2 * k + 1] = uint8_t(groups[k]);
    }
    return true;
}

// ::ffff:a.b.c.d is kept as the IPv4 address, so IPv4 allow-list entries
// also cover clients of a dual-stack listener.
void fold_mapped(qv2_ip *ip) {
    static const uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (ip->family == 6 && memcmp(ip->addr, prefix, 12) == 0) {
        uint8_t v4[4];
        memcpy(v4, ip->addr + 12, 4);
        memset(ip->addr, 0, 16);
        memcpy(ip->addr, v4, 4);
        ip->family = 4;
    }
}

} // namespace

int qv2_ip_parse(const char *text, qv2_ip *out) {
    if (!text || !out) return -1;
    *out = qv2_ip{};
    size_t n = strlen(text);
    const char *s = text;
    if (n > 1 && s[0] == '[' && s[n - 1] == ']') {
        s++;
        n -= 2;
    }
    const char *zone = static_cast<const char *>(memchr(s, '%', n));
    if (zone) n = size_t(zone - s);
    if (n < 1 || n > 45) return -1;
    if (!memchr(s, ':', n)) {
        if (!parse_quad(s, n, out->addr)) return -1;
        out->family = 4;
        return 0;
    }
    uint8_t a[16];
    if (!parse_ipv6(s, n, a)) return -1;
    out->family = 6;
    memcpy(out->addr, a, 16);
    fold_mapped(out);
    return 0;
}

void qv2_ip_format(const qv2_ip *ip, char *out, int32_t size) {
    if (!out || size <= 0) return;
    char text[64];
    if (ip->family == 4) {
        snprintf(text, sizeof text, "%u.%u.%u.%u", ip->addr[0], ip->addr[1], ip->addr[2],
                 ip->addr[3]);
    } else {
        unsigned g[8];
        for (int k = 0; k < 8; k++) g[k] = unsigned(ip->addr[2 * k] << 8) | ip->addr[2 * k + 1];
        // The longest run of two or more zero groups becomes "::" (the first on a tie).
        int best = -1, best_len = 1;
        for (int k = 0; k < 8;) {
            if (g[k] != 0) {
                k++;
                continue;
            }
            int start = k;
            while (k < 8 && g[k] == 0) k++;
            if (k - start > best_len) {
                best = start;
                best_len = k - start;
            }
        }
        size_t o = 0;
        for (int k = 0; k < 8; k++) {
            if (k == best) {
                o += size_t(snprintf(text + o, sizeof text - o, "::"));
                k += best_len - 1;
                continue;
            }
            bool after_gap = best >= 0 && k == best + best_len;
            o += size_t(snprintf(text + o, sizeof text - o, "%s%x", (k == 0 || after_gap) ? "" : ":",
                                 g[k]));
        }
    }
    size_t len = strlen(text);
    if (len >= size_t(size)) len = size_t(size) - 1;
    memcpy(out, text, len);
    out[len] = 0;
}

int qv2_ip_equal(const qv2_ip *a, const qv2_ip *b) {
    if (a->family != b->family) return 0;
    return memcmp(a->addr, b->addr, a->family == 4 ? 4 : 16) == 0;
}

int qv2_ip_is_loopback(const qv2_ip *ip) {
    static const uint8_t v6_loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (ip->family == 4) return ip->addr[0] == 127;
    if (ip->family == 6) return memcmp(ip->addr, v6_loopback, 16) == 0;
    return 0;
}

int qv2_cidr_parse(const char *text, qv2_cidr *out) {
    if (!text || !out) return -1;
    *out = qv2_cidr{};
    const char *slash = strchr(text, '/');
    size_t alen = slash ? size_t(slash - text) : strlen(text);
    if (alen < 1 || alen > 63) return -1;
    char addr[64];
    memcpy(addr, text, alen);
    addr[alen] = 0;
    if (qv2_ip_parse(addr, &out->ip) != 0) return -1;
    int width = out->ip.family == 4 ? 32 : 128;
    int prefix = width;
    if (slash) {
        const char *p = slash + 1;
        size_t plen = strlen(p);
        if (plen < 1 || plen > 3) return -1;
        prefix = 0;
        for (size_t k = 0; k < plen; k++) {
            if (!is_digit(p[k])) return -1;
            prefix = prefix * 10 + (p[k] - '0');
        }
        // ::ffff:10.0.0.0/104 was written against the mapped IPv6 form.
        if (out->ip.family == 4 && memchr(addr, ':', alen)) {
            if (prefix < 96) return -1;
            prefix -= 96;
        }
        if (prefix > width) return -1;
    }
    out->prefix = prefix;
    int bytes = width / 8;
    for (int k = 0; k < bytes; k++) {
        int keep = prefix - 8 * k; // bits of this byte inside the prefix
        if (keep <= 0)
            out->ip.addr[k] = 0;
        else if (keep < 8)
            out->ip.addr[k] &= uint8_t(0xFF << (8 - keep));
    }
    return 0;
}

int qv2_cidr_match(const qv2_cidr *entry, const qv2_ip *ip) {
    if (entry->ip.family != ip->family) return 0;
    int whole = entry->prefix / 8;
    if (memcmp(entry->ip.addr, ip->addr, size_t(whole)) != 0) return 0;
    int rest = entry->prefix % 8;
    if (rest) {
        uint8_t mask = uint8_t(0xFF << (8 - rest));
        if ((ip->addr[whole] & mask) != entry->ip.addr[whole]) return 0;
    }
    return 1;
}

int qv2_hex_decode(const char *text, uint64_t len, uint8_t *out, uint64_t cap, uint64_t *count) {
    if (count) *count = 0;
    if (len && !text) return -1;
    uint64_t n = 0;
    int high = -1;
    for (uint64_t i = 0; i < len; i++) {
        char c = text[i];
        if (c == '\t' || c == '\n' || c == '\r' || c == ' ') continue;
        int v = hex_value(c);
        if (v < 0) return -1;
        if (high < 0) {
            high = v;
            continue;
        }
        if (out) {
            if (n >= cap) return -1;
            out[n] = uint8_t((high << 4) | v);
        }
        n++;
        high = -1;
    }
    if (high >= 0) return -1; // odd number of digits
    if (count) *count = n;
    return 0;
}

void qv2_hex_encode(const void *bytes, uint64_t n, qv2_buf *b) {
    static const char digits[] = "0123456789abcdef";
    if (n == 0) return;
    if (n > (uint64_t(1) << 32) || buf_reserve(b, 2 * n) != 0) {
        b->failed = 1;
        return;
    }
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    uint8_t *d = b->data + b->len;
    for (uint64_t i = 0; i < n; i++) {
        d[2 * i] = uint8_t(digits[p[i] >> 4]);
        d[2 * i + 1] = uint8_t(digits[p[i] & 15]);
    }
    b->len += 2 * n;
    b->data[b->len] = 0;
}
