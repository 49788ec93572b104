// Whole SMB2 messages over real loopback TCP: reassembly of split and
// pipelined input, large messages, and replies identical to the simulation's.
#include "support/loopback_client.h"
#include "net_fixture.h"

#include "config/qv2_cfg.h"
#include "engine/qv2_engine_types.h"
#include "support/smb2_frames.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

using namespace nettest;

namespace {

class TcpMessageExchange : public NetTest {
  protected:
    void SetUp() override {
        NetTest::SetUp();
        ASSERT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0) << dirir2i_last_error();
        conn_ = std::make_unique<Conn>(dirir2i_port());
        fd_ = conn_->fd();
        ASSERT_GE(fd_, 0);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    void TearDown() override {
        conn_.reset();
        NetTest::TearDown();
    }
    std::unique_ptr<Conn> conn_;
    int fd_ = -1;
};

} // namespace

TEST_F(TcpMessageExchange, MessageSentOneByteAtATimeIsReassembled) {
    smb2::Bytes packet = smb2::nbss(smb2::echo(7));
    for (uint8_t byte : packet)
        ASSERT_TRUE(send_all(fd_, &byte, 1));
    smb2::Reply r = conn_->recv();
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
    ASSERT_TRUE(conn_->send_raw(stream.data(), stream.size()));
    EXPECT_EQ(recv_exact(fd_, 4), std::string("\x82\0\0\0", 4));
    for (uint64_t mid = 1; mid <= 64; mid++) {
        smb2::Reply r = conn_->recv();
        ASSERT_TRUE(r.is_smb2()) << mid;
        EXPECT_EQ(r.mid(), mid);
    }
}

TEST_F(TcpMessageExchange, LargeMessageArrivesWholeAndTheConnectionGoesOn) {
    // A 3 MiB message: many partial reads, and a receive buffer that grows.
    smb2::Bytes big = smb2::request({.command = SMB2_ECHO, .mid = 1}, smb2::echo_body());
    big.resize(3u << 20, 0xAB);
    ASSERT_TRUE(conn_->send(big));
    smb2::Reply first = conn_->recv();
    ASSERT_TRUE(first.is_smb2());
    EXPECT_EQ(first.mid(), 1u);
    ASSERT_TRUE(conn_->send(smb2::echo(2)));
    smb2::Reply second = conn_->recv();
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
    ASSERT_TRUE(conn_->send(smb2::echo(5)));
    smb2::Bytes reply = conn_->recv().bytes();
    EXPECT_EQ(reply, t.replies[0].bytes());
    EXPECT_TRUE(wait_until([&] { return stat("bytes_sent") == sent_before + long(reply.size()); }));
}
