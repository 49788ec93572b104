#include "support/ntlm_client.h"

#include "support/builders/wire.h"

#include "security/qv2_crypto.h"

#include <cstring>

using smb2::Body;
using smb2::get_u16;
using smb2::get_u32;
using smb2::get_u64;

namespace {

const uint8_t kSig[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};

void append(ntlm_bytes *b, const ntlm_bytes &more) {
    b->insert(b->end(), more.begin(), more.end());
}
void append(ntlm_bytes *b, const uint8_t *p, size_t n) {
    b->insert(b->end(), p, p + n);
}

std::string ascii_upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 32);
    return s;
}

// MsvAvTimestamp of a TargetInfo, or false.
bool find_timestamp(const ntlm_bytes &ti, uint64_t *ft) {
    size_t off = 0;
    while (off + 4 <= ti.size()) {
        uint16_t id = get_u16(ti, off), n = get_u16(ti, off + 2);
        if (id == NTLM_AV_EOL || off + 4 + n > ti.size()) return false;
        if (id == NTLM_AV_TIMESTAMP && n == 8) {
            *ft = get_u64(ti, off + 4);
            return true;
        }
        off += 4 + n;
    }
    return false;
}

} // namespace

ntlm_bytes ntlm_utf16(const std::string &utf8) {
    return smb2::to_utf16(utf8);
}

ntlm_bytes ntlm_av_pair(uint16_t id, const ntlm_bytes &value) {
    return Body().u16(id).u16(uint16_t(value.size())).bytes(value);
}

ntlm_bytes ntlm_av_timestamp(uint64_t filetime) {
    return ntlm_av_pair(NTLM_AV_TIMESTAMP, Body().u64(filetime));
}

void ntlm_nt_hash(const std::string &password, uint8_t out[16]) {
    ntlm_bytes pw = ntlm_utf16(password);
    qv2_md4(pw.data(), pw.size(), out);
}

void ntlm_ntowfv2(const std::string &password, const std::string &user, const std::string &domain,
                  uint8_t out[16]) {
    uint8_t nt[16];
    ntlm_nt_hash(password, nt);
    ntlm_bytes ud = ntlm_utf16(ascii_upper(user) + domain);
    qv2_hmacmd5(nt, 16, ud.data(), ud.size(), out);
}

ntlm_bytes ntlm_negotiate_message(uint32_t flags) {
    return Body().bytes(kSig, 8).u32(1).u32(flags).u64(0).u64(0); // no domain, no workstation
}

bool ntlm_parse_challenge(const uint8_t *msg, size_t len, NtlmChallenge *out) {
    if (len < 48 || memcmp(msg, kSig, 8) != 0) return false;
    const ntlm_bytes m(msg, msg + 48);
    if (get_u32(m, 8) != 2) return false;
    out->flags = get_u32(m, 20);
    memcpy(out->server_challenge, msg + 24, 8);
    uint16_t tlen = get_u16(m, 40);
    uint32_t toff = get_u32(m, 44);
    if (uint64_t(toff) + tlen > len) return false;
    out->target_info.assign(msg + toff, msg + toff + tlen);
    return true;
}

ntlm_bytes ntlm_auth_message(const NtlmAuthFields &f) {
    const ntlm_bytes *payload[6] = {&f.lm, &f.nt, &f.domain, &f.user, &f.workstation, &f.enc_key};
    // Payload order differs from descriptor order, as real clients do it.
    const int order[6] = {2, 3, 4, 0, 1, 5};
    uint32_t offsets[6];
    uint32_t off = 88; // 64-byte header, 8-byte Version, 16-byte MIC
    for (int k : order) {
        offsets[k] = off;
        off += uint32_t(payload[k]->size());
    }
    Body h;
    h.bytes(kSig, 8).u32(3);
    for (int k = 0; k < 6; k++)
        h.u16(uint16_t(payload[k]->size())).u16(uint16_t(payload[k]->size())).u32(offsets[k]);
    ntlm_bytes b = h.u32(f.flags);
    b.resize(88, 0);
    for (int k : order)
        append(&b, *payload[k]);
    return b;
}

