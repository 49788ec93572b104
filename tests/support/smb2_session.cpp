#include "support/smb2_session.h"

#include "support/ntlm_client.h"

#include "dirir2i.h"

#include <gtest/gtest.h>

#include <cstring>

namespace smb2 {

namespace {

const uint8_t kSpnegoOid[] = {0x06, 0x06, 0x2b, 0x06, 0x01, 0x05, 0x05, 0x02};
const uint8_t kNtlmOid[] = {0x06, 0x0a, 0x2b, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0a};

// One DER element header at pos inside [0, end): tag, content start, content length.
bool der_read(const Bytes &b, size_t pos, size_t end, uint8_t *tag, size_t *start, size_t *len) {
    if (pos + 2 > end) return false;
    *tag = b[pos];
    size_t n = b[pos + 1];
    size_t at = pos + 2;
    if (n & 0x80) {
        size_t k = n & 0x7f;
        if (k == 0 || k > 4 || at + k > end) return false;
        n = 0;
        for (size_t i = 0; i < k; i++) n = (n << 8) | b[at + i];
        at += k;
    }
    if (n > end - at) return false;
    *start = at;
    *len = n;
    return true;
}

bool is_ntlmssp(const Bytes &b) {
    static const uint8_t sig[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
    return b.size() >= 8 && memcmp(b.data(), sig, 8) == 0;
}

Bytes auth_message(const LogonParams &p, const Bytes &negotiate, const Bytes &challenge,
                   std::string *error, uint8_t key[16]) {
    memset(key, 0, 16);
    if (p.user.empty()) return ntlm_anonymous_message();
    NtlmClientParams cp;
    cp.user = p.user;
    cp.password = p.password;
    cp.domain = p.domain;
    cp.key_exch = p.key_exch;
    cp.mic = p.mic;
    cp.flags = p.auth_flags;
    cp.negotiate = negotiate;
    NtlmAuth auth;
    if (!ntlm_authenticate(cp, challenge, &auth)) {
        *error = "the server's token holds no NTLM CHALLENGE";
        return {};
    }
    memcpy(key, auth.session_key, 16);
    if (p.tamper == LogonParams::Tamper::ntlm_mic) auth.message[72] ^= 1;
    return auth.message;
}

// The element with `want` among the children of a negTokenResp's SEQUENCE:
// its content range. False when the token is no negTokenResp or lacks it.
bool resp_child(const Bytes &token, uint8_t want, size_t *start, size_t *len) {
    uint8_t tag;
    if (!der_read(token, 0, token.size(), &tag, start, len) || tag != 0xa1) return false;
    if (!der_read(token, *start, *start + *len, &tag, start, len) || tag != 0x30) return false;
    size_t seq_end = *start + *len;
    for (size_t pos = *start; pos < seq_end; pos = *start + *len) {
        if (!der_read(token, pos, seq_end, &tag, start, len)) return false;
        if (tag == want) return true;
    }
    return false;
}

// The OCTET STRING inside the child `want` of a negTokenResp.
bool resp_octets(const Bytes &token, uint8_t want, Bytes *out) {
    size_t start, len, s2, l2;
    uint8_t tag;
    if (!resp_child(token, want, &start, &len)) return false;
    if (!der_read(token, start, start + len, &tag, &s2, &l2) || tag != 0x04) return false;
    out->assign(token.begin() + s2, token.begin() + s2 + l2);
    return true;
}

} // namespace

Bytes negotiate_request(uint64_t mid, const std::vector<uint16_t> &dialects,
                        uint16_t security_mode, uint32_t capabilities) {
    Body b;
    b.u16(36).u16(uint16_t(dialects.size())).u16(security_mode).u16(0).u32(capabilities);
    b.bytes(Bytes{0x63, 0x6c, 0x69, 0x65, 0x6e, 0x74, 0x2d, 0x67, 0x75, 0x69, 0x64, 0x2d, 0x74,
                  0x65, 0x73, 0x74}); // ClientGuid
    b.u32(0).u16(0).u16(0); // NegotiateContextOffset, Count, Reserved2
    for (uint16_t d : dialects) b.u16(d);
    return request(Header{.command = 0, .mid = mid}, b);
}

Bytes session_setup_request(uint64_t mid, uint64_t sid, const Bytes &security_buffer,
                            uint16_t security_mode) {
    Body b;
    b.u16(25).u8(0).u8(uint8_t(security_mode)).u32(0).u32(0);
    b.u16(64 + 24).u16(uint16_t(security_buffer.size())).u64(0);
    b.bytes(security_buffer);
    return request(Header{.command = 1, .mid = mid, .sid = sid}, b);
}

Bytes logoff_request(uint64_t mid, uint64_t sid) {
    return request(Header{.command = 2, .mid = mid, .sid = sid}, Body().u16(4).u16(0));
}

Bytes spnego_mech_types() { return der(0x30, Bytes(kNtlmOid, kNtlmOid + sizeof kNtlmOid)); }

Bytes spnego_init(const Bytes &ntlm) {
    Bytes mech_types = der(0xa0, spnego_mech_types());
    Bytes mech_token = der(0xa2, der(0x04, ntlm));
    Bytes init = der(0xa0, der(0x30, cat({mech_types, mech_token})));
    return der(0x60, cat({Bytes(kSpnegoOid, kSpnegoOid + sizeof kSpnegoOid), init}));
}

Bytes spnego_resp(const Bytes &ntlm, const Bytes &mech_list_mic) {
    Bytes fields = der(0xa2, der(0x04, ntlm));
    if (!mech_list_mic.empty()) fields = cat({fields, der(0xa3, der(0x04, mech_list_mic))});
    return der(0xa1, der(0x30, fields));
}

bool mech_list_mic_from_token(const Bytes &token, Bytes *mic) { return resp_octets(token, 0xa3, mic); }

Bytes ntlm_anonymous_message() {
    NtlmAuthFields f;
    f.lm = {0};
    f.flags = NTLM_CLIENT_FLAGS | 0x00000800; // NTLMSSP_ANONYMOUS
    return ntlm_auth_message(f);
}

Bytes security_buffer(const Reply &r) {
    const Bytes &b = r.bytes();
    if (b.size() < 64 + 8) return {};
    size_t off, len;
    if (r.command() == 0) {
        if (b.size() < 128) return {};
        off = get_u16(b, 120);
        len = get_u16(b, 122);
    } else {
        off = get_u16(b, 68);
        len = get_u16(b, 70);
    }
    if (off > b.size() || len > b.size() - off) return {};
    return Bytes(b.begin() + off, b.begin() + off + len);
}

bool ntlm_from_token(const Bytes &token, Bytes *ntlm) {
    if (is_ntlmssp(token)) {
        *ntlm = token;
        return true;
    }
    return resp_octets(token, 0xa2, ntlm);
}

ScopedUser::ScopedUser(const char *user, const char *password) : user_(user) {
    EXPECT_EQ(dirir2i_add_user(user, password), 0) << user << ": " << dirir2i_last_error();
}
ScopedUser::~ScopedUser() { EXPECT_EQ(dirir2i_remove_user(user_.c_str()), 0) << user_; }

Script Session::script() const {
    Script s;
    for (const Bytes &r : requests) s.send(r);
    return s;
}

Bytes Session::sign(Bytes req) const {
    smb2::sign(req, key);
    return req;
}

Header Session::header(uint16_t command, uint32_t tid) {
    return Header{.command = command, .mid = next_mid++, .sid = session_id, .tid = tid};
}

Session logon(const Exchange &exchange, const LogonParams &p) {
    Session s;
    auto step = [&](const Bytes &req) {
        s.requests.push_back(req);
        s.replies.push_back(exchange(req));
        return s.replies.back();
    };

    uint64_t mid = p.first_mid;
    if (p.negotiate) {
        Reply nego =
            step(negotiate_request(mid++, p.dialects, p.security_mode, p.capabilities));
        if (nego.size() < 64 || nego.status() != 0) {
            s.error = "NEGOTIATE failed";
            s.status = nego.size() >= 12 ? nego.status() : 0;
            return s;
        }
    }

    Bytes ntlm_nego = ntlm_negotiate_message(p.ntlm_flags);
    Reply leg1 =
        step(session_setup_request(mid++, p.session_id,
                                   p.spnego ? spnego_init(ntlm_nego) : ntlm_nego, p.security_mode));
    s.status = leg1.size() >= 12 ? leg1.status() : 0;
    if (leg1.size() < 64 || s.status != 0xC0000016) {
        s.error = "first SESSION_SETUP did not ask for more processing";
        return s;
    }
    s.session_id = leg1.sid();
    if (!ntlm_from_token(security_buffer(leg1), &s.challenge_message)) {
        s.error = "the first SESSION_SETUP reply carries no NTLM CHALLENGE";
        return s;
    }

    Bytes auth = auth_message(p, ntlm_nego, s.challenge_message, &s.error, s.key);
    if (!s.error.empty()) return s;
    Bytes mic;
    // What the AUTHENTICATE says was negotiated: its flags key the MICs.
    uint32_t flags = NTLM_CLIENT_FLAGS | (p.key_exch ? NTLM_KEY_EXCH : 0);
    if (p.mic && p.spnego && !p.user.empty()) {
        mic.resize(16);
        ntlm_mech_list_mic(s.key, flags, false, spnego_mech_types(), mic.data());
        if (p.tamper == LogonParams::Tamper::mech_list_mic) mic[5] ^= 1;
    }
    Reply leg2 = step(
        session_setup_request(mid++, s.session_id, p.spnego ? spnego_resp(auth, mic) : auth,
                              p.security_mode));
    s.next_mid = mid;
    s.status = leg2.size() >= 12 ? leg2.status() : 0;
    if (leg2.size() < 64 + 8 || s.status != 0) {
        s.error = "second SESSION_SETUP failed";
        return s;
    }
    s.guest = (leg2.u16(66) & 1) != 0;
    if (s.guest) memset(s.key, 0, sizeof s.key);
    if (mech_list_mic_from_token(security_buffer(leg2), &s.server_mic) && s.server_mic.size() == 16) {
        uint8_t want[16];
        ntlm_mech_list_mic(s.key, flags, true, spnego_mech_types(), want);
        s.server_mic_ok = memcmp(want, s.server_mic.data(), 16) == 0;
    }
    s.ok = true;
    return s;
}

Session logon(DirectConn &dc, const LogonParams &p) {
    return logon([&](const Bytes &req) { return dc.process(req); }, p);
}

Session logon_script(const LogonParams &p, const char *peer) {
    std::vector<Bytes> sent;
    return logon(
        [&](const Bytes &req) {
            sent.push_back(req);
            Script script;
            for (const Bytes &m : sent) script.send(m);
            Transcript t = run(script, peer);
            return t.replies.size() >= sent.size() ? t.replies[sent.size() - 1] : Reply();
        },
        p);
}

} // namespace smb2
