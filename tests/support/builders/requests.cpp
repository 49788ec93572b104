#include "support/builders/requests.h"

namespace smb2 {

namespace {

enum : uint16_t {
    kTreeConnect = 3,
    kTreeDisconnect = 4,
    kCreate = 5,
    kClose = 6,
    kRead = 8,
    kCancel = 12,
    kQueryDirectory = 14,
    kChangeNotify = 15,
    kQueryInfo = 16,
    kOplockBreak = 18,
};

void pad8(Bytes &b, size_t base) {
    while ((base + b.size()) % 8)
        b.push_back(0);
}

// The CreditCharge a client puts on a request that moves `size` bytes.
void charge_for(Header &h, uint32_t size) {
    if (h.credit_charge == 0 && size > 65536) h.credit_charge = uint16_t((size - 1) / 65536 + 1);
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
    b.u16(57).u8(0).u8(p.oplock).u32(p.impersonation).u64(0).u64(0);
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

Bytes lease_key(uint64_t key) { return Body().u64(key).u64(~key); }

Bytes lease_request(uint64_t key, uint32_t state, bool v2) {
    Body b;
    b.bytes(lease_key(key)).u32(state).u32(0).u64(0);
    if (v2) {
        for (int i = 0; i < 16; i++) b.u8(0);
        b.u16(7).u16(0); // Epoch
    }
    return b;
}

CreateParams with_lease(CreateParams p, uint64_t key, uint32_t state, bool v2) {
    p.oplock = 0xFF;
    p.contexts = create_contexts({{"RqLs", lease_request(key, state, v2)}});
    return p;
}

Bytes change_notify(Header h, const NotifyParams &p) {
    h.command = kChangeNotify;
    charge_for(h, p.out_len);
    return request(h, Body().u16(32).u16(p.flags).u32(p.out_len).u64(p.fid).u64(0).u32(p.filter).u32(0));
}

Bytes oplock_ack(Header h, uint64_t fid, uint8_t level) {
    h.command = kOplockBreak;
    return request(h, Body().u16(24).u8(level).u8(0).u32(0).u64(fid).u64(0));
}

Bytes lease_ack(Header h, uint64_t key, uint32_t state) {
    h.command = kOplockBreak;
    return request(h, Body().u16(36).u16(0).u32(0).bytes(lease_key(key)).u32(state).u64(0));
}

Bytes cancel(Header h, uint64_t async_id) {
    h.command = kCancel;
    Bytes msg = request(h, Body().u16(4).u16(0));
    if (async_id) {
        put_u32(msg, 16, h.flags | 0x02); // SMB2_FLAGS_ASYNC_COMMAND
        put_u64(msg, 32, async_id);
    }
    return msg;
}

Bytes close_body(uint64_t fid, uint64_t volatile_fid) {
    return Body().u16(24).u16(0).u32(0).u64(fid).u64(volatile_fid);
}

Bytes close(Header h, uint64_t fid, uint64_t volatile_fid) {
    h.command = kClose;
    return request(h, close_body(fid, volatile_fid));
}

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

} // namespace smb2
