// Wiping, constant-time comparison and the self-test.
#include "dirir2i.h"
#include "security/qv2_crypto.h"
#include "support/builders/wire.h"

#include <gtest/gtest.h>

#include <cstring>

using smb2::hex;

namespace {

struct WipeCall {
    void *buf;
    uint64_t len;
};
std::vector<WipeCall> g_calls;

void recording_hook(void *buf, uint64_t len) {
    g_calls.push_back({buf, len});
}

// Installs the hook for one test and always takes it away again.
struct HookGuard {
    explicit HookGuard(void (*hook)(void *, uint64_t)) {
        g_calls.clear();
        wipe_hook = hook;
    }
    ~HookGuard() { wipe_hook = nullptr; }
};

} // namespace

TEST(SecretHandling, CtEqualComparesEveryByte) {
    uint8_t a[16], b[16];
    memset(a, 0x5a, 16);
    memcpy(b, a, 16);
    EXPECT_EQ(qv2_ct_equal(a, b, 16), 1);
    b[15] ^= 0x01;
    EXPECT_EQ(qv2_ct_equal(a, b, 16), 0);
    b[15] ^= 0x01;
    b[0] ^= 0x80;
    EXPECT_EQ(qv2_ct_equal(a, b, 16), 0);
    EXPECT_EQ(qv2_ct_equal(a, b + 1, 0), 1);
    EXPECT_EQ(qv2_ct_equal(nullptr, nullptr, 0), 1);
}

TEST(SecretHandling, WipeZeroesExactlyTheGivenBytes) {
    uint8_t buf[9];
    memset(buf, 0xa5, sizeof buf);
    qv2_wipe(buf + 2, 5);
    EXPECT_EQ(hex(buf, 9), "a5a50000000000a5a5");
    qv2_wipe(buf, 0);
    EXPECT_EQ(buf[0], 0xa5);
}

TEST(SecretHandling, WipeHookRunsInsteadOfZeroing) {
    HookGuard guard(recording_hook);
    uint8_t buf[5];
    memset(buf, 0xa5, sizeof buf);
    qv2_wipe(buf, 5);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].buf, buf);
    EXPECT_EQ(g_calls[0].len, 5u);
    EXPECT_EQ(hex(buf, 5), "a5a5a5a5a5");
}

TEST(SecretHandling, HmacKeySetUpWipesBothPaddedKeyCopies) {
    for (int md5 = 0; md5 < 2; md5++) {
        HookGuard guard(recording_hook);
        if (md5) {
            qv2_hmacmd5_ctx h;
            qv2_hmacmd5_init(&h, "key", 3);
        } else {
            qv2_hmac256_ctx h;
            qv2_hmac256_init(&h, "key", 3);
        }
        int blocks = 0;
        for (const WipeCall &c : g_calls)
            blocks += c.len == 64;
        EXPECT_EQ(blocks, 2) << (md5 ? "HMAC-MD5" : "HMAC-SHA256");
    }
}

TEST(SecretHandling, SelfTestPassesAndReportsOk) {
    EXPECT_EQ(qv2_selftest(), 0);
    EXPECT_STREQ(dirir2i_selftest(), "selftest ok\n");
}
