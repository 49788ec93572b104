#include "dirir2i.h"
#include "foundation/qv2_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string content(const qv2_buf &b) {
    return b.data ? std::string(reinterpret_cast<const char *>(b.data), b.len) : std::string();
}

TEST(ByteBuffer, FreshBufferIsEmptyAndAnEmptyAppendAllocatesTheFirstBlock) {
    qv2_buf b{};
    EXPECT_EQ(b.data, nullptr);
    qv2_buf_str(&b, "");
    ASSERT_NE(b.data, nullptr);
    EXPECT_EQ(b.len, 0u);
    EXPECT_EQ(b.cap, 256u);
    EXPECT_EQ(b.data[0], 0);
    qv2_buf_free(&b);
}

TEST(ByteBuffer, GrowsByDoublingAndKeepsATerminatorAfterTheContent) {
    qv2_buf b{};
    std::string chunk(256, 'x');
    qv2_buf_put(&b, chunk.data(), chunk.size()); // 256 bytes + terminator don't fit in 256
    EXPECT_EQ(b.cap, 512u);
    qv2_buf_put(&b, chunk.data(), chunk.size());
    EXPECT_EQ(b.cap, 1024u);
    EXPECT_EQ(b.len, 512u);
    EXPECT_EQ(b.data[b.len], 0);
    qv2_buf_byte(&b, 0x141); // only the low 8 bits
    EXPECT_EQ(b.data[512], 0x41);
    EXPECT_EQ(b.data[b.len], 0);
    qv2_buf_free(&b);
}

TEST(ByteBuffer, FirstAllocationJumpsStraightPastLargeNeeds) {
    qv2_buf b{};
    std::string big(1000, 'y');
    qv2_buf_put(&b, big.data(), big.size());
    EXPECT_EQ(b.cap, 1024u);
    qv2_buf_free(&b);
}

TEST(ByteBuffer, PrintfGivesTheSameTextOnTheScratchAndTheDirectPath) {
    for (size_t n : {511u, 512u, 5000u}) {
        qv2_buf b{};
        qv2_buf_str(&b, "<");
        std::string arg(n, 'q');
        qv2_buf_printf(&b, "%s", arg.c_str());
        EXPECT_EQ(content(b), "<" + arg) << n;
        EXPECT_EQ(b.data[b.len], 0);
        qv2_buf_free(&b);
    }
    qv2_buf b{};
    qv2_buf_printf(&b, "%d-%lld-%.3s", 42, (long long)-7, "abcdef");
    EXPECT_EQ(content(b), "42--7-abc");
    qv2_buf_free(&b);
}

TEST(ByteBuffer, AFailedBufferIgnoresEveryAppendUntilFreed) {
    qv2_buf b{};
    qv2_buf_str(&b, "kept");
    b.failed = 1;
    uint8_t *data = b.data;
    uint64_t len = b.len, cap = b.cap;
    qv2_buf_put(&b, "x", 1);
    qv2_buf_str(&b, "y");
    qv2_buf_printf(&b, "%s", "z");
    qv2_buf_byte(&b, 'w');
    qv2_hex_encode("\x01", 1, &b);
    EXPECT_EQ(b.data, data);
    EXPECT_EQ(b.len, len);
    EXPECT_EQ(b.cap, cap);
    EXPECT_EQ(content(b), "kept"); // what was there before the failure stays readable
    qv2_buf_free(&b);
    EXPECT_EQ(b.failed, 0);
    EXPECT_EQ(b.data, nullptr);
    qv2_buf_str(&b, "again");
    EXPECT_EQ(content(b), "again");
    qv2_buf_free(&b);
}

TEST(ByteBuffer, ImpossibleGrowthSetsFailedInsteadOfWrapping) {
    qv2_buf b{};
    qv2_buf_str(&b, "abc");
    EXPECT_EQ(buf_reserve(&b, ~uint64_t(0)), -1);
    EXPECT_EQ(b.failed, 1);
    EXPECT_EQ(content(b), "abc");
    qv2_buf_free(&b);

    // A capacity already above 2 GiB can't be doubled again.
    qv2_buf fake{};
    fake.cap = (uint64_t(1) << 31) + 8;
    fake.len = fake.cap - 1;
    EXPECT_EQ(buf_reserve(&fake, 1), -1);
    EXPECT_EQ(fake.failed, 1);
}

TEST(ErrorSlot, StartsEmptyAndHoldsTheLastFormattedMessage) {
    // Nothing in this test binary fails before this test runs first.
    EXPECT_STREQ(dirir2i_last_error(), qv2_error());
    int rc = qv2_fail(DIRIR2I_ENOENT, "remove_share: no share %.64s", "docs");
    EXPECT_EQ(rc, DIRIR2I_ENOENT);
    EXPECT_STREQ(dirir2i_last_error(), "remove_share: no share docs");
    EXPECT_EQ(qv2_error(), dirir2i_last_error()); // the slot itself, not a copy
}

TEST(ErrorSlot, CutsLongMessagesAt511Characters) {
    std::string msg(600, 'm');
    qv2_set_error("%s", msg.c_str());
    EXPECT_EQ(strlen(qv2_error()), 511u);
    EXPECT_EQ(std::string(qv2_error()), msg.substr(0, 511));
}

TEST(ErrorSlot, ConcurrentWritersNeverLeaveAnUnterminatedText) {
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; t++) {
        writers.emplace_back([t] {
            std::string text(size_t(100 + 100 * t), char('a' + t));
            for (int i = 0; i < 2000; i++) qv2_set_error("%s", text.c_str());
        });
    }
    for (int i = 0; i < 2000; i++) EXPECT_LE(strnlen(qv2_error(), 512), 511u);
    for (auto &w : writers) w.join();
    size_t n = strlen(qv2_error());
    EXPECT_TRUE(n == 100 || n == 200 || n == 300 || n == 400) << n;
}

} // namespace
