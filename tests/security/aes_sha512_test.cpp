// The SMB 3 primitives against published vectors (RFC 4493 for AES-CMAC, the
// McGrew and Viega's GCM test cases 4 and 16 and NIST CAVP gcmEncryptExtIV128
// for GCM and GMAC, FIPS 180-2 for SHA-512), and the refusals of a message
// that was changed on the way.
#include "security/qv2_smb3_crypto.h"
#include "support/builders/wire.h"

#include "dirir2i.h"

#include <gtest/gtest.h>

#include <algorithm>

using smb2::Bytes;
using smb2::from_hex;
using smb2::hex;

namespace {

const char *const kRfc4493Msg = "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                                "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";

std::string cmac_in_pieces(qv2_cmac_ctx *c, const Bytes &msg, size_t cut1, size_t cut2) {
    qv2_span parts[3] = {{msg.data(), cut1},
                         {msg.data() + cut1, cut2 - cut1},
                         {msg.data() + cut2, msg.size() - cut2}};
    uint8_t mac[16];
    EXPECT_EQ(qv2_cmac_sign(c, parts, 3, mac), DIRIR2I_OK);
    return hex(mac, 16);
}

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = uint8_t(i * 7 + 3);
    return b;
}

} // namespace

// RFC 4493 section 4: empty, one block, a partial last block, four blocks;
// each also split into three pieces at block and non-block boundaries, on one
// context reused across messages.
TEST(AesCmac, Rfc4493ExamplesWholeAndInPieces) {
    struct Case {
        size_t len;
        const char *mac;
    } cases[] = {{0, "bb1d6929e9593728 7fa37d129b756746"},
                 {16, "070a16b46b4d4144f79bdd9dd04a287c"},
                 {40, "dfa66747de9ae63030ca32611497c827"},
                 {64, "51f0bebf7e3b9d92fc49741779363cfe"}};
    Bytes key = from_hex("2b7e151628aed2a6abf7158809cf4f3c");
    qv2_cmac_ctx c{};
    ASSERT_EQ(qv2_cmac_init(&c, key.data()), DIRIR2I_OK);
    for (const Case &k : cases) {
        Bytes msg = from_hex(kRfc4493Msg);
        msg.resize(k.len);
        std::string want = hex(from_hex(k.mac));
        uint8_t mac[16];
        ASSERT_EQ(qv2_cmac(key.data(), msg.data(), msg.size(), mac), DIRIR2I_OK);
        EXPECT_EQ(hex(mac, 16), want) << k.len;
        for (size_t cut : {size_t(0), size_t(1), size_t(16), size_t(17)})
            EXPECT_EQ(cmac_in_pieces(&c, msg, std::min(cut, k.len), k.len), want) << k.len;
    }
    qv2_cmac_free(&c);
    qv2_cmac_free(&c); // a second free is harmless
    EXPECT_EQ(c.mac, nullptr);
}

// GMAC is a GCM tag over additional data alone (CAVP PTlen=0 AADlen=128,
// counts 0 and 1; McGrew and Viega's GCM test case 1 for an empty message).
TEST(AesGmac, NistAadOnlyVectorsWholeAndInPieces) {
    struct Case {
        const char *key, *nonce, *aad, *tag;
    } cases[] = {
        {"77be63708971c4e240d1cb79e8d77feb", "e0e00f19fed7ba0136a797f3",
         "7a43ec1d9c0a5a78a0b16533a6213cab", "209fcc8d3675ed938e9c7166709dd946"},
        {"7680c5d3ca6154758e510f4d25b98820", "f8f105f9c3df4965780321f8",
         "c94c410194c765e3dcc7964379758ed3", "94dca8edfcf90bb74b153c8d48a17930"},
        {"00000000000000000000000000000000", "000000000000000000000000", "",
         "58e2fccefa7e3061367f1d57a4e7455a"},
    };
    for (const Case &k : cases) {
        Bytes key = from_hex(k.key), nonce = from_hex(k.nonce), aad = from_hex(k.aad);
        qv2_gmac_ctx c{};
        ASSERT_EQ(qv2_gmac_init(&c, key.data()), DIRIR2I_OK);
        size_t half = aad.size() / 2 + 1;
        qv2_span whole = {aad.data(), aad.size()};
        qv2_span split[2] = {
            {aad.data(), std::min(half, aad.size())},
            {aad.data() + std::min(half, aad.size()), aad.size() - std::min(half, aad.size())}};
        uint8_t mac[16];
        for (int round = 0; round < 2; round++) { // the second reuses the context
            ASSERT_EQ(qv2_gmac_sign(&c, nonce.data(), round ? split : &whole, round ? 2 : 1, mac),
                      DIRIR2I_OK);
            EXPECT_EQ(hex(mac, 16), k.tag) << k.key << " round " << round;
        }
        qv2_gmac_free(&c);
    }
}

