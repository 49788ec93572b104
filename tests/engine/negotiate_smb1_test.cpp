// The SMB1 negotiate with which older clients ask for SMB2: answered with an
// SMB2 NEGOTIATE response, or refused when it offers no SMB2 dialect.
#include "support/smb2_frames.h"
#include "support/smb2_session.h"
#include "support/smb2_transport.h"

#include "config/qv2_cfg.h"
#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

#include <string>

using smb2::Bytes;

namespace {

constexpr uint64_t kFiletime = (1700000000ULL + 11644473600ULL) * 10000000ULL;

// An SMB1 NEGOTIATE (command 0x72) listing `dialects`, as clients send it:
// 32-byte header, WordCount 0, ByteCount, then 0x02 "name" 0x00 per dialect.
Bytes smb1_negotiate(const std::vector<std::string> &dialects, uint8_t command = 0x72) {
    Bytes m = smb2::from_hex("ff534d42");
    m.push_back(command);
    m.resize(32, 0);
    m[9] = 0x18;                            // Flags
    m[10] = 0x43, m[11] = 0xc8;             // Flags2
    m[26] = 0xfe, m[27] = 0xff;             // PID
    Bytes names;
    for (const std::string &d : dialects) {
        names.push_back(0x02);
        names.insert(names.end(), d.begin(), d.end());
        names.push_back(0x00);
    }
    m.push_back(0); // WordCount
    m.push_back(uint8_t(names.size()));
    m.push_back(uint8_t(names.size() >> 8));
    m.insert(m.end(), names.begin(), names.end());
    return m;
}

Bytes smb2_negotiate(uint64_t mid) { return smb2::negotiate_request(mid, {0x0202, 0x0210}); }

} // namespace

TEST(NegotiateSmb1, WildcardOfferIsAnsweredWithRevision02FFUnderMessageIdZero) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::Script s;
    s.send(smb1_negotiate({"NT LM 0.12", "SMB 2.002", "SMB 2.???"}));
    smb2::CounterWatch w;
    smb2::Transcript t = smb2::run(s);
    EXPECT_EQ(t.received, std::vector<std::string>{"SMB1_NEGOTIATE"});
    ASSERT_EQ(t.replies.size(), 1u);
    const smb2::Reply &r = t.replies[0];
    ASSERT_TRUE(r.is_smb2());
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.command(), SMB2_NEGOTIATE);
    EXPECT_EQ(r.mid(), 0u);
    EXPECT_EQ(r.flags(), 1u);
    EXPECT_EQ(r.u16(64), 65u);
    EXPECT_EQ(r.u16(66), 1u);
    EXPECT_EQ(r.u16(68), 0x02FFu);
    EXPECT_EQ(r.u32(88), 0u);
    EXPECT_EQ(r.u32(92), 65536u);
    EXPECT_EQ(r.u32(96), 65536u);
    EXPECT_EQ(r.u32(100), 65536u);
    EXPECT_EQ(r.u64(104), kFiletime);
    EXPECT_EQ(r.u16(120), 128u);
    Bytes challenge;
    ASSERT_TRUE(smb2::ntlm_from_token(smb2::security_buffer(r), &challenge));
    EXPECT_EQ(smb2::get_u32(challenge, 8), 2u) << "an NTLM CHALLENGE";
    EXPECT_EQ(w.delta(QV2_ST_NEGOTIATE), 1);
    EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 0);
}

