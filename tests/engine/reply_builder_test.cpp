// The pieces every handler uses: the request reader's overrun rule, reply
// chaining, and the two kinds of error reply.
#include "support/smb2_frames.h"
#include "support/smb2_transport.h"

#include "config/qv2_cfg.h"
#include "engine/engine.h"

#include <gtest/gtest.h>

using smb2::Bytes;

namespace {

smb2::Reply contents(const qv2_reply &r) {
    return smb2::Reply(Bytes(r.buf.data, r.buf.data + r.buf.len));
}

} // namespace

TEST(Reader, ReadPastTheEndTakesWhatRemainsAndSetsBad) {
    const uint8_t data[] = {0x01, 0x02, 0x03};
    qv2_reader rd{data, sizeof data, 0, 0};
    EXPECT_EQ(rd_u16(&rd), 0x0201u);
    EXPECT_EQ(rd.bad, 0);
    EXPECT_EQ(rd_u32(&rd), 0x03u) << "the partial value";
    EXPECT_EQ(rd.pos, 3u);
    EXPECT_EQ(rd.bad, 1);
    EXPECT_EQ(rd_u64(&rd), 0u);
    EXPECT_EQ(rd.pos, 3u);
    EXPECT_EQ(rd.bad, 1) << "sticky";
}

TEST(Reader, SkipFollowsTheSameRule) {
    const uint8_t data[8] = {0, 0, 0, 0, 0, 0, 0, 0x80};
    qv2_reader rd{data, sizeof data, 0, 0};
    rd_skip(&rd, 7);
    EXPECT_EQ(rd.bad, 0);
    EXPECT_EQ(rd_u16(&rd), 0x80u);
    EXPECT_EQ(rd.bad, 1);
    qv2_reader rd2{data, sizeof data, 0, 0};
    rd_skip(&rd2, 100);
    EXPECT_EQ(rd2.pos, 8u);
    EXPECT_EQ(rd2.bad, 1);
}

TEST(ReplyBuilder, ChainPadsToEightAndLinksThePreviousHeader) {
    qv2_reply r{};
    rep_begin(&r, SMB2_ECHO, 0, 1, 2, 3, 4, 5);
    w32(&r.buf, 4);
    w16(&r.buf, 0xBEEF); // 70 bytes
    rep_chain(&r, SMB2_READ, STATUS_PENDING, 6, 7, 8, 0, 1);
    ASSERT_EQ(r.buf.len, 72u + 64u);
    EXPECT_EQ(r.hdr_off, 72u);
    smb2::Reply whole = contents(r);
    EXPECT_EQ(whole.next_command(), 72u);
    EXPECT_EQ(whole.flags(), 1u);
    EXPECT_EQ(whole.credit_charge(), 4u);
    EXPECT_EQ(whole.credits(), 5u);
    EXPECT_EQ(whole.u16(70), 0u) << "padding is zero";
    std::vector<smb2::Reply> parts = whole.parts();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[1].flags(), 5u);
    EXPECT_EQ(parts[1].command(), SMB2_READ);
    EXPECT_EQ(parts[1].status(), STATUS_PENDING);
    EXPECT_EQ(parts[1].mid(), 6u);
    EXPECT_EQ(parts[1].sid(), 7u);
    EXPECT_EQ(parts[1].tid(), 8u);
    rep_set_status(&r, STATUS_CANCELLED);
    EXPECT_EQ(contents(r).parts()[1].status(), STATUS_CANCELLED);
    EXPECT_EQ(contents(r).status(), 0u);
    rep_begin(&r, SMB2_ECHO, 0, 1, 0, 0, 0, 1);
    EXPECT_EQ(r.buf.len, 64u) << "rep_begin empties the builder";
    qv2_buf_free(&r.buf);
}