// McGrew and Viega's GCM test cases 4 (AES-128) and 16 (AES-256): 60 bytes
// of plaintext and 20 of additional data, neither a whole number of blocks.
TEST(AesAead, GcmTestCases4And16SealAndOpenInPlace) {
    const char *plain = "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
                        "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39";
    struct Case {
        uint16_t cipher;
        const char *key, *cipher_text, *tag;
    } cases[] = {
        {QV2_CIPHER_AES128_GCM, "feffe9928665731c6d6a8f9467308308",
         "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e"
         "21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091",
         "5bc94fbc3221a5db94fae95ae7121a47"},
        {QV2_CIPHER_AES256_GCM, "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
         "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
         "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662",
         "76fc6ece0f4e1768cddf8853bb2d551b"},
    };
    Bytes nonce = from_hex("cafebabefacedbaddecaf888");
    Bytes aad = from_hex("feedfacedeadbeeffeedfacedeadbeefabaddad2");
    for (const Case &k : cases) {
        Bytes key = from_hex(k.key), buf = from_hex(plain);
        qv2_aead_ctx seal{}, open{};
        ASSERT_EQ(qv2_aead_init(&seal, k.cipher, QV2_AEAD_SEAL, key.data(), key.size()),
                  DIRIR2I_OK);
        ASSERT_EQ(qv2_aead_init(&open, k.cipher, QV2_AEAD_OPEN, key.data(), key.size()),
                  DIRIR2I_OK);
        uint8_t tag[16];
        ASSERT_EQ(qv2_aead_seal(&seal, nonce.data(), 12, aad.data(), aad.size(), buf.data(),
                                buf.size(), tag),
                  DIRIR2I_OK);
        EXPECT_EQ(hex(buf), k.cipher_text);
        EXPECT_EQ(hex(tag, 16), k.tag);
        // A context keyed to seal refuses to open, and leaves nothing behind.
        Bytes copy = buf;
        EXPECT_EQ(qv2_aead_open(&seal, nonce.data(), 12, aad.data(), aad.size(), copy.data(),
                                copy.size(), tag),
                  DIRIR2I_EARG);
        EXPECT_EQ(copy, Bytes(copy.size(), 0));
        ASSERT_EQ(qv2_aead_open(&open, nonce.data(), 12, aad.data(), aad.size(), buf.data(),
                                buf.size(), tag),
                  DIRIR2I_OK);
        EXPECT_EQ(hex(buf), plain);
        qv2_aead_free(&seal);
        qv2_aead_free(&open);
    }
}

