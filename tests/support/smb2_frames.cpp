#include "support/smb2_frames.h"

#include "dirir2i.h"
#include "security/qv2_crypto.h"

#include <gtest/gtest.h>

#include <cstring>

namespace smb2 {

namespace {

constexpr size_t kHdr = 64;
// Bytes per frame line when a message is split (128000 hex digits would pass
// the 65535-byte line limit; this stays well inside it).
constexpr size_t kLineBytes = 30000;

void append_le(Bytes &b, uint64_t v, int n) {
    for (int i = 0; i < n; i++) b.push_back(uint8_t(v >> (8 * i)));
}

} // namespace

Body &Body::u8(uint8_t v) { return append_le(b_, v, 1), *this; }
Body &Body::u16(uint16_t v) { return append_le(b_, v, 2), *this; }
Body &Body::u32(uint32_t v) { return append_le(b_, v, 4), *this; }
Body &Body::u64(uint64_t v) { return append_le(b_, v, 8), *this; }
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
    for (unsigned char c : ascii) append_le(b_, c, 2);
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

void put_u16(Bytes &b, size_t pos, uint16_t v) {
    for (int i = 0; i < 2; i++) b.at(pos + i) = uint8_t(v >> (8 * i));
}
void put_u32(Bytes &b, size_t pos, uint32_t v) {
    for (int i = 0; i < 4; i++) b.at(pos + i) = uint8_t(v >> (8 * i));
}
void put_u64(Bytes &b, size_t pos, uint64_t v) {
    for (int i = 0; i < 8; i++) b.at(pos + i) = uint8_t(v >> (8 * i));
}
uint16_t get_u16(const Bytes &b, size_t pos) { return uint16_t(b.at(pos) | b.at(pos + 1) << 8); }
uint32_t get_u32(const Bytes &b, size_t pos) {
    return uint32_t(get_u16(b, pos)) | uint32_t(get_u16(b, pos + 2)) << 16;
}
uint64_t get_u64(const Bytes &b, size_t pos) {
    return uint64_t(get_u32(b, pos)) | uint64_t(get_u32(b, pos + 4)) << 32;
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

Bytes echo_body() { return Body().u16(4).u16(0); }

Bytes echo(uint64_t mid, uint16_t credit_request) {
    return request(Header{.command = 13, .mid = mid, .credit_request = credit_request},
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

std::string hex(const Bytes &b) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(b.size() * 2);
    for (uint8_t v : b) {
        s.push_back(digits[v >> 4]);
        s.push_back(digits[v & 15]);
    }
    return s;
}

Bytes from_hex(const std::string &text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(uint8_t(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

Script &Script::send(const Bytes &msg) { return packet(nbss(msg)); }

Script &Script::packet(const Bytes &bytes) {
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t n = std::min(kLineBytes, bytes.size() - pos);
        // Every frame line must decode to at least 4 bytes.
        if (bytes.size() - pos - n != 0 && bytes.size() - pos - n < 4) n -= 4;
        text_ += hex(Bytes(bytes.begin() + pos, bytes.begin() + pos + n)) + "\n";
        pos += n;
    }
    return *this;
}

Script &Script::raw(const Bytes &bytes) {
    text_ += "!" + hex(bytes) + "\n";
    return *this;
}

Script &Script::comment(const std::string &text) {
    text_ += "# " + text + "\n";
    return *this;
}

Script &Script::line(const std::string &text) {
    text_ += text + "\n";
    return *this;
}

uint8_t Reply::u8(size_t pos) const {
    if (pos >= bytes_.size()) {
        ADD_FAILURE() << "reply read at " << pos << " past its " << bytes_.size() << " bytes";
        return 0;
    }
    return bytes_[pos];
}
uint16_t Reply::u16(size_t pos) const { return uint16_t(u8(pos) | u8(pos + 1) << 8); }
uint32_t Reply::u32(size_t pos) const {
    return uint32_t(u16(pos)) | uint32_t(u16(pos + 2)) << 16;
}
uint64_t Reply::u64(size_t pos) const {
    return uint64_t(u32(pos)) | uint64_t(u32(pos + 4)) << 32;
}

bool Reply::is_smb2() const {
    return bytes_.size() >= 4 && bytes_[0] == 0xFE && bytes_[1] == 'S' && bytes_[2] == 'M' &&
           bytes_[3] == 'B';
}

Bytes Reply::signature() const {
    if (bytes_.size() < kHdr) return {};
    return Bytes(bytes_.begin() + 48, bytes_.begin() + 64);
}

Bytes Reply::body() const {
    if (bytes_.size() <= kHdr) return {};
    return Bytes(bytes_.begin() + kHdr, bytes_.end());
}

std::vector<Reply> Reply::parts() const {
    std::vector<Reply> out;
    size_t off = 0;
    while (off < bytes_.size()) {
        size_t left = bytes_.size() - off;
        uint32_t next = left >= kHdr ? get_u32(bytes_, off + 20) : 0;
        size_t n = next != 0 && next <= left ? next : left;
        out.emplace_back(Bytes(bytes_.begin() + off, bytes_.begin() + off + n), offset_ + off);
        if (next == 0 || next > left) break;
        off += next;
    }
    return out;
}

bool Reply::signed_with(const uint8_t key[16]) const {
    if (bytes_.size() < kHdr) return false;
    return signature_of(bytes_, 0, bytes_.size(), key) == signature();
}

Transcript parse_transcript(const std::string &text) {
    Transcript t;
    t.ok = true;
    t.text = text;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t lf = text.find('\n', pos);
        std::string line = text.substr(pos, lf == std::string::npos ? std::string::npos : lf - pos);
        pos = lf == std::string::npos ? text.size() : lf + 1;
        if (line.rfind(">> ", 0) == 0) {
            t.received.push_back(line.substr(3));
        } else if (line.rfind("<< ", 0) == 0) {
            t.replies.emplace_back(from_hex(line.substr(3)));
        } else if (line == "[truncated]") {
            t.truncated = true;
        } else if (line.rfind("RESULT ok (", 0) == 0) {
            t.result_frames = std::stoll(line.substr(11));
        }
    }
    return t;
}

Transcript run_text(const std::string &script, const char *peer) {
    const char *out = dirir2i_simulate(script.c_str(), peer);
    if (!out) {
        Transcript t;
        t.error = dirir2i_last_error();
        return t;
    }
    return parse_transcript(out);
}

Transcript run(const Script &script, const char *peer) { return run_text(script.text(), peer); }

} // namespace smb2
