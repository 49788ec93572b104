// Known-answer self-test of the digests, MACs, RC4, the key derivations and
// the SMB 3 ciphers.
#include "security/qv2_crypto.h"
#include "security/qv2_smb3_crypto.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Counts a failure unless `got` (n bytes) reads as the lowercase hex text `want`.
void check(int *failures, const uint8_t *got, size_t n, const char *want) {
    char hex[2 * 64 + 1];
    for (size_t i = 0; i < n; i++)
        snprintf(hex + 2 * i, 3, "%02x", got[i]);
    hex[2 * n] = '\0';
    if (strcmp(hex, want) != 0) (*failures)++;
}

// Bytes of hex text that is known to be well formed.
std::vector<uint8_t> unhex(const char *text) {
    uint64_t n = 0;
    std::vector<uint8_t> out(strlen(text) / 2);
    qv2_hex_decode(text, strlen(text), out.data(), out.size(), &n);
    out.resize(n);
    return out;
}

// The SMB 3 primitives on libcrypto: one vector each. A primitive that
// fails outright counts as a mismatch.
void smb3_checks(int *failures) {
    uint8_t out[64];
    std::vector<uint8_t> key = unhex("2b7e151628aed2a6abf7158809cf4f3c"); // RFC 4493 example 2
    std::vector<uint8_t> msg = unhex("6bc1bee22e409f96e93d7e117393172a");
    if (qv2_cmac(key.data(), msg.data(), msg.size(), out) != 0) memset(out, 0, 16);
    check(failures, out, 16, "070a16b46b4d4144f79bdd9dd04a287c");

    // NIST CAVP gcmEncryptExtIV128, PTlen 0, AADlen 128, count 0.
    key = unhex("77be63708971c4e240d1cb79e8d77feb");
    std::vector<uint8_t> nonce = unhex("e0e00f19fed7ba0136a797f3");
    msg = unhex("7a43ec1d9c0a5a78a0b16533a6213cab");
    qv2_gmac_ctx g{};
    qv2_span part{msg.data(), msg.size()};
    if (qv2_gmac_init(&g, key.data()) != 0 || qv2_gmac_sign(&g, nonce.data(), &part, 1, out) != 0)
        memset(out, 0, 16);
    qv2_gmac_free(&g);
    check(failures, out, 16, "209fcc8d3675ed938e9c7166709dd946");

    // McGrew and Viega's GCM test case 4; and the AES-128-CCM reply of
    // Microsoft's "SMB 3.1.1 Encryption in Windows 10", appendix A.2. Each
    // tag covers the whole ciphertext.
    struct Aead {
        uint16_t cipher;
        const char *key, *nonce, *aad, *plain, *tag;
    } aeads[] = {
        {QV2_CIPHER_AES128_GCM, "feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
         "feedfacedeadbeeffeedfacedeadbeefabaddad2",
         "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
         "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39",
         "5bc94fbc3221a5db94fae95ae7121a47"},
        {QV2_CIPHER_AES128_CCM, "95c544aef6072680da1ce49a68a97fa6", "d96831dd2e8eb7b4000000",
         "d96831dd2e8eb7b4000000000000000050000000000001002100000000100000",
         "fe534d4240000100000000000900010001000000000000000500000000000000fffe000001000000"
         "21000000001000000000000000000000000000000000000011000000170000000000000000000000",
         "dd33ec41a927dd51476fe887c2d3c136"},
    };
    for (const Aead &a : aeads) {
        key = unhex(a.key), nonce = unhex(a.nonce), msg = unhex(a.plain);
        std::vector<uint8_t> aad = unhex(a.aad);
        qv2_aead_ctx c{};
        if (qv2_aead_init(&c, a.cipher, QV2_AEAD_SEAL, key.data(), key.size()) != 0 ||
            qv2_aead_seal(&c, nonce.data(), int(nonce.size()), aad.data(), aad.size(), msg.data(),
                          msg.size(), out) != 0)
            memset(out, 0, 16);
        qv2_aead_free(&c);
        check(failures, out, 16, a.tag);
    }

    if (qv2_sha512("abc", 3, out) != 0) memset(out, 0, 64);
    check(failures, out, 64,
          "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
          "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");

    // The SMB 3.0 signing key of Microsoft's "the anatomy of signing and
    // cryptographic keys", appendix.
    key = unhex("7cd451825d0450d235424e44ba6e78cc");
    if (qv2_smb3_kdf(key.data(), 16, "SMB2AESCMAC", 12, "SmbSign", 8, out, 16) != 0)
        memset(out, 0, 16);
    check(failures, out, 16, "0b7e9c5cac36c0f6ea9ab275298cedce");
}

} // namespace

