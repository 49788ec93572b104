// Compound messages end to end through the simulation: linking and alignment
// of the replies, related operations, the 64-command limit, refusals in the
// middle of a chain, and chains that break.
#include "support/docs_share.h"
#include "support/smb2_client.h"
#include "support/smb2_frames.h"
#include "support/smb2_transport.h"

#include "config/qv2_cfg.h"
#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

using smb2::Bytes;
using smb2::Header;

namespace {

Bytes write_request(const Header &h, uint64_t fid) {
    // StructureSize 49, DataOffset 112, Length 4, Offset 0, FileId, ..., data
    smb2::Body b;
    b.u16(49).u16(112).u32(4).u64(0).u64(fid).u64(0).u32(0).u32(0).u16(0).u16(0).u32(0);
    b.bytes(Bytes{'d', 'a', 't', 'a'});
    return smb2::request(h, b);
}

// CLOSE of a FileId that no open has.
Bytes close_unknown(const Header &h) {
    return smb2::request(h, smb2::Body().u16(24).u16(0).u32(0).u64(0x7777).u64(0));
}

// A guest logged on to the docs share, with hello.txt open.
struct OpenFile : ::testing::Test {
    smb2::ScopedOption guest_{"guest", "on"};
    DocsShare docs_;
    smb2::Client cl_;
    uint32_t tid_ = cl_.connect("docs");
    uint64_t fid_ = cl_.open(tid_, "hello.txt");
    Header hdr(uint16_t command) { return cl_.header(command, tid_); }
};

smb2::Transcript run_one(const Bytes &msg) {
    smb2::Script s;
    s.send(msg);
    return smb2::run(s);
}

} // namespace

TEST(Compound, RepliesAreLinkedAlignedAndFlaggedAsOneMessage) {
    smb2::Transcript t = run_one(smb2::compound({smb2::echo(1), smb2::echo(2), smb2::echo(3)}));
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_EQ(t.received, std::vector<std::string>{"ECHO"});
    ASSERT_EQ(t.replies.size(), 1u);
    EXPECT_EQ(t.result_frames, 1);
    std::vector<smb2::Reply> parts = t.replies[0].parts();
    ASSERT_EQ(parts.size(), 3u);
    for (size_t i = 0; i < parts.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(parts[i].offset_in_message() % 8, 0u);
        EXPECT_EQ(parts[i].status(), STATUS_SUCCESS);
        EXPECT_EQ(parts[i].command(), SMB2_ECHO);
        EXPECT_EQ(parts[i].mid(), i + 1);
        EXPECT_EQ(parts[i].flags(), i == 0 ? 0x1u : 0x5u);
        EXPECT_EQ(parts[i].u16(64), 4u);
    }
    EXPECT_EQ(parts[0].next_command(), 72u); // 68 bytes padded to 72
    EXPECT_EQ(parts[1].next_command(), 72u);
    EXPECT_EQ(parts[2].next_command(), 0u);
    EXPECT_EQ(parts[2].size(), 68u) << "the last reply is not padded";
    EXPECT_EQ(t.replies[0].size(), 72u + 72u + 68u);
}

TEST(Compound, RelatedCommandInheritsSessionAndTreeOfThePreviousOne) {
    Bytes first =
        smb2::request(Header{.command = SMB2_ECHO, .mid = 1, .sid = 0x1122334455667788, .tid = 7},
                      smb2::echo_body());
    Bytes second = smb2::request(
        Header{.command = SMB2_ECHO, .mid = 2, .sid = 0xFFFFFFFFFFFFFFFF, .tid = 0xFFFFFFFF},
        smb2::echo_body());
    Bytes third = smb2::request(
        Header{.command = SMB2_ECHO, .mid = 3, .sid = 0xFFFFFFFFFFFFFFFF, .tid = 0xFFFFFFFF},
        smb2::echo_body());
    std::vector<smb2::Reply> parts =
        run_one(smb2::compound({first, second, third}, true)).replies.at(0).parts();
    ASSERT_EQ(parts.size(), 3u);
    for (int i : {1, 2}) {
        EXPECT_EQ(parts[i].sid(), 0x1122334455667788u) << i;
        EXPECT_EQ(parts[i].tid(), 7u) << i;
    }
}

TEST(Compound, UnrelatedCommandKeepsItsOwnIds) {
    Bytes first = smb2::request(Header{.command = SMB2_ECHO, .mid = 1, .sid = 5, .tid = 7},
                                smb2::echo_body());
    Bytes second = smb2::request(
        Header{.command = SMB2_ECHO, .mid = 2, .sid = 0xFFFFFFFFFFFFFFFF, .tid = 0xFFFFFFFF},
        smb2::echo_body());
    std::vector<smb2::Reply> parts =
        run_one(smb2::compound({first, second}, false)).replies.at(0).parts();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[1].sid(), 0xFFFFFFFFFFFFFFFFu);
    EXPECT_EQ(parts[1].tid(), 0xFFFFFFFFu);
}

