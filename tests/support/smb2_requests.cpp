#include "support/smb2_requests.h"

namespace smb2 {

namespace {

constexpr uint16_t kTreeConnect = 3, kTreeDisconnect = 4, kCreate = 5, kClose = 6;

void pad8(Bytes &b, size_t base) {
    while ((base + b.size()) % 8)
        b.push_back(0);
}

} // namespace

Bytes tree_connect(Header h, const std::string &path) {
    h.command = kTreeConnect;
    Body b;
    b.u16(9).u16(0).u16(64 + 8).u16(uint16_t(path.size() * 2)).utf16(path);
    return request(h, b);
}

Bytes tree_disconnect(Header h) {
    h.command = kTreeDisconnect;
    return request(h, Body().u16(4).u16(0));
}

Bytes create_contexts(const std::vector<CreateContext> &contexts) {
    Bytes area;
    for (size_t i = 0; i < contexts.size(); i++) {
        const CreateContext &c = contexts[i];
        size_t start = area.size();
        Body ctx;
        uint16_t data_off = uint16_t((16 + c.name.size() + 7) / 8 * 8);
        ctx.u32(0).u16(16).u16(uint16_t(c.name.size())).u16(0);
        ctx.u16(c.data.empty() ? 0 : data_off).u32(uint32_t(c.data.size()));
        ctx.bytes(c.name.data(), c.name.size());
        Bytes one = ctx;
        if (!c.data.empty()) {
            one.resize(data_off, 0);
            one.insert(one.end(), c.data.begin(), c.data.end());
        }
        area.insert(area.end(), one.begin(), one.end());
        if (i + 1 < contexts.size()) {
            pad8(area, 0);
            put_u32(area, start, uint32_t(area.size() - start));
        }
    }
    return area;
}

Bytes create_body(const CreateParams &p) {
    Bytes name = p.raw_name;
    if (name.empty()) name = Body().utf16(p.name);
    Body b;
    b.u16(57).u8(0).u8(0).u32(p.impersonation).u64(0).u64(0);
    b.u32(p.access).u32(0x80).u32(0x7).u32(p.disposition).u32(p.options);
    b.u16(120).u16(uint16_t(name.size())).u32(0).u32(0);
    Bytes body = b;
    body.insert(body.end(), name.begin(), name.end());
    if (!p.contexts.empty()) {
        pad8(body, 64);
        put_u32(body, 48, uint32_t(64 + body.size()));
        put_u32(body, 52, uint32_t(p.contexts.size()));
        body.insert(body.end(), p.contexts.begin(), p.contexts.end());
    }
    if (body.size() == 56) body.push_back(0); // the one-byte Buffer of an empty request
    return body;
}

Bytes create(Header h, const CreateParams &p) {
    h.command = kCreate;
    return request(h, create_body(p));
}

Bytes close_body(uint64_t fid, uint64_t volatile_fid) {
    return Body().u16(24).u16(0).u32(0).u64(fid).u64(volatile_fid);
}

Bytes close(Header h, uint64_t fid, uint64_t volatile_fid) {
    h.command = kClose;
    return request(h, close_body(fid, volatile_fid));
}

} // namespace smb2
