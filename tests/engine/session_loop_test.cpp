// The session loop over a scripted transport: session-service framing,
// limits, time-outs, end of input, failed writes, and what it counts.
#include "support/smb2_frames.h"
#include "support/smb2_transport.h"

#include "config/qv2_cfg.h"
#include "engine/engine.h"

#include <gtest/gtest.h>

using smb2::Bytes;
using smb2::ScriptedIo;

namespace {

// An ECHO request padded with junk to exactly `total` bytes.
Bytes echo_of_size(size_t total, uint64_t mid = 1) {
    Bytes m = smb2::echo(mid);
    m.resize(total, 0xAB);
    return m;
}

// The 68-byte reply every ECHO with MessageId 1 and CreditRequest 1 gets.
const char *kEchoReply1 = "fe534d424000000000000000" // ProtocolId, StructureSize, charge, status
                          "0d000100"                 // Command ECHO, 1 credit
                          "01000000" "00000000"      // Flags (response), NextCommand
                          "0100000000000000"         // MessageId
                          "00000000" "00000000"      // Reserved, TreeId
                          "0000000000000000"         // SessionId
                          "00000000000000000000000000000000" // Signature
                          "04000000";                // StructureSize 4, Reserved

} // namespace

TEST(SessionLoop, EchoIsAnsweredWithSessionHeaderThenExactReplyBytes) {
    ScriptedIo io;
    io.data(smb2::nbss(smb2::echo(1)));
    smb2::CounterWatch w;
    io.run();
    ASSERT_EQ(io.writes().size(), 2u);
    EXPECT_EQ(smb2::hex(io.writes()[0]), "00000044");
    EXPECT_EQ(smb2::hex(io.writes()[1]), kEchoReply1);
    ASSERT_EQ(io.logged_in().size(), 1u);
    EXPECT_EQ(io.logged_in()[0], smb2::echo(1));
    ASSERT_EQ(io.logged_out().size(), 1u);
    EXPECT_EQ(smb2::hex(io.logged_out()[0]), kEchoReply1);
    EXPECT_EQ(w.delta(QV2_ST_BYTES_SENT), 68);
    EXPECT_EQ(w.delta(QV2_ST_CONNECTIONS), 0); // +1 at the start, -1 at the end
}

TEST(SessionLoop, EveryReadWaitsAtMostOneHundredMilliseconds) {
    ScriptedIo io;
    io.data(smb2::nbss(smb2::echo(1))).timeouts(2);
    io.run();
    ASSERT_FALSE(io.read_timeouts().empty());
    for (int t : io.read_timeouts()) EXPECT_EQ(t, 100);
}

TEST(SessionLoop, SessionRequestIsAnsweredPositivelyAndTheConnectionGoesOn) {
    ScriptedIo io;
    Bytes stream = smb2::session_request(68); // a typical called/calling name pair
    Bytes echo = smb2::nbss(smb2::echo(1));
    stream.insert(stream.end(), echo.begin(), echo.end());
    io.data(stream);
    io.run();
    ASSERT_EQ(io.writes().size(), 3u);
    EXPECT_EQ(smb2::hex(io.writes()[0]), "82000000");
    EXPECT_EQ(smb2::hex(io.writes()[2]), kEchoReply1);
    EXPECT_TRUE(io.logged_in().size() == 1 && io.logged_out().size() == 1)
        << "the session request is not a message";
}

TEST(SessionLoop, EmptySessionRequestIsAnsweredAtOnce) {
    ScriptedIo io;
    io.data(smb2::session_request(0));
    io.run();
    ASSERT_EQ(io.writes().size(), 1u);
    EXPECT_EQ(smb2::hex(io.writes()[0]), "82000000");
}

TEST(SessionLoop, SessionRequestWhoseBodyNeverComesEndsAtTheIdleTimeout) {
    smb2::ScopedOption idle("idle_timeout_ms", "100");
    ScriptedIo io;
    io.data(smb2::nbss_header(1000, 0x81)).data(Bytes(10, 0)).silence(10).read_limit(5000);
    smb2::CounterWatch w;
    io.run();
    EXPECT_FALSE(io.read_limit_hit());
    EXPECT_TRUE(io.writes().empty());
    EXPECT_EQ(w.delta(QV2_ST_TIMEOUTS), 1);
}

TEST(SessionLoop, SessionRequestCutShortByThePeerEndsTheConnection) {
    ScriptedIo io;
    io.data(smb2::nbss_header(100, 0x81)).data(Bytes(10, 0)).eof(1).data(smb2::nbss(smb2::echo(1)));
    io.run();
    EXPECT_TRUE(io.writes().empty());
    EXPECT_TRUE(io.logged_in().empty());
}