TEST(Compound, SixtyFifthCommandGetsInvalidParameterInsteadOfRunning) {
    std::vector<Bytes> reqs;
    for (uint64_t mid = 1; mid <= 65; mid++)
        reqs.push_back(smb2::echo(mid, 3));
    smb2::CounterWatch w;
    smb2::Transcript t = run_one(smb2::compound(reqs));
    ASSERT_EQ(t.replies.size(), 1u);
    std::vector<smb2::Reply> parts = t.replies[0].parts();
    ASSERT_EQ(parts.size(), 65u);
    for (size_t i = 0; i < 64; i++)
        ASSERT_EQ(parts[i].status(), STATUS_SUCCESS) << i;
    const smb2::Reply &last = parts[64];
    EXPECT_EQ(last.status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(last.command(), SMB2_ECHO);
    EXPECT_EQ(last.mid(), 65u);
    EXPECT_EQ(last.credit_charge(), 0u);
    EXPECT_EQ(last.credits(), 1u);
    EXPECT_EQ(last.size(), 64u + 9u);
    EXPECT_EQ(last.flags(), 0x5u);
    EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 1);
}

TEST(Compound, SixtyFifthCommandWithoutAValidHeaderIsReportedAsEcho) {
    std::vector<Bytes> reqs;
    for (uint64_t mid = 1; mid <= 64; mid++)
        reqs.push_back(smb2::echo(mid));
    reqs.push_back(Bytes(64, 0x5A)); // not a header
    std::vector<smb2::Reply> parts = run_one(smb2::compound(reqs)).replies.at(0).parts();
    ASSERT_EQ(parts.size(), 65u);
    EXPECT_EQ(parts[64].status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(parts[64].command(), SMB2_ECHO);
    EXPECT_EQ(parts[64].mid(), 0u);
}

TEST_F(OpenFile, WriteInTheMiddleIsRefusedAndTheChainGoesOn) {
    smb2::CounterWatch w;
    Bytes echo1 = smb2::request(hdr(SMB2_ECHO), smb2::echo_body());
    Bytes write = write_request(hdr(SMB2_WRITE), fid_);
    Bytes echo3 = smb2::request(hdr(SMB2_ECHO), smb2::echo_body());
    std::vector<smb2::Reply> parts = cl_.send(smb2::compound({echo1, write, echo3})).parts();
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[1].status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(parts[1].command(), SMB2_WRITE);
    EXPECT_EQ(parts[1].mid(), smb2::get_u64(write, 24));
    EXPECT_EQ(parts[1].size(), 80u) << "the header and the error body, padded to 8";
    EXPECT_EQ(smb2::hex(parts[1].body()).substr(0, 18), "090000000000000000");
    EXPECT_EQ(parts[1].credit_charge(), 0u);
    EXPECT_EQ(parts[2].status(), STATUS_SUCCESS);
    EXPECT_EQ(w.delta(QV2_ST_MUTATING_REFUSED), 1);
}

TEST_F(OpenFile, RefusalDoesNotFollowAMisalignedNextCommand) {
    Bytes first = smb2::request(hdr(SMB2_ECHO), smb2::echo_body());
    first.resize(72, 0);
    smb2::put_u32(first, 20, 72);
    Bytes write = write_request(hdr(SMB2_WRITE), fid_); // 116 bytes: no multiple of 8
    smb2::put_u32(write, 20, uint32_t(write.size()));
    Bytes msg = first;
    msg.insert(msg.end(), write.begin(), write.end());
    Bytes third = smb2::request(hdr(SMB2_ECHO), smb2::echo_body());
    msg.insert(msg.end(), third.begin(), third.end());
    std::vector<smb2::Reply> parts = cl_.send(msg).parts();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[1].status(), STATUS_ACCESS_DENIED);
}

// Refused before anything but the handle is looked at: an open one gets
// ACCESS_DENIED, one that isn't open FILE_CLOSED; both count as refused.
TEST_F(OpenFile, EveryMutatingCommandIsRefusedWithAccessDeniedOrFileClosed) {
    struct Cmd {
        uint16_t command;
        size_t fid_at; // in the body
    } cmds[] = {{SMB2_FLUSH, 8}, {SMB2_WRITE, 16}, {SMB2_LOCK, 8}, {SMB2_SET_INFO, 16}};
    for (const Cmd &c : cmds) {
        for (uint64_t fid : {fid_, uint64_t(0x7777)}) {
            SCOPED_TRACE(testing::Message() << c.command << " fid " << fid);
            Bytes body(40, 0);
            smb2::put_u64(body, c.fid_at, fid);
            Header h = hdr(c.command);
            h.credit_request = 4;
            smb2::CounterWatch w;
            smb2::Reply r = cl_.send(smb2::request(h, body));
            EXPECT_EQ(r.status(), fid == fid_ ? STATUS_ACCESS_DENIED : STATUS_FILE_CLOSED);
            EXPECT_EQ(r.size(), 64u + 9u);
            EXPECT_EQ(r.credits(), 4u);
            EXPECT_EQ(w.delta(QV2_ST_MUTATING_REFUSED), 1);
        }
    }
}

