// RC4 against RFC 6229 and the SP 800-108 counter-mode derivation's input
// layout.
#include "security/qv2_crypto.h"
#include "support/builders/wire.h"

#include <gtest/gtest.h>

#include <cstring>

using smb2::Bytes;
using smb2::bytes_of;
using smb2::from_hex;
using smb2::hex;

namespace {

Bytes keystream(const Bytes &key, size_t n) {
    qv2_rc4_state st;
    qv2_rc4_init(&st, key.data(), key.size());
    Bytes out(n, 0);
    qv2_rc4(&st, out.data(), n);
    return out;
}

Bytes kdf(const Bytes &key, const char *label, const Bytes &context, size_t outlen) {
    Bytes out(outlen + 8, 0xee); // the tail shows what was written past outlen
    qv2_kdf_ctr_hmacsha256(key.data(), key.size(), label, context.data(), context.size(),
                           out.data(), outlen);
    for (size_t i = outlen; i < out.size(); i++)
        EXPECT_EQ(out[i], 0xee) << "wrote past outlen";
    out.resize(outlen);
    return out;
}

Bytes counting16() {
    Bytes k;
    for (int i = 0; i < 16; i++)
        k.push_back(uint8_t(i));
    return k;
}

} // namespace

TEST(Rc4, KeystreamMatchesRfc6229AtSeveralOffsets) {
    Bytes ks = keystream(from_hex("0102030405"), 528);
    EXPECT_EQ(hex(ks.data() + 0, 16), "b2396305f03dc027ccc3524a0a1118a8");
    EXPECT_EQ(hex(ks.data() + 16, 16), "6982944f18fc82d589c403a47a0d0919");
    EXPECT_EQ(hex(ks.data() + 240, 16), "28cb1132c96ce286421dcaadb8b69eae");
    EXPECT_EQ(hex(ks.data() + 256, 16), "1cfcf62b03eddb641d77dfcf7f8d8c93");
    EXPECT_EQ(hex(ks.data() + 496, 16), "42b7d0cdd918a8a33dd51781c81f4041");
    EXPECT_EQ(hex(ks.data() + 512, 16), "6459844432a7da923cfb3eb4980661f6");

    Bytes ks128 = keystream(from_hex("0102030405060708090a0b0c0d0e0f10"), 32);
    EXPECT_EQ(hex(ks128), "9ac7cc9a609d1ef7b2932899cde41b975248c4959014126a6e8a84f11d1a9e1c");
}

TEST(Rc4, PositionCarriesAcrossCallsAndASecondPassDecrypts) {
    Bytes key = from_hex("0102030405060708090a0b0c0d0e0f10");
    Bytes whole = keystream(key, 16);
    qv2_rc4_state st;
    qv2_rc4_init(&st, key.data(), key.size());
    Bytes halves(16, 0);
    qv2_rc4(&st, halves.data(), 8);
    qv2_rc4(&st, halves.data() + 8, 8);
    EXPECT_EQ(hex(halves), hex(whole));

    Bytes plain = bytes_of("exported session");
    Bytes buf = plain;
    qv2_rc4_init(&st, key.data(), key.size());
    qv2_rc4(&st, buf.data(), buf.size());
    EXPECT_NE(buf, plain);
    qv2_rc4_init(&st, key.data(), key.size());
    qv2_rc4(&st, buf.data(), buf.size());
    EXPECT_EQ(buf, plain);
}

TEST(Kdf, SigningKeyVectorUsesTheLabelTerminatorAsTheOnlySeparator) {
    Bytes ctx = bytes_of(std::string("SmbSign", 8));
    EXPECT_EQ(hex(kdf(Bytes(16, 0), "SMB2AESCMAC", ctx, 16)), "0d7203b6f675f05ec74d9706141e0cac");

    // With a null label the input is counter, context, L: putting the label
    // and its one zero byte into the context reproduces the same block, and
    // a second zero byte changes it.
    Bytes one_zero = bytes_of(std::string("SMB2AESCMAC\0SmbSign\0", 20));
    EXPECT_EQ(hex(kdf(Bytes(16, 0), nullptr, one_zero, 16)), "0d7203b6f675f05ec74d9706141e0cac");
    Bytes two_zeros = bytes_of(std::string("SMB2AESCMAC\0\0SmbSign\0", 21));
    EXPECT_EQ(hex(kdf(Bytes(16, 0), nullptr, two_zeros, 16)), "9951088b83220f39d99420419d16d393");
}

TEST(Kdf, FortyBytesAreTheFirstBlockAndEightBytesOfTheSecondBothWithL128) {
    Bytes ctx = bytes_of(std::string("SmbSign", 8));
    Bytes out = kdf(counting16(), "SMB2AESCMAC", ctx, 40);
    EXPECT_EQ(hex(out), "d3ae02925b058c68b16d609099d64d1684b457d73acda2d05a5cf264fcd3c949"
                        "853ba80cb6537f8f");
    EXPECT_EQ(hex(kdf(counting16(), "SMB2AESCMAC", ctx, 16)), hex(out).substr(0, 32));

    EXPECT_EQ(hex(kdf(counting16(), nullptr, ctx, 40)),
              "3eaa92f4ad8dda760511ca75d8356fac92f92a1801a965b63eef955dfdd2ba9dcd8cc903da582cc5");
    // An empty label still contributes its zero byte.
    EXPECT_EQ(hex(kdf(counting16(), "", bytes_of("ctx"), 16)), "dd49c57ce3bd1c9c8bb8a3fc72a5f9dc");
}

TEST(Kdf, ZeroOutputLengthWritesNothing) {
    EXPECT_TRUE(kdf(counting16(), "x", {}, 0).empty());
}
