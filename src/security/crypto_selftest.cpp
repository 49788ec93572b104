// Known-answer self-test of the digests, MACs, RC4 and the key derivation.
#include "security/qv2_crypto.h"

#include <cstdio>
#include <cstring>

namespace {

// Counts a failure unless `got` (n bytes) reads as the lowercase hex text `want`.
void check(int *failures, const uint8_t *got, size_t n, const char *want) {
    char hex[2 * 64 + 1];
    for (size_t i = 0; i < n; i++)
        snprintf(hex + 2 * i, 3, "%02x", got[i]);
    hex[2 * n] = '\0';
    if (strcmp(hex, want) != 0) (*failures)++;
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

    return failures == 0 ? 0 : -1;
}
