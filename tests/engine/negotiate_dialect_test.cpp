// SMB2 NEGOTIATE: which dialect is chosen, what the response announces, the
// requests that end the connection, and the security token the response
// carries.
#include "support/smb2_frames.h"
#include "support/smb2_session.h"
#include "support/smb2_transport.h"

#include "config/qv2_cfg.h"
#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

using smb2::Bytes;
using smb2::Header;

namespace {

constexpr int64_t kClock = 1700000000;
constexpr uint64_t kFiletime = (uint64_t(kClock) + 11644473600ULL) * 10000000ULL;

// Fixed fields of a NEGOTIATE request, where a test wants them unusual.
struct Nego {
    uint16_t structure_size = 36;
    uint16_t security_mode = 1;
    uint32_t capabilities = 0;
    uint32_t context_offset = 0;
    int count = -1; // DialectCount when it should differ from the list's size
};

// `tail` follows the dialect list (padding, negotiate contexts).
Bytes negotiate(const std::vector<uint16_t> &dialects, const Nego &n = {}, const Bytes &tail = {},
                uint64_t mid = 0) {
    smb2::Body b;
    b.u16(n.structure_size)
        .u16(uint16_t(n.count >= 0 ? n.count : int(dialects.size())))
        .u16(n.security_mode)
        .u16(0)
        .u32(n.capabilities)
        .zeros(16)
        .u32(n.context_offset)
        .u16(n.context_offset ? 1 : 0)
        .u16(0);
    for (uint16_t d : dialects) b.u16(d);
    b.bytes(tail);
    return smb2::request(Header{.command = SMB2_NEGOTIATE, .mid = mid}, b);
}

// One message (and optionally an ECHO after it, to see whether the
// connection survived).
smb2::Transcript run(const Bytes &msg, bool echo_after = false) {
    smb2::Script s;
    s.send(msg);
    if (echo_after) s.send(smb2::echo(9));
    smb2::Transcript t = smb2::run(s);
    EXPECT_TRUE(t.ok) << t.error;
    return t;
}

smb2::Reply only_reply(const Bytes &msg) {
    smb2::Transcript t = run(msg);
    EXPECT_EQ(t.replies.size(), 1u);
    return t.replies.empty() ? smb2::Reply() : t.replies[0];
}

uint64_t name_hash(const std::string &name) {
    return smb2::fnv1a64(name.data(), name.size());
}

const std::string kHints = "not_defined_in_RFC4178@please_ignore";

Bytes default_token() {
    Bytes t = smb2::from_hex("6048 06062b0601050502 a03e 303c a00e300c 060a2b06010401823702020a"
                             "a32a3028 a0261b24");
    t.insert(t.end(), kHints.begin(), kHints.end());
    return t;
}

} // namespace

TEST(NegotiateDialect, TwoPointOneIsChosenFromAListReachingSmb311) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::CounterWatch w;
    smb2::Reply r = only_reply(negotiate({0x0202, 0x0210, 0x0300, 0x0302, 0x0311}));
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.command(), SMB2_NEGOTIATE);
    EXPECT_EQ(r.u16(64), 65u);
    EXPECT_EQ(r.u16(68), 0x0210u);
    EXPECT_EQ(r.u32(88), 4u) << "large MTU at 2.1, the client's capability bit or not";
    EXPECT_EQ(r.u32(92), 1048576u);
    EXPECT_EQ(r.u32(96), 1048576u);
    EXPECT_EQ(r.u32(100), 1048576u);
    EXPECT_EQ(w.delta(QV2_ST_NEGOTIATE), 1);
    EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 0);
}

TEST(NegotiateDialect, TwoPointZeroTwoAloneGetsTheSmallLimitsAndTheNtlmOffer) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::Reply r = only_reply(negotiate({0x0202}));
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.u16(66), 1u) << "SecurityMode: signing enabled";
    EXPECT_EQ(r.u16(68), 0x0202u);
    EXPECT_EQ(r.u16(70), 0u);
    uint64_t h = name_hash("KESTRAVONDLEX");
    EXPECT_EQ(r.u64(72), h) << "ServerGuid, first half";
    EXPECT_EQ(r.u64(80), h ^ 0x51564d4232ULL) << "ServerGuid, second half";
    EXPECT_EQ(r.u32(88), 0u);
    EXPECT_EQ(r.u32(92), 65536u);
    EXPECT_EQ(r.u32(96), 65536u);
    EXPECT_EQ(r.u32(100), 65536u);
    EXPECT_EQ(r.u64(104), kFiletime);
    EXPECT_EQ(r.u64(112), 0u);
    EXPECT_EQ(r.u16(120), 128u);
    EXPECT_EQ(r.u32(124), 0u);
    EXPECT_EQ(smb2::security_buffer(r), default_token());
    EXPECT_EQ(r.size(), 128u + 74u);
}