TEST(ErrorReply, WithoutAnyReplyYetTheHeaderIsSentAtOnce) {
    smb2::DirectConn dc;
    qv2_conn &c = dc.conn();
    c.cur_mid = 0;
    c.last_mid = 41;
    qv2_reply r{};
    err_reply_l(&c, &r, SMB2_NEGOTIATE, STATUS_NOT_SUPPORTED, 0, 0, __LINE__);
    EXPECT_EQ(r.buf.len, 0u) << "the builder stays empty";
    ASSERT_EQ(dc.transport().writes().size(), 2u);
    EXPECT_EQ(smb2::hex(dc.transport().writes()[0]), "00000049") << "header and error body";
    smb2::Reply sent(dc.transport().writes()[1]);
    EXPECT_EQ(sent.status(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(sent.mid(), 42u) << "one past the highest MessageId used in an error reply";
    EXPECT_EQ(sent.credits(), 1u);
    EXPECT_EQ(sent.credit_charge(), 0u);
    EXPECT_EQ(c.last_mid, 42u);
    qv2_buf_free(&r.buf);
}

TEST(ErrorReply, ReplacesTheStatusAndDropsAnyBody) {
    smb2::DirectConn dc;
    qv2_conn &c = dc.conn();
    c.cur_mid = 9;
    qv2_reply r{};
    rep_begin(&r, SMB2_CLOSE, 0, 9, 1, 2, 3, 4);
    w64(&r.buf, 0x1234);
    err_reply_l(&c, &r, SMB2_CLOSE, STATUS_INVALID_PARAMETER, 1, 2, __LINE__);
    smb2::Reply got = contents(r);
    EXPECT_EQ(got.size(), 64u + 9u);
    EXPECT_EQ(got.status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(got.credit_charge(), 3u) << "only the status changes";
    EXPECT_EQ(got.credits(), 4u);
    EXPECT_EQ(c.chain_err_pending, 0) << "the first command of a message fails alone";
    EXPECT_EQ(c.last_mid, 9u);
    EXPECT_TRUE(dc.transport().writes().empty());
    qv2_buf_free(&r.buf);
}

TEST(ErrorReply, InsideACompoundTheStatusIsCarriedToTheRest) {
    smb2::DirectConn dc;
    qv2_conn &c = dc.conn();
    c.in_compound = 1;
    c.cur_mid = 3;
    qv2_reply r{};
    rep_begin(&r, SMB2_ECHO, 0, 2, 0, 0, 0, 1);
    w32(&r.buf, 4);
    rep_chain(&r, SMB2_CLOSE, 0, 3, 0, 0, 0, 1);
    err_reply_l(&c, &r, SMB2_CLOSE, STATUS_INVALID_PARAMETER, 0, 0, __LINE__);
    EXPECT_EQ(c.chain_err_pending, 1);
    EXPECT_EQ(r.last_status, STATUS_INVALID_PARAMETER);
    qv2_buf_free(&r.buf);
}

TEST(CreateError, AloneItCarriesTheErrorBody) {
    smb2::DirectConn dc;
    qv2_conn &c = dc.conn();
    c.cur_mid = 5;
    qv2_reply r{};
    rep_begin(&r, SMB2_CREATE, 0, 5, 0, 0, 0, 1);
    smb2::CounterWatch w;
    create_error_l(&c, &r, STATUS_OBJECT_NAME_NOT_FOUND, __LINE__);
    smb2::Reply got = contents(r);
    ASSERT_EQ(got.size(), 64u + 88u);
    EXPECT_EQ(got.status(), STATUS_OBJECT_NAME_NOT_FOUND);
    Bytes expected(88, 0);
    expected[0] = 0x09;
    EXPECT_EQ(got.body(), expected);
    EXPECT_EQ(w.delta(QV2_ST_OPEN_REFUSED), 1);
    qv2_buf_free(&r.buf);
}

TEST(CreateError, InsideACompoundItIsABareHeaderThatFailsTheRest) {
    smb2::DirectConn dc;
    qv2_conn &c = dc.conn();
    c.in_compound = 1;
    c.cur_mid = 2;
    qv2_reply r{};
    rep_begin(&r, SMB2_ECHO, 0, 1, 0, 0, 0, 1);
    w32(&r.buf, 4);
    rep_chain(&r, SMB2_CREATE, 0, 2, 0, 0, 0, 1);
    create_error_l(&c, &r, STATUS_ACCESS_DENIED, __LINE__);
    std::vector<smb2::Reply> parts = contents(r).parts();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[1].size(), 64u + 9u) << "the error body, not CREATE's 88-byte one";
    EXPECT_EQ(parts[1].status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(c.chain_err_pending, 1);
    qv2_buf_free(&r.buf);
}
