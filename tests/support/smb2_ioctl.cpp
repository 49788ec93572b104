#include "support/smb2_ioctl.h"

#include <gtest/gtest.h>

namespace smb2 {

const char *const SRVSVC_UUID = "4b324fc8-1670-01d3-1278-5a47bf6ee188";
const char *const NDR_UUID = "8a885d04-1ceb-11c9-9fe8-08002b104860";
const char *const NDR64_UUID = "71710533-beba-4937-8319-b5dbef9ccc36";
const char *const LSARPC_UUID = "12345778-1234-abcd-ef00-0123456789ab";
const char *const BIND_TIME_FEATURES_UUID = "6cb71c2c-9812-4540-0300-000000000000";

namespace {

constexpr uint16_t kIoctl = 11;

void pad4(Body &b) {
    while (b.size() % 4)
        b.u8(0);
}

// MaxCount, Offset, ActualCount and the UTF-16 units with their terminator.
void ndr_string(Body &b, const std::string &ascii) {
    uint32_t n = uint32_t(ascii.size() + 1);
    b.u32(n).u32(0).u32(n).utf16(ascii).u16(0);
    pad4(b);
}

} // namespace

Bytes ioctl_body(const IoctlParams &p) {
    Body b;
    b.u16(p.structure_size).u16(0).u32(p.ctl).u64(p.fid).u64(p.fid_volatile);
    b.u32(p.input_offset.value_or(120));
    b.u32(p.input_count.value_or(uint32_t(p.input.size())));
    b.u32(0);            // MaxInputResponse
    b.u32(0).u32(0);     // OutputOffset, OutputCount
    b.u32(p.max_output); // MaxOutputResponse
    b.u32(1);            // Flags: SMB2_0_IOCTL_IS_FSCTL
    b.u32(0);            // Reserved2
    b.bytes(p.input);
    return b;
}

Bytes ioctl(Header h, const IoctlParams &p) {
    h.command = kIoctl;
    return request(h, ioctl_body(p));
}

Bytes ioctl_output(const Reply &r) {
    if (r.size() < 104) {
        ADD_FAILURE() << "IOCTL reply of " << r.size() << " bytes has no output fields";
        return {};
    }
    size_t off = ioctl_output_offset(r), n = ioctl_output_count(r);
    if (n == 0) return {};
    if (off > r.size() || r.size() - off < n) {
        ADD_FAILURE() << "output " << off << "+" << n << " runs past the " << r.size()
                      << "-byte reply";
        return {};
    }
    return Bytes(r.bytes().begin() + off, r.bytes().begin() + off + n);
}

Bytes uuid(const std::string &text) {
    std::string hexdigits;
    for (char ch : text)
        if (ch != '-') hexdigits.push_back(ch);
    Bytes raw = from_hex(hexdigits);
    if (raw.size() != 16) {
        ADD_FAILURE() << "bad UUID " << text;
        return Bytes(16, 0);
    }
    // time_low, time_mid and time_hi_and_version go out little-endian.
    Bytes w = {raw[3], raw[2], raw[1], raw[0], raw[5], raw[4], raw[7], raw[6]};
    w.insert(w.end(), raw.begin() + 8, raw.end());
    return w;
}

Bytes rpc_bind(uint32_t call_id, const std::vector<RpcContext> &contexts) {
    Body b;
    b.u8(5).u8(0).u8(11).u8(0x03).u32(0x10).u16(0).u16(0).u32(call_id);
    b.u16(4280).u16(4280).u32(0); // max_xmit_frag, max_recv_frag, assoc_group_id
    b.u8(uint8_t(contexts.size())).u8(0).u16(0);
    for (const RpcContext &c : contexts) {
        b.u16(c.id).u8(uint8_t(c.transfer.size())).u8(0);
        b.bytes(uuid(c.abstract_uuid)).u16(c.abstract_major).u16(c.abstract_minor);
        for (const auto &t : c.transfer)
            b.bytes(uuid(t.first)).u32(t.second);
    }
    b.set_u16(8, uint16_t(b.size()));
    return b;
}

Bytes rpc_bind_srvsvc(uint32_t call_id) {
    return rpc_bind(call_id, {RpcContext{}});
}

Bytes rpc_request(uint32_t call_id, uint16_t opnum, const Bytes &stub) {
    Body b;
    b.u8(5).u8(0).u8(0).u8(0x03).u32(0x10).u16(0).u16(0).u32(call_id);
    b.u32(uint32_t(stub.size())).u16(0).u16(opnum); // alloc_hint, p_cont_id, opnum
    b.bytes(stub);
    b.set_u16(8, uint16_t(b.size()));
    return b;
}

Bytes netr_share_enum_stub(const std::string &server) {
    Body b;
    b.u32(0x00020000); // ServerName referent
    ndr_string(b, server);
    b.u32(1).u32(1);          // Level, union discriminant
    b.u32(0x00020004);        // container referent
    b.u32(0).u32(0);          // EntriesRead, Buffer (null)
    b.u32(0xFFFFFFFF);        // PreferedMaximumLength
    b.u32(0x00020008).u32(0); // ResumeHandle referent and value
    return b;
}

RpcHeader rpc_header(const Bytes &pdu) {
    RpcHeader h;
    if (pdu.size() < 16) {
        ADD_FAILURE() << "PDU of " << pdu.size() << " bytes has no header";
        return h;
    }
    h.version = pdu[0];
    h.minor = pdu[1];
    h.ptype = pdu[2];
    h.flags = pdu[3];
    h.drep = get_u32(pdu, 4);
    h.frag_length = get_u16(pdu, 8);
    h.auth_length = get_u16(pdu, 10);
    h.call_id = get_u32(pdu, 12);
    return h;
}

Bytes rpc_stub(const Bytes &response) {
    if (response.size() < 24) {
        ADD_FAILURE() << "RESPONSE of " << response.size() << " bytes has no stub";
        return {};
    }
    return Bytes(response.begin() + 24, response.end());
}

namespace {

// A cursor over NDR data: 32-bit values aligned to 4 from the stub's start.
struct NdrCursor {
    const Bytes &b;
    size_t pos = 0;
    std::string error;