// Multi-credit follows the dialect (and the transport, always TCP here),
// not the client's CAP_LARGE_MTU (MS-SMB2 3.3.5.4): impacket leaves the bit
// out and would otherwise read 64 KiB at a time.
TEST(NegotiateDialect, LargeMtuIsGrantedToEveryTwoPointOneClient) {
    struct Case {
        uint16_t dialect;
        uint32_t caps;
        uint32_t want_caps, want_io, want_transact;
    } cases[] = {
        {0x0210, 0x04, 0x04, 1048576, 1048576},
        {0x0210, 0x00, 0x04, 1048576, 1048576},
        {0x0210, 0x7F, 0x04, 1048576, 1048576},
        {0x0202, 0x04, 0x00, 65536, 65536},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.dialect << " caps " << c.caps);
        smb2::Reply r = only_reply(negotiate({c.dialect}, {.capabilities = c.caps}));
        EXPECT_EQ(r.u32(88), c.want_caps);
        EXPECT_EQ(r.u32(92), c.want_transact);
        EXPECT_EQ(r.u32(96), c.want_io);
        EXPECT_EQ(r.u32(100), c.want_io);
    }
}

TEST(NegotiateDialect, SecurityModeAnnouncesSigningAsRequiredOnlyWhenTheOptionSaysSo) {
    EXPECT_EQ(only_reply(negotiate({0x0210})).u16(66), 1u);
    smb2::ScopedOption signing("signing", "required");
    EXPECT_EQ(only_reply(negotiate({0x0210})).u16(66), 2u);
}

TEST(NegotiateDialect, ClockOptionMakesTheResponseAndTheChallengeRepeatable) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::Session a = smb2::logon_script();
    smb2::Session b = smb2::logon_script();
    ASSERT_TRUE(a.ok && b.ok) << a.error << b.error;
    EXPECT_EQ(a.replies[0].bytes(), b.replies[0].bytes());
    ASSERT_GE(a.challenge_message.size(), 32u);
    EXPECT_EQ(a.challenge_message, b.challenge_message);

    // challenge = H xor FNV-1a(T, seeded with H), H the hash of the server name.
    uint64_t h = name_hash("KESTRAVONDLEX");
    uint8_t t[8];
    for (int i = 0; i < 8; i++) t[i] = uint8_t(uint64_t(kClock) >> (8 * i));
    EXPECT_EQ(smb2::get_u64(a.challenge_message, 24), h ^ smb2::fnv1a64(t, 8, h));
}

TEST(NegotiateDialect, ServerNameSeedsTheGuidAndTheChallenge) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedOption name("server_name", "OTHERBOX");
    smb2::Session s = smb2::logon_script();
    ASSERT_TRUE(s.ok) << s.error;
    uint64_t h = name_hash("OTHERBOX");
    EXPECT_EQ(s.replies[0].u64(72), h);
    uint8_t t[8];
    for (int i = 0; i < 8; i++) t[i] = uint8_t(uint64_t(kClock) >> (8 * i));
    EXPECT_EQ(smb2::get_u64(s.challenge_message, 24), h ^ smb2::fnv1a64(t, 8, h));
}

