#include "support/builders/wire.h"

#include "security/qv2_crypto.h"

#include <algorithm>

namespace smb2 {

namespace {

constexpr size_t kHdr = 64;

void append_le(Bytes &b, uint64_t v, int n) {
    for (int i = 0; i < n; i++)
        b.push_back(uint8_t(v >> (8 * i)));
}

} // namespace

void put_u16(Bytes &b, size_t pos, uint16_t v) {
    for (int i = 0; i < 2; i++)
        b.at(pos + i) = uint8_t(v >> (8 * i));
}
void put_u32(Bytes &b, size_t pos, uint32_t v) {
    for (int i = 0; i < 4; i++)
        b.at(pos + i) = uint8_t(v >> (8 * i));
}
void put_u64(Bytes &b, size_t pos, uint64_t v) {
    for (int i = 0; i < 8; i++)
        b.at(pos + i) = uint8_t(v >> (8 * i));
}
uint16_t get_u16(const Bytes &b, size_t pos) {
    return uint16_t(b.at(pos) | b.at(pos + 1) << 8);
}
uint32_t get_u32(const Bytes &b, size_t pos) {
    return uint32_t(get_u16(b, pos)) | uint32_t(get_u16(b, pos + 2)) << 16;
}
uint64_t get_u64(const Bytes &b, size_t pos) {
    return uint64_t(get_u32(b, pos)) | uint64_t(get_u32(b, pos + 4)) << 32;
}

Body &Body::u8(uint8_t v) {
    return append_le(b_, v, 1), *this;
}
Body &Body::u16(uint16_t v) {
    return append_le(b_, v, 2), *this;
}
Body &Body::u32(uint32_t v) {
    return append_le(b_, v, 4), *this;
}
Body &Body::u64(uint64_t v) {
    return append_le(b_, v, 8), *this;
}
Body &Body::bytes(const Bytes &b) {
    b_.insert(b_.end(), b.begin(), b.end());
    return *this;
}
Body &Body::bytes(const void *p, size_t n) {
    const uint8_t *q = static_cast<const uint8_t *>(p);
    b_.insert(b_.end(), q, q + n);
    return *this;
}
Body &Body::zeros(size_t n) {
    b_.insert(b_.end(), n, 0);
    return *this;
}
Body &Body::utf16(const std::string &ascii) {
    for (unsigned char c : ascii)
        append_le(b_, c, 2);
    return *this;
}
Body &Body::set_u16(size_t pos, uint16_t v) {
    put_u16(b_, pos, v);
    return *this;
}
Body &Body::set_u32(size_t pos, uint32_t v) {
    put_u32(b_, pos, v);
    return *this;
}

std::string hex(const uint8_t *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; i++) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

std::string hex(const Bytes &b) {
    return hex(b.data(), b.size());
}

Bytes from_hex(const std::string &text) {
    Bytes out;
    int high = -1;
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
        if (high < 0) {
            high = v;
        } else {
            out.push_back(uint8_t(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

Bytes bytes_of(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes to_utf16(const std::string &utf8) {
    Bytes out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        uint32_t cp;
        size_t n;
        if (c < 0x80)
            cp = c, n = 1;
        else if ((c & 0xE0) == 0xC0)
            cp = c & 0x1F, n = 2;
        else if ((c & 0xF0) == 0xE0)
            cp = c & 0x0F, n = 3;
        else
            cp = c & 0x07, n = 4;
        for (size_t k = 1; k < n && i + k < utf8.size(); k++)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            append_le(out, 0xD800 + (cp >> 10), 2);
            append_le(out, 0xDC00 + (cp & 0x3FF), 2);
        } else {
            append_le(out, cp, 2);
        }
    }
    return out;
}

std::string from_utf16(const uint8_t *p, size_t n) {
    std::string s;
    for (size_t i = 0; i + 1 < n; i += 2) {
        uint32_t cp = uint32_t(p[i] | (p[i + 1] << 8));
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 3 < n) {
            uint32_t lo = uint32_t(p[i + 2] | (p[i + 3] << 8));
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            i += 2;
        }
        if (cp < 0x80) {
            s += char(cp);
        } else if (cp < 0x800) {
            s += char(0xC0 | (cp >> 6));
            s += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            s += char(0xE0 | (cp >> 12));
            s += char(0x80 | ((cp >> 6) & 0x3F));
            s += char(0x80 | (cp & 0x3F));
        } else {
            s += char(0xF0 | (cp >> 18));
            s += char(0x80 | ((cp >> 12) & 0x3F));
            s += char(0x80 | ((cp >> 6) & 0x3F));
            s += char(0x80 | (cp & 0x3F));
        }
    }
    return s;
}

uint64_t fnv1a64(const void *data, size_t n, uint64_t h) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < n; i++) {
        h ^= p[i];
        h *= 0x100000001b3ULL;
    }
    return h;
}

Bytes der(uint8_t tag, const Bytes &content) {
    Bytes b{tag};
    size_t n = content.size();
    if (n < 0x80) {
        b.push_back(uint8_t(n));
    } else if (n < 0x100) {
        b.push_back(0x81);
        b.push_back(uint8_t(n));
    } else {
        b.push_back(0x82);
        b.push_back(uint8_t(n >> 8));
        b.push_back(uint8_t(n));
    }
    b.insert(b.end(), content.begin(), content.end());
    return b;
}

Bytes header(const Header &h) {
    Bytes b = {0xFE, 'S', 'M', 'B'};
    append_le(b, 64, 2);
    append_le(b, h.credit_charge, 2);
    append_le(b, h.status, 4);
    append_le(b, h.command, 2);
    append_le(b, h.credit_request, 2);
    append_le(b, h.flags, 4);
    append_le(b, h.next_command, 4);
    append_le(b, h.mid, 8);
    append_le(b, 0, 4); // Reserved
    append_le(b, h.tid, 4);
    append_le(b, h.sid, 8);
    b.insert(b.end(), 16, 0); // Signature
    return b;
}

Bytes request(const Header &h, const Bytes &body) {
    Bytes b = header(h);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

Bytes echo_body() {
    return Body().u16(4).u16(0);
}

Bytes echo(uint64_t mid, uint16_t credit_request, uint64_t sid) {
    return request(Header{.command = 13, .mid = mid, .sid = sid, .credit_request = credit_request},
                   echo_body());
}

Bytes compound(const std::vector<Bytes> &reqs, bool related, const uint8_t *sign_key) {
    Bytes out;
    for (size_t i = 0; i < reqs.size(); i++) {
        Bytes r = reqs[i];
        bool last = i + 1 == reqs.size();
        if (!last) r.resize((r.size() + 7) / 8 * 8, 0);
        if (r.size() >= kHdr) {
            if (!last) put_u32(r, 20, uint32_t(r.size()));
            if (related && i > 0) put_u32(r, 16, get_u32(r, 16) | FLAG_RELATED);
            if (sign_key) sign(r, sign_key);
        }
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

Bytes signature_of(const Bytes &bytes, size_t off, size_t n, const uint8_t key[16]) {
    Bytes copy(bytes.begin() + off, bytes.begin() + off + n);
    std::fill(copy.begin() + 48, copy.begin() + 64, 0);
    uint8_t mac[32];
    qv2_hmac256(key, 16, copy.data(), copy.size(), mac);
    return Bytes(mac, mac + 16);
}

void sign(Bytes &req, const uint8_t key[16]) {
    put_u32(req, 16, get_u32(req, 16) | FLAG_SIGNED);
    Bytes sig = signature_of(req, 0, req.size(), key);
    std::copy(sig.begin(), sig.end(), req.begin() + 48);
}

Bytes nbss_header(uint32_t len, uint8_t type) {
    return {type, uint8_t(len >> 16), uint8_t(len >> 8), uint8_t(len)};
}

Bytes nbss(const Bytes &msg, uint8_t type) {
    Bytes b = nbss_header(uint32_t(msg.size()), type);
    b.insert(b.end(), msg.begin(), msg.end());
    return b;
}

Bytes session_request(uint32_t body_len) {
    Bytes b = nbss_header(body_len, 0x81);
    b.insert(b.end(), body_len, 0);
    return b;
}

} // namespace smb2
