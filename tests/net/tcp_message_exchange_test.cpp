// Whole SMB2 messages over real loopback TCP: reassembly of split and
// pipelined input, large messages, and replies identical to the simulation's.
#include "support/loopback_client.h"
#include "net_fixture.h"

#include "config/qv2_cfg.h"
#include "engine/qv2_engine_types.h"
#include "support/smb2_frames.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

using namespace nettest;

namespace {

// Reads one session-service packet and returns the message in it (empty
// when the connection ended first).
smb2::Bytes read_message(int fd) {
    std::string hdr = recv_exact(fd, 4);
    if (hdr.size() != 4 || hdr[0] != 0) return {};
    size_t len = (size_t(uint8_t(hdr[1])) << 16) | (size_t(uint8_t(hdr[2])) << 8) | uint8_t(hdr[3]);
    std::string body = recv_exact(fd, len);
    if (body.size() != len) return {};
    return smb2::Bytes(body.begin(), body.end());
}

bool send_bytes(int fd, const smb2::Bytes &b) {
    return send_all(fd, b.data(), b.size());
}

class TcpMessageExchange : public NetTest {
  protected:
    void SetUp() override {
        NetTest::SetUp();
        ASSERT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0) << dirir2i_last_error();
        fd_ = connect_to("127.0.0.1", dirir2i_port());
        ASSERT_GE(fd_, 0);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    void TearDown() override {
        if (fd_ >= 0) close(fd_);
        NetTest::TearDown();
    }
    int fd_ = -1;
};

} // namespace

TEST_F(TcpMessageExchange, MessageSentOneByteAtATimeIsReassembled) {
    smb2::Bytes packet = smb2::nbss(smb2::echo(7));
    for (uint8_t byte : packet)
        ASSERT_TRUE(send_all(fd_, &byte, 1));
    smb2::Reply r(read_message(fd_));
    ASSERT_TRUE(r.is_smb2());
    EXPECT_EQ(r.command(), SMB2_ECHO);
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.mid(), 7u);
}

TEST_F(TcpMessageExchange, PipelinedMessagesAreAnsweredInOrder) {
    smb2::Bytes stream = smb2::session_request(16); // a session request with a body, first
    for (uint64_t mid = 1; mid <= 64; mid++) {
        smb2::Bytes packet = smb2::nbss(smb2::echo(mid));
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    ASSERT_TRUE(send_bytes(fd_, stream));
    EXPECT_EQ(recv_exact(fd_, 4), std::string("\x82\0\0\0", 4));
    for (uint64_t mid = 1; mid <= 64; mid++) {
        smb2::Reply r(read_message(fd_));
        ASSERT_TRUE(r.is_smb2()) << mid;
        EXPECT_EQ(r.mid(), mid);
    }
}

TEST_F(TcpMessageExchange, LargeMessageArrivesWholeAndTheConnectionGoesOn) {
    // A 3 MiB message: many partial reads, and a receive buffer that grows.
    smb2::Bytes big = smb2::request({.command = SMB2_ECHO, .mid = 1}, smb2::echo_body());
    big.resize(3u << 20, 0xAB);
    ASSERT_TRUE(send_bytes(fd_, smb2::nbss(big)));
    smb2::Reply first(read_message(fd_));
    ASSERT_TRUE(first.is_smb2());
    EXPECT_EQ(first.mid(), 1u);
    ASSERT_TRUE(send_bytes(fd_, smb2::nbss(smb2::echo(2))));
    smb2::Reply second(read_message(fd_));
    ASSERT_TRUE(second.is_smb2());
    EXPECT_EQ(second.mid(), 2u);
}

TEST_F(TcpMessageExchange, RepliesAndCountersMatchTheSimulation) {
    // The same engine runs behind both transports, so the same request gets
    // the same bytes back, and bytes_sent counts them without the header.
    smb2::Script script;
    script.send(smb2::echo(5));
    smb2::Transcript t = smb2::run(script);
    ASSERT_EQ(t.replies.size(), 1u) << t.error;

    long long sent_before = stat("bytes_sent");
    ASSERT_TRUE(send_bytes(fd_, smb2::nbss(smb2::echo(5))));
    smb2::Bytes reply = read_message(fd_);
    EXPECT_EQ(reply, t.replies[0].bytes());
    EXPECT_TRUE(wait_until([&] { return stat("bytes_sent") == sent_before + long(reply.size()); }));
}