TEST(NegotiateDialect, Smb3OnlyWithNegotiateContextsIsNotSupportedAndEndsTheConnection) {
    // One preauth-integrity context right after the list (offset 104 is
    // already 8-aligned): type 1, 38 bytes of data.
    Bytes context = smb2::from_hex("0100 2600 00000000");
    context.resize(context.size() + 38, 0x11);
    smb2::CounterWatch w;
    smb2::Transcript t = run(negotiate({0x0300, 0x0311}, {.context_offset = 64 + 40}, context), true);
    ASSERT_EQ(t.replies.size(), 1u) << "the ECHO after it is never read";
    EXPECT_EQ(t.replies[0].status(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(t.replies[0].size(), 64u + 9u);
    EXPECT_EQ(t.received.size(), 1u);
    EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 1);
    EXPECT_EQ(w.delta(QV2_ST_NEGOTIATE), 0);
}

TEST(NegotiateDialect, Smb3OnlyWithoutNegotiateContextsIsInvalidParameter) {
    // No context offset; and an offset in a body too short to hold a context.
    Bytes no_offset = negotiate({0x0300, 0x0311}, {}, Bytes(40, 0));
    Bytes short_body = negotiate({0x0300, 0x0311}, {.context_offset = 0x70});
    for (const Bytes &msg : {no_offset, short_body}) {
        smb2::CounterWatch w;
        smb2::Transcript t = run(msg, true);
        ASSERT_EQ(t.replies.size(), 1u);
        EXPECT_EQ(t.replies[0].status(), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 1);
    }
}

TEST(NegotiateDialect, OnlyUnknownTwoPointDialectsAreNotSupported) {
    smb2::Transcript t = run(negotiate({0x0201, 0x02FF}), true);
    ASSERT_EQ(t.replies.size(), 1u);
    EXPECT_EQ(t.replies[0].status(), STATUS_NOT_SUPPORTED);
}

TEST(NegotiateDialect, MalformedRequestsAreInvalidParameterAndEndTheConnection) {
    Bytes zero = negotiate({});
    Bytes too_many = negotiate(std::vector<uint16_t>(33, 0x0202));
    Bytes size37 = negotiate({0x0202}, {.structure_size = 37});
    Bytes truncated = smb2::request(Header{.command = SMB2_NEGOTIATE}, smb2::Body().u16(36).u16(1));
    for (const Bytes &msg : {zero, too_many, size37, truncated}) {
        smb2::CounterWatch w;
        smb2::Transcript t = run(msg, true);
        ASSERT_EQ(t.replies.size(), 1u);
        EXPECT_EQ(t.replies[0].status(), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(t.replies[0].size(), 64u + 9u);
        EXPECT_EQ(t.received.size(), 1u) << "the connection ends after the reply";
        EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 1);
        EXPECT_EQ(w.delta(QV2_ST_NEGOTIATE), 0);
    }
    // 32 dialects is still fine.
    EXPECT_EQ(only_reply(negotiate(std::vector<uint16_t>(32, 0x0202))).status(), STATUS_SUCCESS);
}

TEST(NegotiateDialect, DialectListIsFoundAtTheEndOfTheBodyOrRightAfterTheFixedFields) {
    // Some clients leave a gap before the list: it then ends the body.
    Bytes gap = negotiate({}, {.count = 1}, smb2::from_hex("0000000000000000 1002"));
    EXPECT_EQ(only_reply(gap).u16(68), 0x0210u);

    // The usual place, with bytes after the list that are no dialects.
    EXPECT_EQ(only_reply(negotiate({0x0202}, {}, smb2::from_hex("ffff"))).u16(68), 0x0202u);

    // A list with a value that is no dialect is not believed anywhere.
    EXPECT_EQ(only_reply(negotiate({0x0202, 0x1234})).status(), STATUS_NOT_SUPPORTED);
}

TEST(NegotiateDialect, SecondNegotiateEndsTheConnectionUnanswered) {
    // Alone, or behind an ECHO in a compound: nothing of that message is
    // answered, and what follows it is never read.
    for (bool compound : {false, true}) {
        SCOPED_TRACE(compound ? "compound" : "alone");
        smb2::Script s;
        s.send(negotiate({0x0210}, {.capabilities = 0x04}));
        Bytes second = negotiate({0x0202}, {}, {}, 1);
        if (compound) second = smb2::compound({smb2::echo(1), second});
        s.send(second);
        s.send(smb2::echo(3));
        smb2::CounterWatch w;
        smb2::Transcript t = smb2::run(s);
        ASSERT_EQ(t.replies.size(), 1u);
        EXPECT_EQ(t.replies[0].u16(68), 0x0210u);
        EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 1);
        EXPECT_EQ(w.delta(QV2_ST_NEGOTIATE), 1);
    }
}

TEST(NegotiateDialect, EnvironmentSwitchesChooseTheSecurityToken) {
    const char *vars[] = {"DIRIR2I_RAW_NTLM_NEGO", "DIRIR2I_SHORT_MECHTOK",
                          "DIRIR2I_EMPTY_MECHTOK", "DIRIR2I_NO_MECHTOK", "DIRIR2I_SAMBA_TOKEN"};
    std::vector<std::unique_ptr<smb2::ScopedEnv>> clear;
    for (const char *v : vars) clear.push_back(std::make_unique<smb2::ScopedEnv>(v, nullptr));
    auto token = [] { return smb2::security_buffer(only_reply(negotiate({0x0210}))); };

    Bytes plain = token();
    EXPECT_EQ(plain, default_token());
    {
        smb2::ScopedEnv e("DIRIR2I_SAMBA_TOKEN", "");
        EXPECT_EQ(token(), plain);
    }
    {
        smb2::ScopedEnv e("DIRIR2I_NO_MECHTOK", "0");
        EXPECT_EQ(token(), plain);
    }
    {
        smb2::ScopedEnv e("DIRIR2I_EMPTY_MECHTOK", "1");
        Bytes want = smb2::from_hex("604c 06062b0601050502 a0423040 a00e300c 060a2b06010401823702020a"
                                    "a2020400 a32a3028 a0261b24");
        want.insert(want.end(), kHints.begin(), kHints.end());
        EXPECT_EQ(token(), want);
    }
    {
        smb2::ScopedEnv e("DIRIR2I_SHORT_MECHTOK", "1");
        Bytes want = smb2::from_hex("604c 06062b0601050502 a03e303c a00e300c 060a2b06010401823702020a"
                                    "a2060404 01020304 a32a3028 a0261b24");
        want.insert(want.end(), kHints.begin(), kHints.end());
        EXPECT_EQ(token(), want);
    }
    {
        // The first switch of the list wins over the others.
        smb2::ScopedEnv e1("DIRIR2I_RAW_NTLM_NEGO", "1");
        smb2::ScopedEnv e2("DIRIR2I_SAMBA_TOKEN", "1");
        Bytes t = token();
        ASSERT_EQ(t.size(), 124u);
        EXPECT_EQ(Bytes(t.begin(), t.begin() + 12), smb2::from_hex("4e544c4d5353500002000000"));
    }
}
