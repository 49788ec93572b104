#include "support/smb2_file_requests.h"

#include <gtest/gtest.h>

namespace smb2 {

namespace {

constexpr uint16_t kRead = 8, kQueryDirectory = 14, kQueryInfo = 16;

// The CreditCharge a client puts on a request that moves `size` bytes.
void charge_for(Header &h, uint32_t size) {
    if (h.credit_charge == 0 && size > 65536) h.credit_charge = uint16_t((size - 1) / 65536 + 1);
}

} // namespace

Bytes query_directory(Header h, const QueryDirParams &p) {
    h.command = kQueryDirectory;
    charge_for(h, p.out_len);
    Bytes name = p.raw_pattern.empty() ? to_utf16(p.pattern) : p.raw_pattern;
    uint16_t off = p.override_name ? p.name_off : uint16_t(name.empty() ? 0 : 96);
    uint16_t len = p.override_name ? p.name_len : uint16_t(name.size());
    Body b;
    b.u16(33).u8(p.cls).u8(p.flags).u32(p.file_index).u64(p.fid).u64(0);
    b.u16(off).u16(len).u32(p.out_len).bytes(name);
    if (name.empty()) b.u8(0); // the one-byte Buffer
    return request(h, b);
}

Bytes read(Header h, const ReadParams &p) {
    h.command = kRead;
    charge_for(h, p.length);
    Body b;
    b.u16(49).u8(0).u8(0).u32(p.length).u64(p.offset).u64(p.fid).u64(0);
    b.u32(p.minimum).u32(p.channel).u32(0).u16(0).u16(0).u8(0);
    return request(h, b);
}

Bytes query_info(Header h, const QueryInfoParams &p) {
    h.command = kQueryInfo;
    Body b;
    b.u16(41).u8(p.type).u8(p.cls).u32(p.out_len).u16(0).u16(0).u32(0).u32(p.additional).u32(0);
    b.u64(p.fid).u64(0).u8(0);
    return request(h, b);
}

std::vector<DirEntry> dir_entries(const Reply &r, uint8_t cls) {
    std::vector<DirEntry> out;
    Bytes buf = output_buffer(r);
    size_t name_len_at = cls == CLS_NAMES ? 8 : 60;
    size_t name_at = 0;
    switch (cls) {
    case CLS_DIRECTORY:
        name_at = 64;
        break;
    case CLS_FULL_DIRECTORY:
        name_at = 68;
        break;
    case CLS_BOTH_DIRECTORY:
        name_at = 94;
        break;
    case CLS_NAMES:
        name_at = 12;
        break;
    case CLS_ID_BOTH_DIRECTORY:
        name_at = 104;
        break;
    case CLS_ID_FULL_DIRECTORY:
        name_at = 80;
        break;
    default:
        ADD_FAILURE() << "class " << int(cls);
        return out;
    }
    size_t pos = 0;
    while (pos < buf.size()) {
        if (pos + name_at > buf.size()) {
            ADD_FAILURE() << "entry at " << pos << " runs past the buffer";
            break;
        }
        DirEntry e;
        e.at = pos;
        e.next = get_u32(buf, pos);
        e.index = get_u32(buf, pos + 4);
        uint32_t n = get_u32(buf, pos + name_len_at);
        if (pos + name_at + n > buf.size()) {
            ADD_FAILURE() << "name at " << pos << " runs past the buffer";
            break;
        }
        e.name = from_utf16(buf.data() + pos + name_at, n);
        size_t end = e.next ? pos + e.next : buf.size();
        if (end > buf.size() || end < pos + name_at + n) {
            ADD_FAILURE() << "NextEntryOffset " << e.next << " at " << pos;
            break;
        }
        e.raw.assign(buf.begin() + long(pos), buf.begin() + long(end));
        out.push_back(e);
        if (e.next == 0) break;
        pos = end;
    }
    return out;
}

Bytes read_data(const Reply &r) {
    // STATUS_BUFFER_OVERFLOW: a piece of a pipe's answer, with more to come.
    if (r.size() < 80 || (r.status() != 0 && r.status() != 0x80000005)) return {};
    uint8_t off = r.u8(66);
    uint32_t n = r.u32(68);
    if (off + size_t(n) > r.size()) {
        ADD_FAILURE() << "READ data runs past the reply";
        return {};
    }
    return Bytes(r.bytes().begin() + off, r.bytes().begin() + off + n);
}

Bytes output_buffer(const Reply &r) {
    if (r.size() < 72) return {};
    uint16_t off = r.u16(66);
    uint32_t n = r.u32(68);
    if (n == 0) return {};
    if (off + size_t(n) > r.size()) {
        ADD_FAILURE() << "output buffer runs past the reply";
        return {};
    }
    return Bytes(r.bytes().begin() + off, r.bytes().begin() + off + n);
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

Bytes to_utf16(const std::string &utf8) {
    Bytes out;
    auto unit = [&out](uint32_t u) {
        out.push_back(uint8_t(u));
        out.push_back(uint8_t(u >> 8));
    };
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
            unit(0xD800 + (cp >> 10));
            unit(0xDC00 + (cp & 0x3FF));
        } else {
            unit(cp);
        }
    }
    return out;
}

} // namespace smb2
