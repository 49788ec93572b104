#include "foundation/qv2_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Parses and formats back; "FAIL" when the text does not parse.
std::string roundtrip(const char *text, int *family = nullptr) {
    qv2_ip ip;
    if (qv2_ip_parse(text, &ip) != 0) return "FAIL";
    if (family) *family = ip.family;
    char out[64];
    qv2_ip_format(&ip, out, sizeof out);
    return out;
}

qv2_ip ip(const char *text) {
    qv2_ip a;
    EXPECT_EQ(qv2_ip_parse(text, &a), 0) << text;
    return a;
}

TEST(IpParse, DottedQuadsAreStrict) {
    EXPECT_EQ(roundtrip("01.002.3.4"), "1.2.3.4");
    for (const char *bad : {"1.2.3", "1.2.3.4.5", "256.0.0.1", "1..2.3", " 1.2.3.4", "1.2.3.4:80",
                            "1.2.3.4 ", "1234.1.1.1", "", "1.2.3.-4"})
        EXPECT_EQ(roundtrip(bad), "FAIL") << bad;
    qv2_ip a;
    EXPECT_EQ(qv2_ip_parse(nullptr, &a), -1);
}

TEST(IpParse, BracketsAndZonesAreDropped) {
    int fam = 0;
    EXPECT_EQ(roundtrip("[::1]", &fam), "::1");
    EXPECT_EQ(fam, 6);
    qv2_ip lo = ip("[::1]");
    EXPECT_TRUE(qv2_ip_is_loopback(&lo));
    EXPECT_EQ(roundtrip("[10.0.0.1]", &fam), "10.0.0.1");
    EXPECT_EQ(fam, 4);
    EXPECT_EQ(roundtrip("fe80::1%eth0"), "fe80::1");
    EXPECT_EQ(roundtrip("["), "FAIL");
}

TEST(IpParse, MappedAddressesBecomeIpv4) {
    int fam = 0;
    EXPECT_EQ(roundtrip("::ffff:10.0.0.1", &fam), "10.0.0.1");
    EXPECT_EQ(fam, 4);
    EXPECT_EQ(roundtrip("::FFFF:a00:1", &fam), "10.0.0.1");
    EXPECT_EQ(roundtrip("::10.0.0.1", &fam), "::a00:1");
    EXPECT_EQ(fam, 6);
    qv2_ip m = ip("::ffff:127.0.0.1");
    EXPECT_EQ(m.family, 4);
    EXPECT_TRUE(qv2_ip_is_loopback(&m));
}

TEST(IpParse, GroupCountsAndDoubleColons) {
    EXPECT_EQ(roundtrip("1:2:3:4:5:6:7:8"), "1:2:3:4:5:6:7:8");
    EXPECT_EQ(roundtrip("1:2:3:4:5:6:7::8"), "FAIL");
    EXPECT_EQ(roundtrip("1::2::3"), "FAIL");
    EXPECT_EQ(roundtrip("1:2:3:4:5:6:7::"), "1:2:3:4:5:6:7:0");
    EXPECT_EQ(roundtrip("1:2:3:4:5:6:1.2.3.4"), "1:2:3:4:5:6:102:304");
    EXPECT_EQ(roundtrip("1:2:3:4:5:6:7:1.2.3.4"), "FAIL");
    EXPECT_EQ(roundtrip("::"), "::");
    for (const char *bad : {":1::", "1::2:", ":::", "1:2:3:4:5:6:7", "12345::", "g::1", "1.2.3.4::",
                            "1:2:3:4:5:6:7:8:9", "::1.2.3"})
        EXPECT_EQ(roundtrip(bad), "FAIL") << bad;
}

TEST(IpFormat, CompressesTheLongestZeroRunOnly) {
    EXPECT_EQ(roundtrip("0:0:1:0:0:0:1:0"), "0:0:1::1:0");
    EXPECT_EQ(roundtrip("1:0:0:2:0:0:3:4"), "1::2:0:0:3:4");
    EXPECT_EQ(roundtrip("1:0:2:3:4:5:6:7"), "1:0:2:3:4:5:6:7");
    EXPECT_EQ(roundtrip("2001:DB8:0:0:0:0:0:1"), "2001:db8::1");
    qv2_ip a = ip("2001:db8::1");
    char tiny[5];
    qv2_ip_format(&a, tiny, sizeof tiny);
    EXPECT_STREQ(tiny, "2001"); // cut to the caller's area, still terminated
}

TEST(IpCompare, LoopbackAndEquality) {
    qv2_ip a = ip("127.255.0.9"), b = ip("::2"), c = ip("192.168.1.10");
    EXPECT_TRUE(qv2_ip_is_loopback(&a));
    EXPECT_FALSE(qv2_ip_is_loopback(&b));
    EXPECT_FALSE(qv2_ip_is_loopback(&c));
    qv2_ip d = ip("::ffff:192.168.1.10");
    EXPECT_TRUE(qv2_ip_equal(&c, &d));
    EXPECT_FALSE(qv2_ip_equal(&b, &c));
}