bool ntlm_authenticate(const NtlmClientParams &p, const uint8_t *challenge_msg, size_t len,
                       NtlmAuth *out) {
    NtlmChallenge ch;
    if (!ntlm_parse_challenge(challenge_msg, len, &ch)) return false;
    uint32_t flags = (p.flags ? p.flags : NTLM_CLIENT_FLAGS) | (p.key_exch ? NTLM_KEY_EXCH : 0);

    uint8_t ntowf[16];
    ntlm_ntowfv2(p.password, p.user, p.domain, ntowf);

    uint64_t ts = p.timestamp;
    bool server_time = find_timestamp(ch.target_info, &ts);

    // NTLMv2_CLIENT_CHALLENGE: versions, reserved, time, client challenge,
    // reserved, AV pairs, reserved.
    ntlm_bytes blob = Body().u8(1).u8(1).zeros(6).u64(ts).bytes(p.client_challenge, 8).u32(0);
    ntlm_bytes avs = p.replace_av_pairs ? p.av_pairs : ch.target_info;
    if (p.mic && avs.size() >= 4) {
        // MsvAvFlags 0x2 goes in just before MsvAvEOL.
        ntlm_bytes flags_pair = ntlm_av_pair(6, {2, 0, 0, 0});
        avs.insert(avs.end() - 4, flags_pair.begin(), flags_pair.end());
    }
    append(&blob, avs);
    blob.resize(blob.size() + 4, 0);
    blob.resize(blob.size() + p.blob_padding, 0);

    ntlm_bytes proof_in(ch.server_challenge, ch.server_challenge + 8);
    append(&proof_in, blob);
    qv2_hmacmd5(ntowf, 16, proof_in.data(), proof_in.size(), out->nt_proof);
    qv2_hmacmd5(ntowf, 16, out->nt_proof, 16, out->base_key);

    NtlmAuthFields &f = out->fields;
    f = NtlmAuthFields{};
    f.flags = flags;
    f.nt.assign(out->nt_proof, out->nt_proof + 16);
    append(&f.nt, blob);
    if (server_time) {
        f.lm.assign(24, 0); // with a server timestamp the LMv2 response is zeros
    } else {
        ntlm_bytes lm_in(ch.server_challenge, ch.server_challenge + 8);
        append(&lm_in, p.client_challenge, 8);
        f.lm.resize(16);
        qv2_hmacmd5(ntowf, 16, lm_in.data(), lm_in.size(), f.lm.data());
        append(&f.lm, p.client_challenge, 8);
    }
    f.domain = ntlm_utf16(p.domain);
    f.user = ntlm_utf16(p.user);
    f.workstation = ntlm_utf16(p.workstation);

    if (flags & NTLM_KEY_EXCH) {
        memcpy(out->session_key, p.exported_key, 16);
        f.enc_key.assign(p.exported_key, p.exported_key + 16);
        qv2_rc4_state rc4;
        qv2_rc4_init(&rc4, out->base_key, 16);
        qv2_rc4(&rc4, f.enc_key.data(), 16);
    } else {
        memcpy(out->session_key, out->base_key, 16);
    }
    out->message = ntlm_auth_message(f);
    if (p.mic) {
        ntlm_bytes all = p.negotiate;
        all.insert(all.end(), challenge_msg, challenge_msg + len);
        append(&all, out->message);
        qv2_hmacmd5(out->session_key, 16, all.data(), all.size(), out->message.data() + 72);
    }
    return true;
}

void ntlm_mech_list_mic(const uint8_t exported[16], uint32_t flags, bool from_server,
                        const ntlm_bytes &mech_types, uint8_t out[16]) {
    auto derive = [&](const char *magic, size_t keylen, uint8_t key[16]) {
        ntlm_bytes in(exported, exported + keylen);
        in.insert(in.end(), magic, magic + strlen(magic) + 1);
        qv2_md5(in.data(), in.size(), key);
    };
    const char *dir = from_server ? "server-to-client" : "client-to-server";
    uint8_t sign_key[16], seal_key[16];
    derive((std::string("session key to ") + dir + " signing key magic constant").c_str(), 16,
           sign_key);
    size_t seal_len = (flags & NTLM_128) ? 16 : (flags & NTLM_56) ? 7 : 5;
    derive((std::string("session key to ") + dir + " sealing key magic constant").c_str(),
           seal_len, seal_key);
    ntlm_bytes in(4, 0); // sequence number 0
    append(&in, mech_types);
    uint8_t digest[16];
    qv2_hmacmd5(sign_key, 16, in.data(), in.size(), digest);
    if (flags & NTLM_KEY_EXCH) {
        qv2_rc4_state rc4;
        qv2_rc4_init(&rc4, seal_key, 16);
        qv2_rc4(&rc4, digest, 8);
    }
    const uint8_t version[4] = {1, 0, 0, 0};
    memcpy(out, version, 4);
    memcpy(out + 4, digest, 8);
    memset(out + 12, 0, 4);
}
