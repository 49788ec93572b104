// MD4, MD5 and SHA-256 against their published vectors, and the padding
// boundaries where a second block is needed.
#include "security/qv2_crypto.h"
#include "support/builders/wire.h"

#include <gtest/gtest.h>

#include <cstring>

using smb2::hex;

namespace {

struct Vector {
    std::string input;
    const char *digest;
};

// The FIPS 180-4 two-block example; its prefixes exercise every padding case.
const std::string kLong = "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnop"
                          "jklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";

std::string md4_hex(const std::string &s) {
    uint8_t out[16];
    qv2_md4(s.data(), s.size(), out);
    return hex(out, 16);
}

std::string md5_hex(const std::string &s) {
    uint8_t out[16];
    qv2_md5(s.data(), s.size(), out);
    return hex(out, 16);
}

std::string sha256_at_once(const std::string &s) {
    qv2_sha256_ctx c;
    qv2_sha256_init(&c);
    qv2_sha256_update(&c, s.data(), s.size());
    uint8_t out[32];
    qv2_sha256_final(&c, out);
    return hex(out, 32);
}

std::string sha256_byte_by_byte(const std::string &s) {
    qv2_sha256_ctx c;
    qv2_sha256_init(&c);
    for (char ch : s)
        qv2_sha256_update(&c, &ch, 1);
    qv2_sha256_update(&c, "", 0);
    uint8_t out[32];
    qv2_sha256_final(&c, out);
    return hex(out, 32);
}

} // namespace

TEST(Digest, Md4MatchesTheRfc1320TestSuite) {
    const Vector v[] = {
        {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
        {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
        {"message digest", "d9130a8164549fe818874806e1c7014b"},
        {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "043f8582f241db351ce627e153e7f0e4"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "e33b4ddc9c38f2199c3e7b164fcc0536"},
    };
    for (const Vector &t : v)
        EXPECT_EQ(md4_hex(t.input), t.digest) << t.input;
}

TEST(Digest, Md5MatchesTheRfc1321TestSuite) {
    const Vector v[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Vector &t : v)
        EXPECT_EQ(md5_hex(t.input), t.digest) << t.input;
}

TEST(Digest, Md4AndMd5PadCorrectlyAroundTheBlockBoundary) {
    // A remainder of 56 or more bytes needs an extra padding block.
    struct {
        size_t n;
        const char *md4, *md5;
    } v[] = {
        {55, "3c96f7443ea5b9b586f03d3fdf4e8e72", "23def6a97678e481a5f6c5afe9c60988"},
        {56, "de7cfe9059c612b3ec3beb7d602068f0", "2a745e5e842e564a443a717111991c3a"},
        {63, "de6c64cb304069895b2ee25e81475c8b", "54a2fbb6d9b09b5f91760dc621ca4fb1"},
        {64, "025e6dc9825f2c1dd5c450e2dd0eb683", "2782e38354c31d1b1d6dfb6f4ccb2d2e"},
        {65, "416cebee50c926c24528790cc226c0a8", "981aab497cec65145748f248d4fe5b37"},
        {112, "2102d1d94bd58ebf5aa25c305bb783ad", "03dd8807a93175fb062dfb55dc7d359c"},
    };
    for (const auto &t : v) {
        EXPECT_EQ(md4_hex(kLong.substr(0, t.n)), t.md4) << t.n;
        EXPECT_EQ(md5_hex(kLong.substr(0, t.n)), t.md5) << t.n;
    }
}

TEST(Digest, Sha256MatchesTheFips180Examples) {
    EXPECT_EQ(sha256_at_once("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_at_once(""),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_at_once("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256_at_once(kLong),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    uint8_t out[32];
    qv2_sha256("abc", 3, out);
    EXPECT_EQ(hex(out, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Digest, Sha256PadsCorrectlyWhetherFedAtOnceOrByteByByte) {
    struct {
        size_t n;
        const char *digest;
    } v[] = {
        {55, "4243974b4dd5dcbe9952db216e4e399d1d1a21d0bc15d6197aa93a12136cef55"},
        {56, "078c0dfc3278fd7759920f5cca94c6d55db2c694510f6e26a8fe5c5b50a4f417"},
        {63, "6e406c4796591ba9868fe98f1c8201e06c6d8b55d273f17fdd957d1288a31d85"},
        {64, "2ff100b36c386c65a1afc462ad53e25479bec9498ed00aa5a04de584bc25301b"},
        {65, "c9921c3698ec01ddbeff794e96e28e9d47ef23c08618553c9b345fe6c55d3562"},
        {111, "a1f8892caff6d17a915a750bf28df3ce68f77b75209f8f96f7ad4a037e9a635f"},
    };
    for (const auto &t : v) {
        std::string in = kLong.substr(0, t.n);
        EXPECT_EQ(sha256_at_once(in), t.digest) << t.n;
        EXPECT_EQ(sha256_byte_by_byte(in), t.digest) << t.n;
    }
}

TEST(Digest, Sha256OfOneMillionLettersAFedInUnevenPieces) {
    std::string chunk(997, 'a');
    qv2_sha256_ctx c;
    qv2_sha256_init(&c);
    size_t left = 1000000;
    for (size_t step = 1; left > 0; step = step % 983 + 13) { // 1..996 bytes
        size_t n = step < left ? step : left;
        qv2_sha256_update(&c, chunk.data(), n);
        left -= n;
    }
    uint8_t out[32];
    qv2_sha256_final(&c, out);
    EXPECT_EQ(hex(out, 32), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}
