#include "support/smb2_frames.h"

#include "dirir2i.h"

#include <gtest/gtest.h>

#include <cstring>

namespace smb2 {

namespace {

// Bytes per frame line when a message is split (128000 hex digits would pass
// the 65535-byte line limit; this stays well inside it).
constexpr size_t kLineBytes = 30000;
constexpr size_t kHdr = 64;

} // namespace

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
