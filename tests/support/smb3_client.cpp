#include "support/smb3_client.h"

#include "security/qv2_smb3_crypto.h"

#include <cstring>

namespace smb2 {

namespace {

Bytes id_list(const std::vector<uint16_t> &ids) {
    Body b;
    b.u16(uint16_t(ids.size()));
    for (uint16_t id : ids) b.u16(id);
    return b.data();
}

} // namespace

Bytes nego_context(uint16_t type, const Bytes &data) {
    Body b;
    b.u16(type).u16(uint16_t(data.size())).u32(0).bytes(data);
    return b.data();
}

Bytes preauth_context(const std::vector<uint16_t> &hashes) {
    Body b;
    b.u16(uint16_t(hashes.size())).u16(32);
    for (uint16_t h : hashes) b.u16(h);
    b.bytes(Bytes(32, 0x5A));
    return nego_context(1, b.data());
}

Bytes cipher_context(const std::vector<uint16_t> &ciphers) { return nego_context(2, id_list(ciphers)); }

Bytes signing_context(const std::vector<uint16_t> &algorithms) {
    return nego_context(8, id_list(algorithms));
}

Bytes negotiate_311(uint64_t mid, const std::vector<Bytes> &contexts, uint16_t security_mode,
                    uint32_t capabilities) {
    const std::vector<uint16_t> dialects = {0x0202, 0x0210, 0x0300, 0x0302, 0x0311};
    // Contexts start 8-byte aligned after the 36 fixed bytes and the dialects.
    uint32_t off = uint32_t(64 + 36 + 2 * dialects.size());
    off = (off + 7) & ~7u;
    Body b;
    b.u16(36).u16(uint16_t(dialects.size())).u16(security_mode).u16(0).u32(capabilities);
    b.bytes(Bytes(16, 0x42)); // ClientGuid
    b.u32(off).u16(uint16_t(contexts.size())).u16(0);
    for (uint16_t d : dialects) b.u16(d);
    Bytes body = b.data();
    for (size_t i = 0; i < contexts.size(); i++) {
        while ((64 + body.size()) % 8) body.push_back(0);
        body.insert(body.end(), contexts[i].begin(), contexts[i].end());
    }
    return request(Header{.command = 0, .mid = mid}, body);
}

qv2_smb3_keys keys_300(const uint8_t session_key[16]) {
    qv2_smb3_keys k{};
    qv2_smb3_derive_keys(0x0300, QV2_CIPHER_AES128_CCM, session_key, 16, nullptr, &k);
    return k;
}

Bytes sign_cmac(const qv2_smb3_keys &k, Bytes req) {
    put_u32(req, 16, get_u32(req, 16) | FLAG_SIGNED);
    std::fill(req.begin() + 48, req.begin() + 64, 0);
    uint8_t mac[16];
    qv2_cmac(k.signing, req.data(), req.size(), mac);
    memcpy(req.data() + 48, mac, 16);
    return req;
}

Bytes seal(const qv2_smb3_keys &k, uint64_t sid, const Bytes &msg, uint64_t nonce) {
    Bytes out(52, 0);
    out[0] = 0xFD, out[1] = 'S', out[2] = 'M', out[3] = 'B';
    put_u64(out, 20, nonce);
    put_u32(out, 36, uint32_t(msg.size()));
    put_u16(out, 42, 1);
    put_u64(out, 44, sid);
    out.insert(out.end(), msg.begin(), msg.end());
    qv2_aead_ctx c{};
    qv2_aead_init(&c, QV2_CIPHER_AES128_CCM, QV2_AEAD_SEAL, k.decryption, 16);
    qv2_aead_seal(&c, out.data() + 20, 11, out.data() + 20, 32, out.data() + 52, msg.size(),
                  out.data() + 4);
    qv2_aead_free(&c);
    return out;
}

Bytes open(const qv2_smb3_keys &k, const Bytes &sealed) {
    if (sealed.size() <= 52 || sealed[0] != 0xFD) return {};
    Bytes out(sealed.begin() + 52, sealed.end());
    qv2_aead_ctx c{};
    qv2_aead_init(&c, QV2_CIPHER_AES128_CCM, QV2_AEAD_OPEN, k.encryption, 16);
    int rc = qv2_aead_open(&c, sealed.data() + 20, 11, sealed.data() + 20, 32, out.data(),
                           out.size(), sealed.data() + 4);
    qv2_aead_free(&c);
    return rc == 0 ? out : Bytes();
}

} // namespace smb2
