// The CHALLENGE message the server sends, and the NEGOTIATE check.
#include "foundation/qv2_util.h"
#include "security/qv2_ntlm.h"
#include "support/ntlm_client.h"
#include "support/builders/wire.h"

#include <gtest/gtest.h>

using smb2::Bytes;
using smb2::hex;

namespace {

const uint8_t kChallenge[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};

// What we offer when no NEGOTIATE was seen.
const uint32_t kUnasked = qv2_ntlm_offer(nullptr, 0);

Bytes type2(const char *name, int64_t t = 1700000000, uint32_t flags = kUnasked) {
    qv2_buf b{};
    int rc = qv2_ntlm_type2(name, kChallenge, t, flags, &b);
    Bytes out = rc == 0 ? Bytes(b.data, b.data + b.len) : Bytes{};
    EXPECT_EQ(rc == 0, b.len > 0);
    qv2_buf_free(&b);
    return out;
}

} // namespace

TEST(NtlmChallenge, DefaultNameGivesThe124ByteMessage) {
    Bytes m = type2("KESTRAVONDLEX");
    ASSERT_EQ(m.size(), 124u);
    const std::string name = hex(ntlm_utf16("KESTRAVONDLEX"));
    EXPECT_EQ(hex(m.data(), 48), "4e544c4d53535000"
                                 "02000000"
                                 "0000000000000000"
                                 "118288e0"
                                 "0102030405060708"
                                 "0000000000000000"
                                 "4c004c0030000000");
    EXPECT_EQ(hex(m.data() + 48, 76), "02001a00" + name + "01001a00" + name +
                                          "07000800"
                                          "00006dc64717da01"
                                          "00000000");
}

TEST(NtlmChallenge, NullAndEmptyNamesMeanTheDefault) {
    Bytes def = type2("KESTRAVONDLEX");
    EXPECT_EQ(type2(""), def);
    EXPECT_EQ(type2(nullptr), def);
}

TEST(NtlmChallenge, LongNamesAreCutAtSixtyCharacters) {
    std::string name63(63, 'N');
    Bytes m = type2(name63.c_str());
    EXPECT_EQ(m, type2(name63.substr(0, 60).c_str()));
    EXPECT_EQ(m.size(), 48u + 2 * 120 + 24);
    // Target info length fields.
    EXPECT_EQ(hex(m.data() + 40, 4), "0801"
                                     "0801");
}

TEST(NtlmChallenge, NameThatIsNotUtf8AppendsNothing) {
    qv2_buf b{};
    EXPECT_EQ(qv2_ntlm_type2("bad\xff", kChallenge, 0, kUnasked, &b), -1);
    EXPECT_EQ(b.len, 0u);
    qv2_buf_free(&b);
}

TEST(NtlmChallenge, FlagsAnswerWhatTheClientAsked) {
    struct Case {
        const char *who;
        uint32_t asked;
        uint32_t offered;
    } cases[] = {
        // Nothing but NTLM: Unicode, extended session security and the
        // target info are offered anyway, nothing else.
        {"minimal", 0x00000201, 0x00880201},
        // A Windows client: no VERSION, LM_KEY or OEM comes back; the target
        // type goes with the requested target name.
        {"windows", 0xe2088297, 0xe08a8215},
        // Everything asked: never more than we support.
        {"all bits", 0xffffffff, 0xe08a8235},
        // Signing without key exchange or 56/128.
        {"sign only", 0x00088215, 0x008a8215},
    };
    for (const Case &k : cases) {
        Bytes neg = ntlm_negotiate_message();
        qv2_put_le32(neg.data() + 12, k.asked);
        EXPECT_EQ(qv2_ntlm_offer(neg.data(), neg.size()), k.offered) << k.who;
    }
    EXPECT_EQ(kUnasked, 0xe0888211u);
    Bytes neg = ntlm_negotiate_message();
    EXPECT_EQ(qv2_ntlm_offer(neg.data(), 15), kUnasked);
}

TEST(NtlmChallenge, RequestedTargetNameComesBeforeTheTargetInfo) {
    Bytes m = type2("SRV", 1700000000, 0x00820205);
    const std::string name = hex(ntlm_utf16("SRV"));
    ASSERT_EQ(m.size(), 48u + 6 + (2 * 6 + 24));
    EXPECT_EQ(hex(m.data() + 12, 8), "0600060030000000");
    EXPECT_EQ(hex(m.data() + 40, 8), "2400240036000000");
    EXPECT_EQ(hex(m.data() + 48, 6), name);
    EXPECT_EQ(hex(m.data() + 54, 4), "02000600");
}

TEST(NtlmChallenge, Type1AcceptsOnlyANegotiateMessage) {
    Bytes neg = ntlm_negotiate_message();
    EXPECT_EQ(qv2_ntlm_type1(neg.data(), neg.size()), 0);
    EXPECT_EQ(qv2_ntlm_type1(neg.data(), 16), 0);
    EXPECT_EQ(qv2_ntlm_type1(neg.data(), 15), -1);
    EXPECT_EQ(qv2_ntlm_type1(nullptr, 32), -1);
    neg[8] = 3;
    EXPECT_EQ(qv2_ntlm_type1(neg.data(), neg.size()), -1);
    neg[8] = 1;
    neg[7] = '!';
    EXPECT_EQ(qv2_ntlm_type1(neg.data(), neg.size()), -1);
}