TEST(SessionLoop, ZeroLengthMessageIsSkippedWithoutReply) {
    ScriptedIo io;
    Bytes stream = smb2::nbss_header(0);
    Bytes echo = smb2::nbss(smb2::echo(1));
    stream.insert(stream.end(), echo.begin(), echo.end());
    io.data(stream);
    io.run();
    ASSERT_EQ(io.logged_in().size(), 1u);
    ASSERT_EQ(io.writes().size(), 2u);
    EXPECT_EQ(smb2::hex(io.writes()[1]), kEchoReply1);
}

TEST(SessionLoop, KeepAliveAndUnknownPacketTypesEndTheConnectionAsProtocolErrors) {
    for (uint8_t type : {0x85, 0x82, 0x01, 0xFF}) {
        ScriptedIo io;
        Bytes stream = smb2::nbss_header(0, type);
        Bytes echo = smb2::nbss(smb2::echo(1));
        stream.insert(stream.end(), echo.begin(), echo.end());
        io.data(stream);
        smb2::CounterWatch w;
        io.run();
        EXPECT_TRUE(io.writes().empty()) << int(type);
        EXPECT_TRUE(io.logged_in().empty()) << int(type);
        EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 1) << int(type);
    }
}

TEST(SessionLoop, MessagesAreCappedAtFourMebibytesWhateverMaxMessageSays) {
    smb2::ScopedOption big("max_message", "16777216");
    {
        ScriptedIo io;
        io.data(smb2::nbss(echo_of_size(4194304)));
        io.run();
        EXPECT_EQ(io.logged_out().size(), 1u) << "exactly 4 MiB is still accepted";
    }
    {
        ScriptedIo io;
        io.data(smb2::nbss_header(4194305)).data(Bytes(100, 0));
        smb2::CounterWatch w;
        io.run();
        EXPECT_TRUE(io.writes().empty());
        EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 1);
    }
    {
        ScriptedIo io;
        io.data(smb2::nbss_header(5 * 1024 * 1024));
        smb2::CounterWatch w;
        io.run();
        EXPECT_EQ(io.read_calls(), 1) << "refused on the header, before any body is read";
        EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 1);
    }
}

TEST(SessionLoop, MaxMessageBelowTheCapIsHonoured) {
    smb2::ScopedOption small("max_message", "65536");
    ScriptedIo ok;
    ok.data(smb2::nbss(echo_of_size(65536)));
    ok.run();
    EXPECT_EQ(ok.logged_out().size(), 1u);

    ScriptedIo over;
    over.data(smb2::nbss(echo_of_size(65537)));
    smb2::CounterWatch w;
    over.run();
    EXPECT_TRUE(over.writes().empty());
    EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 1);
}

TEST(SessionLoop, MessagesLargerThanTheFirstBufferAreReceivedWhole) {
    ScriptedIo io;
    Bytes stream = smb2::nbss(echo_of_size(70000, 1));
    Bytes small = smb2::nbss(smb2::echo(2));
    Bytes large = smb2::nbss(echo_of_size(200000, 3));
    stream.insert(stream.end(), small.begin(), small.end());
    stream.insert(stream.end(), large.begin(), large.end());
    io.data(stream);
    io.run();
    ASSERT_EQ(io.logged_in().size(), 3u);
    EXPECT_EQ(io.logged_in()[0].size(), 70000u);
    EXPECT_EQ(io.logged_in()[2].size(), 200000u);
    ASSERT_EQ(io.logged_out().size(), 3u);
    EXPECT_EQ(smb2::get_u64(io.logged_out()[2], 24), 3u);
}

// Requests are read ahead in blocks of whatever the peer has sent; message
// boundaries fall anywhere in them, and a large message is partly read
// ahead and partly read straight. Every message must come out whole and in
// order however the stream is cut.
TEST(SessionLoop, MessagesCutAnywhereByTheTransportComeOutWholeAndInOrder) {
    std::vector<Bytes> msgs;
    Bytes stream;
    for (uint64_t mid = 1; mid <= 40; mid++) {
        size_t size = mid % 7 == 0 ? 16384 + 64 * mid : mid % 5 == 0 ? 70000 : 68 + mid;
        msgs.push_back(echo_of_size(size, mid));
        Bytes p = smb2::nbss(msgs.back());
        stream.insert(stream.end(), p.begin(), p.end());
    }
    for (size_t cut : {size_t(7), size_t(4096), size_t(16383), size_t(16385), size_t(65535)}) {
        ScriptedIo io;
        io.read_limit(1000000);
        for (size_t at = 0; at < stream.size(); at += cut) {
            size_t n = std::min(cut, stream.size() - at);
            io.data(Bytes(stream.begin() + long(at), stream.begin() + long(at + n)));
            if ((at / cut) % 3 == 0) io.timeouts(1);
        }
        io.run();
        ASSERT_EQ(io.logged_in().size(), msgs.size()) << "cut every " << cut;
        for (size_t i = 0; i < msgs.size(); i++)
            ASSERT_TRUE(io.logged_in()[i] == msgs[i]) << "message " << i << ", cut " << cut;
        EXPECT_EQ(io.logged_out().size(), msgs.size());
    }
}