// Any change to the ciphertext, tag, additional data or nonce, or the wrong
// key, is refused with the buffer wiped; every cipher, and a message of 8 MiB
// and a few bytes (past any block or chunk boundary).
TEST(AesAead, ChangedMessagesAreRefusedAndLeaveNoPlaintext) {
    enum What { kNothing, kCipherText, kTag, kAad, kNonce, kKey };
    for (uint16_t cipher : {QV2_CIPHER_AES128_CCM, QV2_CIPHER_AES128_GCM, QV2_CIPHER_AES256_CCM,
                            QV2_CIPHER_AES256_GCM}) {
        int klen = qv2_aead_key_len(cipher), nlen = qv2_aead_nonce_len(cipher);
        Bytes key = pattern(size_t(klen)), other_key = key, nonce = pattern(16), aad = pattern(32);
        other_key[3] ^= 1;
        qv2_aead_ctx seal{}, open{}, wrong{};
        ASSERT_EQ(qv2_aead_init(&seal, cipher, QV2_AEAD_SEAL, key.data(), key.size()), DIRIR2I_OK);
        ASSERT_EQ(qv2_aead_init(&open, cipher, QV2_AEAD_OPEN, key.data(), key.size()), DIRIR2I_OK);
        ASSERT_EQ(qv2_aead_init(&wrong, cipher, QV2_AEAD_OPEN, other_key.data(), key.size()),
                  DIRIR2I_OK);
        for (size_t len : {size_t(1), size_t(64 + 71), (size_t(8) << 20) + 5}) {
            const Bytes plain = pattern(len);
            for (What what : {kNothing, kCipherText, kTag, kAad, kNonce, kKey}) {
                Bytes buf = plain, a = aad, n = nonce;
                uint8_t tag[16];
                ASSERT_EQ(qv2_aead_seal(&seal, n.data(), nlen, a.data(), a.size(), buf.data(),
                                        buf.size(), tag),
                          DIRIR2I_OK);
                ASSERT_NE(buf, plain);
                if (what == kCipherText) buf[len / 2] ^= 0x80;
                if (what == kTag) tag[15] ^= 1;
                if (what == kAad) a[31] ^= 1;
                if (what == kNonce) n[size_t(nlen) - 1] ^= 1;
                int rc = qv2_aead_open(what == kKey ? &wrong : &open, n.data(), nlen, a.data(),
                                       a.size(), buf.data(), buf.size(), tag);
                if (what == kNothing) {
                    EXPECT_EQ(rc, DIRIR2I_OK);
                    EXPECT_TRUE(buf == plain) << cipher << " len " << len;
                } else {
                    EXPECT_EQ(rc, DIRIR2I_EARG) << cipher << " change " << what;
                    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t b) { return !b; }))
                        << cipher << " change " << what << " left bytes behind";
                }
            }
        }
        // The other cipher family's nonce length is refused, and so is an
        // empty message; neither touches libcrypto.
        Bytes buf = pattern(64);
        uint8_t tag[16];
        EXPECT_EQ(
            qv2_aead_seal(&seal, nonce.data(), 23 - nlen, aad.data(), 32, buf.data(), 64, tag),
            DIRIR2I_EARG);
        EXPECT_EQ(buf, Bytes(64, 0));
        EXPECT_EQ(qv2_aead_seal(&seal, nonce.data(), nlen, aad.data(), 32, buf.data(), 0, tag),
                  DIRIR2I_EARG);
        for (qv2_aead_ctx *c : {&seal, &open, &wrong})
            qv2_aead_free(c);
    }
    qv2_aead_ctx c{};
    Bytes key = pattern(32);
    EXPECT_EQ(qv2_aead_init(&c, 5, QV2_AEAD_SEAL, key.data(), 16), DIRIR2I_EARG);
    EXPECT_EQ(qv2_aead_init(&c, QV2_CIPHER_AES256_GCM, QV2_AEAD_SEAL, key.data(), 16),
              DIRIR2I_EARG);
    EXPECT_EQ(c.evp, nullptr);
}

// FIPS 180-2 appendix C: "abc" and the two-block message; whole, and one
// byte at a time through a restarted context.
TEST(Sha512, Fips180Examples) {
    struct Case {
        std::string msg;
        const char *digest;
    } cases[] = {
        {"abc", "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
         "klmnopqrlmnopqrsmnopqrstnopqrstu",
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
         "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
    };
    qv2_sha512_ctx c{};
    for (const Case &k : cases) {
        uint8_t out[64];
        ASSERT_EQ(qv2_sha512(k.msg.data(), k.msg.size(), out), DIRIR2I_OK);
        EXPECT_EQ(hex(out, 64), k.digest);
        ASSERT_EQ(qv2_sha512_init(&c), DIRIR2I_OK);
        for (char ch : k.msg)
            ASSERT_EQ(qv2_sha512_update(&c, &ch, 1), DIRIR2I_OK);
        ASSERT_EQ(qv2_sha512_final(&c, out), DIRIR2I_OK);
        EXPECT_EQ(hex(out, 64), k.digest);
    }
    qv2_sha512_free(&c);
}
