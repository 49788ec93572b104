// What the dispatcher does with one command before and around its handler:
// credits, the echoed CreditCharge, the command number, unknown commands, and
// messages it cannot parse.
#include "support/smb2_frames.h"
#include "support/smb2_transport.h"

#include "config/qv2_cfg.h"
#include "engine/qv2_engine_types.h"
#include "engine/qv2_sess.h"

#include <gtest/gtest.h>

using smb2::Bytes;
using smb2::Header;

namespace {

smb2::Reply only_reply(const Bytes &msg) {
    smb2::Script s;
    s.send(msg);
    smb2::Transcript t = smb2::run(s);
    EXPECT_TRUE(t.ok) << t.error;
    EXPECT_EQ(t.replies.size(), 1u);
    return t.replies.empty() ? smb2::Reply() : t.replies[0];
}

} // namespace

TEST(Dispatch, CreditRequestIsGrantedUpToEightThousandOneHundredNinetyTwo) {
    struct Case {
        uint16_t asked, granted;
    } cases[] = {{0, 1}, {1, 1}, {2, 2}, {129, 129}, {8192, 8192}, {0xFFFF, 8192}};
    for (const Case &c : cases)
        EXPECT_EQ(only_reply(smb2::echo(1, c.asked)).credits(), c.granted) << c.asked;
}

// What a client holds is what it was granted less what its requests spent
// (their CreditCharge, 1 at least); the grants stop at 8192 held, but never
// leave it with nothing.
TEST(Dispatch, CreditsHeldNeverPassEightThousandOneHundredNinetyTwo) {
    smb2::Script s;
    s.send(smb2::echo(1, 3000)).send(smb2::echo(2, 3000)).send(smb2::echo(3, 3000));
    s.send(smb2::echo(4, 3000));
    s.send(smb2::request(
        Header{.command = SMB2_ECHO, .mid = 5, .credit_charge = 8, .credit_request = 9},
        smb2::echo_body()));
    smb2::Transcript t = smb2::run(s);
    ASSERT_EQ(t.replies.size(), 5u);
    std::vector<uint16_t> got;
    for (const smb2::Reply &r : t.replies)
        got.push_back(r.credits());
    EXPECT_EQ(got, (std::vector<uint16_t>{3000, 3000, 2194, 1, 8}));
}

TEST(Dispatch, CreditChargeIsEchoed) {
    smb2::Reply r = only_reply(smb2::request(
        Header{.command = SMB2_ECHO, .mid = 3, .credit_charge = 5}, smb2::echo_body()));
    EXPECT_EQ(r.credit_charge(), 5u);
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
}

TEST(Dispatch, OnlyTheLowByteOfTheCommandCounts) {
    smb2::Script s;
    s.send(smb2::request(Header{.command = 0x010D, .mid = 4}, smb2::echo_body()));
    smb2::Transcript t = smb2::run(s);
    EXPECT_EQ(t.received, std::vector<std::string>{"ECHO"});
    ASSERT_EQ(t.replies.size(), 1u);
    EXPECT_EQ(t.replies[0].command(), SMB2_ECHO) << "the reply's high byte is 0";
    EXPECT_EQ(t.replies[0].status(), STATUS_SUCCESS);
    EXPECT_EQ(smb2::hex(t.replies[0].body()), "04000000");
}

TEST(Dispatch, ReplyCarriesTheRequestIdsAndTheResponseFlag) {
    smb2::Reply r = only_reply(smb2::request(
        Header{.command = SMB2_ECHO, .mid = 0x0102030405060708, .sid = 0x99, .tid = 0x33},
        smb2::echo_body()));
    EXPECT_EQ(r.mid(), 0x0102030405060708u);
    EXPECT_EQ(r.sid(), 0x99u);
    EXPECT_EQ(r.tid(), 0x33u);
    EXPECT_EQ(r.flags(), 1u);
    EXPECT_EQ(r.size(), 68u);
}

TEST(Dispatch, CommandNumbersAboveEighteenGetNotSupportedWithABody) {
    for (uint16_t cmd : {19, 0x42, 255}) {
        smb2::CounterWatch w;
        smb2::Reply r = only_reply(smb2::request(Header{.command = cmd, .mid = 2}, Bytes(8, 0)));
        EXPECT_EQ(r.status(), STATUS_NOT_SUPPORTED) << cmd;
        EXPECT_EQ(r.command(), cmd) << cmd;
        EXPECT_EQ(smb2::hex(r.body()), "090000000000000000") << cmd;
        EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 1) << cmd;
    }
}

