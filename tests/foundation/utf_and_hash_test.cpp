#include "foundation/qv2_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> units(std::initializer_list<uint16_t> u) {
    std::vector<uint8_t> out;
    for (uint16_t v : u) {
        out.push_back(uint8_t(v));
        out.push_back(uint8_t(v >> 8));
    }
    return out;
}

int to_utf8(const std::vector<uint8_t> &in, std::string *out, int cap = 64) {
    std::string area(size_t(cap), '#');
    int n = qv2_utf16_to_utf8(in.data(), in.size(), area.data(), cap);
    if (n >= 0) *out = std::string(area.c_str());
    return n;
}

int to_utf16(const char *in, std::vector<uint8_t> *out, int cap = 64) {
    std::vector<uint8_t> area(static_cast<size_t>(cap) + 1);
    int32_t len = -1;
    int rc = qv2_utf8_to_utf16le(in, area.data(), cap, &len);
    if (rc == 0) out->assign(area.begin(), area.begin() + len);
    return rc;
}

TEST(Utf16ToUtf8, ConvertsAllFourLengthsAndSurrogatePairs) {
    std::string out;
    ASSERT_EQ(to_utf8(units({'A', 0xE9, 0x65E5, 0xD83D, 0xDE00}), &out), 1 + 2 + 3 + 4);
    EXPECT_EQ(out, "A\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80");
    ASSERT_EQ(to_utf8({}, &out, 1), 0);
    EXPECT_EQ(out, "");
}

TEST(Utf16ToUtf8, RefusesMalformedInput) {
    std::string out;
    std::vector<uint8_t> odd = {'a', 0, 'b'};
    EXPECT_EQ(to_utf8(odd, &out), -1);
    EXPECT_EQ(to_utf8(units({0xDC00}), &out), -1);      // lone low surrogate
    EXPECT_EQ(to_utf8(units({'a', 0xD83D}), &out), -1); // high surrogate at the end
    EXPECT_EQ(to_utf8(units({0xD83D, 'a'}), &out), -1); // not followed by a low one
    EXPECT_EQ(to_utf8(units({'a', 0, 'b'}), &out), -1); // embedded zero
}

TEST(Utf16ToUtf8, NeedsRoomForTheTerminator) {
    std::string out;
    EXPECT_EQ(to_utf8(units({0xD83D, 0xDE00}), &out, 4), -1);
    EXPECT_EQ(to_utf8(units({0xD83D, 0xDE00}), &out, 5), 4);
    EXPECT_EQ(to_utf8(units({0x65E5}), &out, 2), -1); // a character never splits
}

TEST(Utf8ToUtf16, ConvertsAndCountsBytes) {
    std::vector<uint8_t> out;
    ASSERT_EQ(to_utf16("\xc3\xa9", &out), 0);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xe9, 0x00}));
    ASSERT_EQ(to_utf16("a\xf0\x9f\x98\x80", &out), 0);
    EXPECT_EQ(out, units({'a', 0xD83D, 0xDE00}));
    ASSERT_EQ(to_utf16("", &out, 0), 0);
    EXPECT_TRUE(out.empty());
}

TEST(Utf8ToUtf16, RefusesMalformedInputAndLackOfRoom) {
    std::vector<uint8_t> out;
    EXPECT_EQ(to_utf16("\xed\xa0\x80", &out), -1);     // encoded surrogate
    EXPECT_EQ(to_utf16("\x80", &out), -1);             // stray continuation
    EXPECT_EQ(to_utf16("\xc3", &out), -1);             // truncated at the terminator
    EXPECT_EQ(to_utf16("\xf8\x88\x80\x80\x80", &out), -1);
    EXPECT_EQ(to_utf16("\xf4\x90\x80\x80", &out), -1); // above U+10FFFF
    EXPECT_EQ(to_utf16("\xf7\xbf\xbf\xbf", &out), -1);
    EXPECT_EQ(to_utf16("\xf4\x8f\xbf\xbf", &out), 0);  // U+10FFFF itself
    EXPECT_EQ(to_utf16("ab", &out, 3), -1);
    EXPECT_EQ(to_utf16("\xf0\x9f\x98\x80", &out, 3), -1);
    EXPECT_EQ(to_utf16("\xc0\xaf", &out), 0); // overlong forms are not refused
}

TEST(Utf, RoundTripsEveryPlaneSample) {
    std::vector<uint16_t> cps16 = {0x41, 0x7FF, 0x800, 0xFFFD, 0xE000};
    for (uint16_t cp : cps16) {
        std::string mid;
        ASSERT_GT(to_utf8(units({cp}), &mid), 0);
        std::vector<uint8_t> back;
        ASSERT_EQ(to_utf16(mid.c_str(), &back), 0);
        EXPECT_EQ(back, units({cp}));
    }
}

TEST(Fnv1a, MatchesTheReferenceValues) {
    EXPECT_EQ(qv2_fnv1a64("", 0, 1234), 1234u);
    EXPECT_EQ(qv2_fnv1a64("a", 1, QV2_FNV_BASIS), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(qv2_fnv1a64("foobar", 6, QV2_FNV_BASIS), 0x85944171f73967e8ULL);
    // Chaining equals hashing the concatenation.
    EXPECT_EQ(qv2_fnv1a64("bar", 3, qv2_fnv1a64("foo", 3, QV2_FNV_BASIS)),
              qv2_fnv1a64("foobar", 6, QV2_FNV_BASIS));
}

} // namespace