TEST(Cidr, ParsesMasksAndMatches) {
    qv2_cidr e;
    ASSERT_EQ(qv2_cidr_parse("192.168.1.77/24", &e), 0);
    char text[64];
    qv2_ip_format(&e.ip, text, sizeof text);
    EXPECT_STREQ(text, "192.168.1.0");
    EXPECT_EQ(e.prefix, 24);
    qv2_ip in = ip("192.168.1.200"), out = ip("192.168.2.1"), v6 = ip("::1");
    EXPECT_EQ(qv2_cidr_match(&e, &in), 1);
    EXPECT_EQ(qv2_cidr_match(&e, &out), 0);
    EXPECT_EQ(qv2_cidr_match(&e, &v6), 0);

    for (const char *bad : {"10.0.0.0/33", "10.0.0.0/", "10.0.0.0/x", "10.0.0.0/0024", "/8",
                            "::/129", "::ffff:10.0.0.0/95", "nonsense"})
        EXPECT_EQ(qv2_cidr_parse(bad, &e), -1) << bad;

    ASSERT_EQ(qv2_cidr_parse("0.0.0.0/0", &e), 0);
    qv2_ip any = ip("203.0.113.9");
    EXPECT_EQ(qv2_cidr_match(&e, &any), 1);
    ASSERT_EQ(qv2_cidr_parse("10.1.2.3", &e), 0);
    EXPECT_EQ(e.prefix, 32);
    ASSERT_EQ(qv2_cidr_parse("fe80::1", &e), 0);
    EXPECT_EQ(e.prefix, 128);
}

TEST(Cidr, PartialBytesAndMappedEntries) {
    qv2_cidr e;
    ASSERT_EQ(qv2_cidr_parse("10.0.0.0/12", &e), 0);
    qv2_ip a = ip("10.15.255.255"), b = ip("10.16.0.0");
    EXPECT_EQ(qv2_cidr_match(&e, &a), 1);
    EXPECT_EQ(qv2_cidr_match(&e, &b), 0);

    ASSERT_EQ(qv2_cidr_parse("::ffff:10.0.0.0/104", &e), 0);
    EXPECT_EQ(e.ip.family, 4);
    EXPECT_EQ(e.prefix, 8);
    qv2_ip c = ip("10.200.1.1");
    EXPECT_EQ(qv2_cidr_match(&e, &c), 1);

    ASSERT_EQ(qv2_cidr_parse("2001:db8:abcd::/33", &e), 0);
    qv2_ip d = ip("2001:db8:8000::1"), f = ip("2001:db8:7fff::1");
    EXPECT_EQ(qv2_cidr_match(&e, &d), 1);
    EXPECT_EQ(qv2_cidr_match(&e, &f), 0);
}

TEST(HexText, DecodesAroundWhitespaceAndRefusesOddOrForeignDigits) {
    uint8_t out[8];
    uint64_t n = 99;
    std::string text = "0a 0B\n0c";
    ASSERT_EQ(qv2_hex_decode(text.data(), text.size(), out, sizeof out, &n), 0);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(out[0], 0x0a);
    EXPECT_EQ(out[1], 0x0b);
    EXPECT_EQ(out[2], 0x0c);
    ASSERT_EQ(qv2_hex_decode("0 a", 3, out, sizeof out, &n), 0);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(out[0], 0x0a);
    EXPECT_EQ(qv2_hex_decode("abc", 3, out, sizeof out, &n), -1);
    EXPECT_EQ(n, 0u); // the count is only set on success
    EXPECT_EQ(qv2_hex_decode("0g", 2, out, sizeof out, &n), -1);
    EXPECT_EQ(qv2_hex_decode("000000", 6, out, 2, &n), -1);
    EXPECT_EQ(qv2_hex_decode("", 0, out, 0, &n), 0);
    EXPECT_EQ(n, 0u);
    // Without an output area the text is only validated.
    EXPECT_EQ(qv2_hex_decode("00112233445566778899", 20, nullptr, 0, &n), 0);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(qv2_hex_decode("\t00\r", 4, nullptr, 0, nullptr), 0);
}

TEST(HexText, EncodesLowercaseAndAppends) {
    qv2_buf b{};
    qv2_buf_str(&b, ">");
    const uint8_t bytes[] = {0x00, 0xAB, 0x7f, 0xff};
    qv2_hex_encode(bytes, sizeof bytes, &b);
    qv2_hex_encode(bytes, 0, &b);
    EXPECT_STREQ(reinterpret_cast<char *>(b.data), ">00ab7fff");
    qv2_buf_free(&b);
    qv2_hex_encode(bytes, 0, &b);
    EXPECT_EQ(b.data, nullptr); // nothing to add, nothing allocated
}

} // namespace