TEST(SessionLoop, MessageArrivingInPiecesWithTimeoutsBetweenIsOneMessage) {
    Bytes pkt = smb2::nbss(smb2::echo(1));
    ScriptedIo io;
    io.data(Bytes(pkt.begin(), pkt.begin() + 2))
        .timeouts(2)
        .eof(2) // two zero results while waiting for one header are not yet the end
        .data(Bytes(pkt.begin() + 2, pkt.begin() + 30))
        .eof(2)
        .data(Bytes(pkt.begin() + 30, pkt.end()));
    io.run();
    ASSERT_EQ(io.logged_out().size(), 1u);
    EXPECT_EQ(smb2::hex(io.logged_out()[0]), kEchoReply1);
}

TEST(SessionLoop, ThirdZeroReadEndsTheConnection) {
    ScriptedIo io;
    io.eof(10);
    io.run();
    EXPECT_EQ(io.read_calls(), 3);
}

TEST(SessionLoop, ReadErrorEndsTheConnectionAtOnce) {
    ScriptedIo io;
    io.error().data(smb2::nbss(smb2::echo(1)));
    io.run();
    EXPECT_EQ(io.read_calls(), 1);
    EXPECT_TRUE(io.writes().empty());
}

TEST(SessionLoop, PeerSendingHalfAHeaderIsDroppedAfterTheIdleTimeout) {
    smb2::ScopedOption idle("idle_timeout_ms", "100");
    ScriptedIo io;
    io.data(Bytes{0x00, 0x00}).silence(10).read_limit(5000);
    smb2::CounterWatch w;
    io.run();
    EXPECT_FALSE(io.read_limit_hit());
    EXPECT_EQ(w.delta(QV2_ST_TIMEOUTS), 1);
    EXPECT_EQ(w.delta(QV2_ST_CONNECTIONS), 0);
}

TEST(SessionLoop, PeerStallingInsideABodyIsDroppedAfterTheIdleTimeout) {
    smb2::ScopedOption idle("idle_timeout_ms", "100");
    Bytes pkt = smb2::nbss(smb2::echo(1));
    ScriptedIo io;
    io.data(Bytes(pkt.begin(), pkt.begin() + 20)).silence(10).read_limit(5000);
    smb2::CounterWatch w;
    io.run();
    EXPECT_FALSE(io.read_limit_hit());
    EXPECT_EQ(w.delta(QV2_ST_TIMEOUTS), 1);
    EXPECT_TRUE(io.writes().empty());
}

TEST(SessionLoop, FailedHeaderWriteStillWritesTheBodyThenEndsTheConnection) {
    ScriptedIo io;
    Bytes stream = smb2::nbss(smb2::echo(1));
    Bytes second = smb2::nbss(smb2::echo(2));
    stream.insert(stream.end(), second.begin(), second.end());
    io.data(stream).fail_write(0);
    io.run();
    ASSERT_EQ(io.writes().size(), 2u) << "the body write is attempted after the header failed";
    EXPECT_EQ(io.writes()[1].size(), 68u);
    EXPECT_EQ(io.logged_in().size(), 1u) << "the second message is never read";
}

TEST(SessionLoop, PeerRefusedByTheAllowListGetsNothing) {
    ScriptedIo io;
    io.data(smb2::nbss(smb2::echo(1)));
    smb2::CounterWatch w;
    io.run("10.200.0.1");
    EXPECT_EQ(io.read_calls(), 0);
    EXPECT_TRUE(io.writes().empty());
    EXPECT_EQ(w.delta(QV2_ST_REFUSED_ALLOW), 1);
    EXPECT_EQ(w.delta(QV2_ST_CONNECTIONS), 0);
}

TEST(SessionLoop, ReplyTooLongForTheSessionHeaderIsNotWrittenAndEndsTheConnection) {
    // The length field has 24 bits; writing a wrong length would corrupt the
    // stream for everything after it.
    smb2::DirectConn dc;
    Bytes huge(0x1000000, 0);
    send_frame(&dc.conn(), huge.data(), huge.size());
    EXPECT_TRUE(dc.transport().writes().empty());
    EXPECT_EQ(dc.conn().closing, 1);

    Bytes largest(0xFFFFFF, 0);
    smb2::DirectConn ok;
    send_frame(&ok.conn(), largest.data(), largest.size());
    ASSERT_EQ(ok.transport().writes().size(), 2u);
    EXPECT_EQ(smb2::hex(ok.transport().writes()[0]), "00ffffff");
    EXPECT_EQ(ok.conn().closing, 0);
}