int qv2_selftest(void) {
    int failures = 0;
    uint8_t out[32];
    const char *hi = "Hi There";
    const char *jefe_data = "what do ya want for nothing?";

    qv2_sha256_ctx sc;
    qv2_sha256_init(&sc);
    qv2_sha256_update(&sc, "abc", 3);
    qv2_sha256_final(&sc, out);
    check(&failures, out, 32, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    qv2_sha256_init(&sc);
    qv2_sha256_final(&sc, out);
    check(&failures, out, 32, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

    qv2_md5("abc", 3, out);
    check(&failures, out, 16, "900150983cd24fb0d6963f7d28e17f72");

    qv2_md4("abc", 3, out);
    check(&failures, out, 16, "a448017aaf21d8525fc10ae87aa6729d");

    qv2_md4("", 0, out);
    check(&failures, out, 16, "31d6cfe0d16ae931b73c59d7e0c089c0");

    uint8_t key0b[20];
    memset(key0b, 0x0b, sizeof key0b);
    qv2_hmac256_ctx hs;
    qv2_hmac256_init(&hs, key0b, 20);
    qv2_hmac256_update(&hs, hi, 8);
    qv2_hmac256_final(&hs, out);
    check(&failures, out, 32, "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");

    qv2_hmacmd5_ctx hm;
    qv2_hmacmd5_init(&hm, key0b, 16);
    qv2_hmacmd5_update(&hm, hi, 8);
    qv2_hmacmd5_final(&hm, out);
    check(&failures, out, 16, "9294727a3638bb1c13f48ef8158bfc9d");

    static const uint8_t rc4_key[5] = {0x01, 0x02, 0x03, 0x04, 0x05};
    qv2_rc4_state rs;
    qv2_rc4_init(&rs, rc4_key, sizeof rc4_key);
    memset(out, 0, 16);
    qv2_rc4(&rs, out, 16);
    check(&failures, out, 16, "b2396305f03dc027ccc3524a0a1118a8");

    qv2_md4("message digest", 14, out);
    check(&failures, out, 16, "d9130a8164549fe818874806e1c7014b");

    // NT hash of "password": MD4 of its UTF-16LE form.
    static const uint8_t pw16[16] = {'p', 0, 'a', 0, 's', 0, 's', 0,
                                     'w', 0, 'o', 0, 'r', 0, 'd', 0};
    qv2_md4(pw16, sizeof pw16, out);
    check(&failures, out, 16, "8846f7eaee8fb117ad06bdd830b7586c");

    static const uint8_t zero_key[16] = {0};
    qv2_kdf_ctr_hmacsha256(zero_key, 16, "SMB2AESCMAC", "SmbSign", 8, out, 16);
    check(&failures, out, 16, "0d7203b6f675f05ec74d9706141e0cac");

    qv2_hmac256_init(&hs, "Jefe", 4);
    qv2_hmac256_update(&hs, jefe_data, 28);
    qv2_hmac256_final(&hs, out);
    check(&failures, out, 32, "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");

    qv2_hmacmd5_init(&hm, "Jefe", 4);
    qv2_hmacmd5_update(&hm, jefe_data, 28);
    qv2_hmacmd5_final(&hm, out);
    check(&failures, out, 16, "750c783e6ab0b503eaa86e310a5db738");

    smb3_checks(&failures);
    return failures == 0 ? 0 : -1;
}