TEST(NegotiateSmb1, ClientsFollowUpNegotiateAfterTheWildcardIsNoProtocolError) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::Script s;
    s.send(smb1_negotiate({"NT LM 0.12", "SMB 2.002", "SMB 2.???"}));
    s.send(smb2_negotiate(1));
    smb2::CounterWatch w;
    smb2::Transcript t = smb2::run(s);
    ASSERT_EQ(t.replies.size(), 2u);
    EXPECT_EQ(t.replies[1].status(), STATUS_SUCCESS);
    EXPECT_EQ(t.replies[1].u16(68), 0x0210u);
    EXPECT_EQ(t.replies[1].mid(), 1u);
    EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 0);

    // In the simulation a challenge is derived from the name and the time,
    // so the upgrade's token carries the one a logon then gets.
    Bytes upgrade_challenge;
    ASSERT_TRUE(smb2::ntlm_from_token(smb2::security_buffer(t.replies[0]), &upgrade_challenge));
    smb2::Session plain = smb2::logon_script();
    ASSERT_TRUE(plain.ok) << plain.error;
    ASSERT_GE(upgrade_challenge.size(), 32u);
    ASSERT_GE(plain.challenge_message.size(), 32u);
    EXPECT_EQ(Bytes(upgrade_challenge.begin() + 24, upgrade_challenge.begin() + 32),
              Bytes(plain.challenge_message.begin() + 24, plain.challenge_message.begin() + 32));
}

TEST(NegotiateSmb1, TwoPointZeroTwoOfferGetsThatDialectAndTheTokenThatStartsAuthentication) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::Script s;
    s.send(smb1_negotiate({"NT LM 0.12", "SMB 2.002"}));
    // The 2.0.2 answer settles the dialect: the client goes on to SESSION_SETUP.
    s.send(smb2::session_setup_request(1, 0, smb2::spnego_init(smb2::from_hex(
                                                 "4e544c4d535350000100000035820860"))));
    smb2::Transcript t = smb2::run(s);
    ASSERT_EQ(t.replies.size(), 2u);
    EXPECT_EQ(t.replies[0].u16(68), 0x0202u);
    Bytes token = smb2::security_buffer(t.replies[0]);
    ASSERT_EQ(token.size(), 74u);
    EXPECT_EQ(token[0], 0x60) << "a negTokenInit, as the SMB2 NEGOTIATE response carries";
    EXPECT_EQ(t.replies[1].status(), STATUS_MORE_PROCESSING_REQUIRED);
}

TEST(NegotiateSmb1, OfferWithoutSmb2DialectsGetsALoneNotSupportedHeader) {
    smb2::Script s;
    s.send(smb1_negotiate({"PC NETWORK PROGRAM 1.0", "NT LM 0.12"}));
    s.send(smb2::echo(5));
    smb2::CounterWatch w;
    smb2::Transcript t = smb2::run(s);
    ASSERT_EQ(t.replies.size(), 2u) << "the connection goes on";
    EXPECT_EQ(t.replies[0].status(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(t.replies[0].size(), 64u + 9u);
    EXPECT_EQ(t.replies[0].command(), SMB2_NEGOTIATE);
    EXPECT_EQ(t.replies[0].sid(), 0u);
    EXPECT_EQ(t.replies[1].status(), STATUS_SUCCESS);
    EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 1);
    EXPECT_EQ(w.delta(QV2_ST_NEGOTIATE), 0);
}

TEST(NegotiateSmb1, OtherSmb1MessagesAndCutDialectNamesAreNotSupported) {
    Bytes not_negotiate = smb1_negotiate({"SMB 2.???"}, 0x73);
    Bytes too_short = smb2::from_hex("ff534d4272");
    too_short.resize(30, 0);
    const std::string wild = "SMB 2.???";
    too_short.insert(too_short.end(), wild.begin(), wild.end()); // 39 bytes
    Bytes cut = smb1_negotiate({"NT LM 0.12"});
    const std::string partial = "\x02SMB 2.00";
    cut.insert(cut.end(), partial.begin(), partial.end());
    for (const Bytes &m : {not_negotiate, too_short, cut}) {
        smb2::Script s;
        s.send(m);
        smb2::CounterWatch w;
        smb2::Transcript t = smb2::run(s);
        ASSERT_EQ(t.replies.size(), 1u);
        EXPECT_EQ(t.replies[0].status(), STATUS_NOT_SUPPORTED);
        EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 1);
    }
}