// Without a session of the connection, a command gets USER_SESSION_DELETED
// before anything else (MS-SMB2 3.3.5.2.9), a write too.
TEST(Compound, CommandsWithoutASessionAreRefusedAsSessionDeleted) {
    for (uint16_t cmd : {SMB2_WRITE, SMB2_CLOSE, SMB2_QUERY_INFO, SMB2_LOGOFF}) {
        smb2::Transcript t =
            run_one(smb2::request(Header{.command = cmd, .mid = 9, .sid = 0x55}, Bytes(40, 0)));
        ASSERT_EQ(t.replies.size(), 1u) << cmd;
        EXPECT_EQ(t.replies[0].status(), STATUS_USER_SESSION_DELETED) << cmd;
        EXPECT_EQ(t.replies[0].sid(), 0x55u) << cmd;
    }
}

TEST(Compound, NextCommandPastTheEndKeepsTheRepliesSoFar) {
    Bytes first = smb2::echo(1);
    first.resize(72, 0);
    smb2::put_u32(first, 20, 72);
    Bytes second = smb2::echo(2);
    smb2::put_u32(second, 20, 4096); // nothing there
    Bytes msg = first;
    msg.insert(msg.end(), second.begin(), second.end());
    smb2::CounterWatch w;
    smb2::Transcript t = run_one(msg);
    ASSERT_EQ(t.replies.size(), 1u);
    EXPECT_EQ(t.replies[0].parts().size(), 2u);
    EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 1);
}

TEST(Compound, LaterHeaderThatDoesNotParseGetsAChainedInvalidParameter) {
    Bytes first = smb2::request(
        Header{.command = SMB2_ECHO, .mid = 1, .sid = 42, .tid = 9, .credit_request = 8},
        smb2::echo_body());
    first.resize(72, 0);
    smb2::put_u32(first, 20, 72);
    Bytes msg = first;
    Bytes junk(64, 0x11);
    msg.insert(msg.end(), junk.begin(), junk.end());
    smb2::Script s;
    s.send(msg).send(smb2::echo(5));
    smb2::Transcript t = smb2::run(s);
    ASSERT_EQ(t.replies.size(), 2u) << "the connection goes on";
    std::vector<smb2::Reply> parts = t.replies[0].parts();
    ASSERT_EQ(parts.size(), 2u);
    const smb2::Reply &err = parts[1];
    EXPECT_EQ(err.status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(err.command(), 0u);
    EXPECT_EQ(err.sid(), 42u);
    EXPECT_EQ(err.tid(), 9u);
    EXPECT_EQ(err.mid(), 1u) << "the MessageId of the command being processed";
    EXPECT_EQ(err.credit_charge(), 0u);
    EXPECT_EQ(err.credits(), 1u);
    EXPECT_EQ(err.size(), 64u + 9u);
}

// Needs a handler that can fail: CLOSE of an unknown FileId.
TEST_F(OpenFile, FailureInTheMiddleFailsTheRestWithTheSameStatus) {
    Bytes bad = close_unknown(hdr(SMB2_CLOSE));
    Bytes echo1 = smb2::request(hdr(SMB2_ECHO), smb2::echo_body());
    Bytes echo3 = smb2::request(hdr(SMB2_ECHO), smb2::echo_body());
    std::vector<smb2::Reply> parts = cl_.send(smb2::compound({echo1, bad, echo3})).parts();
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].status(), STATUS_SUCCESS);
    EXPECT_EQ(parts[1].status(), STATUS_FILE_CLOSED);
    EXPECT_EQ(parts[2].status(), STATUS_FILE_CLOSED) << "not executed, failed alike";
    EXPECT_EQ(parts[2].command(), SMB2_ECHO);
    EXPECT_EQ(parts[2].mid(), smb2::get_u64(echo3, 24));
    EXPECT_EQ(parts[2].size(), 64u + 9u);
    EXPECT_EQ(parts[2].credit_charge(), 0u);
    EXPECT_EQ(parts[2].credits(), 1u);

    // The same failure as the first command leaves the others to run.
    parts = cl_.send(smb2::compound({close_unknown(hdr(SMB2_CLOSE)),
                                     smb2::request(hdr(SMB2_ECHO), smb2::echo_body()),
                                     smb2::request(hdr(SMB2_ECHO), smb2::echo_body())}))
                .parts();
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].status(), STATUS_FILE_CLOSED);
    EXPECT_EQ(parts[1].status(), STATUS_SUCCESS);
    EXPECT_EQ(parts[2].status(), STATUS_SUCCESS);
}

// MS-SMB2 3.3.5.2.7.2: a first command marked related has nothing to relate
// to; the chain after it fails alike.
TEST(Compound, FirstCommandMarkedRelatedIsInvalidParameter) {
    Bytes first = smb2::echo(1);
    smb2::put_u32(first, 16, smb2::FLAG_RELATED);
    std::vector<smb2::Reply> parts =
        run_one(smb2::compound({first, smb2::echo(2)}, true)).replies.at(0).parts();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(parts[1].status(), STATUS_INVALID_PARAMETER);
}