TEST(Dispatch, UnknownCommandInsideACompoundDoesNotFailTheRest) {
    Bytes odd = smb2::request(Header{.command = 40, .mid = 2}, Bytes(8, 0));
    std::vector<smb2::Reply> parts =
        only_reply(smb2::compound({smb2::echo(1), odd, smb2::echo(3)})).parts();
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[1].status(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(parts[2].status(), STATUS_SUCCESS);
}

TEST(Dispatch, MessageShorterThanAHeaderEndsTheConnectionWithoutReply) {
    smb2::Script s;
    s.send(Bytes(63, 0xFE)).send(smb2::echo(1));
    smb2::CounterWatch w;
    smb2::Transcript t = smb2::run(s);
    ASSERT_TRUE(t.ok);
    EXPECT_EQ(t.received, std::vector<std::string>{"?"});
    EXPECT_TRUE(t.replies.empty());
    EXPECT_EQ(t.result_frames, 0);
    EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 1);
}

TEST(Dispatch, WrongProtocolIdOrStructureSizeEndsTheConnection) {
    Bytes bad_id = smb2::echo(1);
    bad_id[0] = 0xFD;
    Bytes bad_size = smb2::echo(1);
    smb2::put_u16(bad_size, 4, 65);
    for (const Bytes &msg : {bad_id, bad_size}) {
        smb2::Script s;
        s.send(msg).send(smb2::echo(2));
        smb2::CounterWatch w;
        smb2::Transcript t = smb2::run(s);
        EXPECT_EQ(t.received.size(), 1u);
        EXPECT_TRUE(t.replies.empty());
        EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 1);
    }
}

TEST(Dispatch, SignedRequestBeforeAnySessionIsRefused) {
    const uint8_t key[16] = {1, 2, 3};
    Bytes req = smb2::echo(6, 10);
    smb2::sign(req, key);
    smb2::CounterWatch w;
    smb2::Reply r = only_reply(req);
    EXPECT_EQ(r.status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(r.size(), 64u + 9u);
    EXPECT_EQ(r.mid(), 6u);
    EXPECT_EQ(r.credits(), 10u) << "the granted credits";
    EXPECT_EQ(r.credit_charge(), 0u);
    EXPECT_EQ(w.delta(QV2_ST_BAD_SIGNATURE), 1);
}

TEST(MessageNames, FrameNamesFollowTheFirstBytes) {
    const uint8_t smb1_nego[5] = {0xFF, 'S', 'M', 'B', 0x72};
    const uint8_t smb1_other[5] = {0xFF, 'S', 'M', 'B', 0x73};
    EXPECT_STREQ(qv2_frame_name(smb1_nego, 5), "SMB1_NEGOTIATE");
    EXPECT_STREQ(qv2_frame_name(smb1_other, 5), "SMB1");
    EXPECT_STREQ(qv2_frame_name(smb1_nego, 4), "SMB1");
    EXPECT_STREQ(qv2_frame_name(smb1_nego, 3), "?");
    Bytes qd = smb2::request(Header{.command = 0x0E}, {});
    EXPECT_STREQ(qv2_frame_name(qd.data(), 64), "QUERY_DIRECTORY");
    EXPECT_STREQ(qv2_frame_name(qd.data(), 63), "?");
    qd[0] = 0; // the SMB2 protocol identifier is not tested
    EXPECT_STREQ(qv2_frame_name(qd.data(), 64), "QUERY_DIRECTORY");
    qd[12] = 19;
    EXPECT_STREQ(qv2_frame_name(qd.data(), 64), "?");
}

TEST(MessageNames, CommandNamesUseTheLowByte) {
    EXPECT_STREQ(qv2_cmd_name(0), "NEGOTIATE");
    EXPECT_STREQ(qv2_cmd_name(0x0105), "CREATE");
    EXPECT_STREQ(qv2_cmd_name(18), "OPLOCK_BREAK");
    EXPECT_STREQ(qv2_cmd_name(19), "?");
    EXPECT_STREQ(qv2_cmd_name(0xFFFFFFFF), "?");
}