    bool need(size_t n, const char *what) {
        if (!error.empty()) return false;
        if (pos > b.size() || b.size() - pos < n) {
            error = std::string("stub ends inside ") + what + " at " + std::to_string(pos);
            return false;
        }
        return true;
    }
    uint32_t u32(const char *what) {
        if (pos % 4) {
            if (error.empty()) error = std::string(what) + " not aligned at " + std::to_string(pos);
            return 0;
        }
        if (!need(4, what)) return 0;
        uint32_t v = get_u32(b, pos);
        pos += 4;
        return v;
    }
    // A conformant varying string; returns its units without the terminator.
    std::u16string string(const char *what, bool *padded) {
        uint32_t max = u32(what), offset = u32(what), actual = u32(what);
        if (!error.empty()) return {};
        if (offset != 0 || actual != max || actual == 0 || actual > 4096) {
            error = std::string(what) + ": max " + std::to_string(max) + " offset " +
                    std::to_string(offset) + " actual " + std::to_string(actual);
            return {};
        }
        if (!need(size_t(actual) * 2, what)) return {};
        std::u16string s;
        for (uint32_t i = 0; i < actual; i++)
            s.push_back(char16_t(get_u16(b, pos + 2 * i)));
        pos += size_t(actual) * 2;
        if (s.back() != 0) {
            error = std::string(what) + " lacks its terminating zero";
            return {};
        }
        s.pop_back();
        while (pos % 4) {
            if (pos >= b.size() || b[pos] != 0) *padded = false;
            pos++;
        }
        return s;
    }
};

} // namespace

ShareEnum decode_share_enum(const Bytes &stub) {
    ShareEnum e;
    NdrCursor c{stub, 0, {}};
    e.level = c.u32("Level");
    e.discriminant = c.u32("discriminant");
    e.container_referent = c.u32("container referent");
    if (e.container_referent != 0) {
        e.entries_read = c.u32("EntriesRead");
        e.buffer_referent = c.u32("Buffer referent");
        if (e.buffer_referent != 0) {
            e.max_count = c.u32("MaxCount");
            if (c.error.empty() && e.max_count > 100000) c.error = "absurd MaxCount";
            for (uint32_t i = 0; i < e.max_count && c.error.empty(); i++) {
                ShareEntry s;
                s.name_referent = c.u32("shi1_netname");
                s.type = c.u32("shi1_type");
                s.remark_referent = c.u32("shi1_remark");
                e.entries.push_back(s);
            }
            // Deferred pointees, in the order of the elements.
            for (ShareEntry &s : e.entries) {
                if (!c.error.empty()) break;
                if (s.name_referent) s.name = c.string("netname", &e.strings_padded);
                if (s.remark_referent) s.remark = c.string("remark", &e.strings_padded);
            }
        }
    }
    e.total_entries = c.u32("TotalEntries");
    e.resume_referent = c.u32("ResumeHandle referent");
    if (e.resume_referent != 0) c.u32("ResumeHandle");
    e.result = c.u32("return value");
    e.consumed = c.pos;
    e.error = c.error;
    e.ok = c.error.empty();
    return e;
}

std::u16string u16(const std::string &ascii) {
    std::u16string s;
    for (unsigned char ch : ascii)
        s.push_back(char16_t(ch));
    return s;
}

std::string ascii(const std::u16string &s) {
    std::string out;
    for (char16_t u : s)
        out.push_back(u < 0x80 ? char(u) : '?');
    return out;
}

} // namespace smb2
