#include "support/smb2_file_requests.h"

#include <gtest/gtest.h>

namespace smb2 {

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

} // namespace smb2
