// HMAC-SHA256 and HMAC-MD5 against RFC 4231 and RFC 2202, and the rule that
// keys longer than one block are hashed first.
#include "security/qv2_crypto.h"
#include "support/builders/wire.h"

#include <gtest/gtest.h>

#include <algorithm>

using smb2::Bytes;
using smb2::bytes_of;
using smb2::hex;

namespace {

struct MacCase {
    Bytes key;
    Bytes data;
    const char *mac;
};

std::string hmac256_streamed(const Bytes &key, const Bytes &data, size_t piece) {
    qv2_hmac256_ctx h;
    qv2_hmac256_init(&h, key.data(), key.size());
    for (size_t off = 0; off < data.size(); off += piece)
        qv2_hmac256_update(&h, data.data() + off, std::min(piece, data.size() - off));
    uint8_t out[32];
    qv2_hmac256_final(&h, out);
    return hex(out, 32);
}

std::string hmacmd5_streamed(const Bytes &key, const Bytes &data, size_t piece) {
    qv2_hmacmd5_ctx h;
    qv2_hmacmd5_init(&h, key.data(), key.size());
    for (size_t off = 0; off < data.size(); off += piece)
        qv2_hmacmd5_update(&h, data.data() + off, std::min(piece, data.size() - off));
    uint8_t out[16];
    qv2_hmacmd5_final(&h, out);
    return hex(out, 16);
}

Bytes filled(size_t n, uint8_t v) {
    return Bytes(n, v);
}

Bytes counting(size_t n) {
    Bytes b;
    for (size_t i = 1; i <= n; i++)
        b.push_back(uint8_t(i));
    return b;
}

} // namespace

TEST(Hmac, Sha256MatchesRfc4231OneShotAndStreamed) {
    const MacCase v[] = {
        {filled(20, 0x0b), bytes_of("Hi There"),
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {bytes_of("Jefe"), bytes_of("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {filled(20, 0xaa), filled(50, 0xdd),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {counting(25), filled(50, 0xcd),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {filled(131, 0xaa), bytes_of("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {filled(131, 0xaa),
         bytes_of("This is a test using a larger than block-size key and a larger than "
                  "block-size data. The key needs to be hashed before being used by the HMAC "
                  "algorithm."),
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const MacCase &t : v) {
        uint8_t out[32];
        qv2_hmac256(t.key.data(), t.key.size(), t.data.data(), t.data.size(), out);
        EXPECT_EQ(hex(out, 32), t.mac);
        EXPECT_EQ(hmac256_streamed(t.key, t.data, 1), t.mac);
        EXPECT_EQ(hmac256_streamed(t.key, t.data, 64), t.mac);
    }
    // Test case 5 publishes only the first 128 bits.
    uint8_t out[32];
    Bytes data = bytes_of("Test With Truncation");
    qv2_hmac256(filled(20, 0x0c).data(), 20, data.data(), data.size(), out);
    EXPECT_EQ(hex(out, 16), "a3b6167473100ee06e0c796c2955552b");
}

TEST(Hmac, Md5MatchesRfc2202OneShotAndStreamed) {
    const MacCase v[] = {
        {filled(16, 0x0b), bytes_of("Hi There"), "9294727a3638bb1c13f48ef8158bfc9d"},
        {bytes_of("Jefe"), bytes_of("what do ya want for nothing?"),
         "750c783e6ab0b503eaa86e310a5db738"},
        {filled(16, 0xaa), filled(50, 0xdd), "56be34521d144c88dbb8c733f0e8b3f6"},
        {counting(25), filled(50, 0xcd), "697eaf0aca3a3aea3a75164746ffaa79"},
        {filled(16, 0x0c), bytes_of("Test With Truncation"), "56461ef2342edc00f9bab995690efd4c"},
        {filled(80, 0xaa), bytes_of("Test Using Larger Than Block-Size Key - Hash Key First"),
         "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {filled(80, 0xaa),
         bytes_of("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
         "6f630fad67cda0ee1fb1f562db3aa53e"},
    };
    for (const MacCase &t : v) {
        uint8_t out[16];
        qv2_hmacmd5(t.key.data(), t.key.size(), t.data.data(), t.data.size(), out);
        EXPECT_EQ(hex(out, 16), t.mac);
        EXPECT_EQ(hmacmd5_streamed(t.key, t.data, 1), t.mac);
        EXPECT_EQ(hmacmd5_streamed(t.key, t.data, 7), t.mac);
    }
}

TEST(Hmac, EmptyKeyAndEmptyMessageAreAccepted) {
    uint8_t out[32];
    qv2_hmac256(nullptr, 0, nullptr, 0, out);
    EXPECT_EQ(hex(out, 32), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
    qv2_hmacmd5(nullptr, 0, nullptr, 0, out);
    EXPECT_EQ(hex(out, 16), "74e6f7298a9c2d168935f58c001bad88");
}

TEST(Hmac, KeyOf64BytesIsUsedAsItIsAnd65BytesIsHashedFirst) {
    const Bytes msg = bytes_of("block boundary");
    Bytes k64 = counting(64), k65 = counting(65);

    // 64 bytes: HMAC(K) = H((K ^ opad) || H((K ^ ipad) || m)), K unhashed.
    Bytes inner, outer;
    for (uint8_t b : k64)
        inner.push_back(b ^ 0x36);
    for (uint8_t b : k64)
        outer.push_back(b ^ 0x5c);
    inner.insert(inner.end(), msg.begin(), msg.end());
    uint8_t ih[32], want[32], got[32];
    qv2_sha256(inner.data(), inner.size(), ih);
    outer.insert(outer.end(), ih, ih + 32);
    qv2_sha256(outer.data(), outer.size(), want);
    qv2_hmac256(k64.data(), 64, msg.data(), msg.size(), got);
    EXPECT_EQ(hex(got, 32), hex(want, 32));
    uint8_t d64[32];
    qv2_sha256(k64.data(), 64, d64);
    qv2_hmac256(d64, 32, msg.data(), msg.size(), want);
    EXPECT_NE(hex(got, 32), hex(want, 32));

    // 65 bytes: the same MAC as its digest used as the key.
    uint8_t d65[32];
    qv2_sha256(k65.data(), 65, d65);
    qv2_hmac256(k65.data(), 65, msg.data(), msg.size(), got);
    qv2_hmac256(d65, 32, msg.data(), msg.size(), want);
    EXPECT_EQ(hex(got, 32), hex(want, 32));

    uint8_t m65[16], g5[16], w5[16], g4[16], w4[16];
    qv2_md5(k65.data(), 65, m65);
    qv2_hmacmd5(k65.data(), 65, msg.data(), msg.size(), g5);
    qv2_hmacmd5(m65, 16, msg.data(), msg.size(), w5);
    EXPECT_EQ(hex(g5, 16), hex(w5, 16));
    uint8_t m64[16];
    qv2_md5(k64.data(), 64, m64);
    qv2_hmacmd5(k64.data(), 64, msg.data(), msg.size(), g4);
    qv2_hmacmd5(m64, 16, msg.data(), msg.size(), w4);
    EXPECT_NE(hex(g4, 16), hex(w4, 16));
}
