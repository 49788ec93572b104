// Hex text helpers for the security tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using bytes = std::vector<uint8_t>;

inline std::string hex(const uint8_t *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
inline std::string hex(const bytes &b) {
    return hex(b.data(), b.size());
}

// Hex text to bytes; spaces are ignored.
inline bytes unhex(const std::string &text) {
    bytes out;
    int hi = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(uint8_t(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

inline bytes str_bytes(const std::string &s) {
    return bytes(s.begin(), s.end());
}
