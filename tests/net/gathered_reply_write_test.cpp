// The socket transport's paired write: a reply's session-service header and
// its message leave in one system call (one record on a packet socket), a
// body far larger than the socket buffer arrives whole and in order, and the
// failures behave as the single write's do.
#include "net_fixture.h"

#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const uint8_t kHead[4] = {0x00, 0x00, 0x03, 0xE8};

} // namespace

using GatheredReplyWrite = NetTest;

TEST_F(GatheredReplyWrite, HeaderAndMessageLeaveInOneSystemCall) {
    TransportPair t(SOCK_SEQPACKET);
    ASSERT_GE(t.peer, 0);
    std::vector<uint8_t> body(1000);
    for (size_t i = 0; i < body.size(); i++)
        body[i] = uint8_t(i * 7);
    ASSERT_EQ(x_write_pair(&t.conn, kHead, 4, body.data(), int(body.size())), 0);
    // A packet socket keeps the boundaries of each send: one record holding
    // both parts means one system call.
    std::vector<uint8_t> got(4096);
    ssize_t n = recv(t.peer, got.data(), got.size(), 0);
    ASSERT_EQ(n, 1004);
    EXPECT_EQ(memcmp(got.data(), kHead, 4), 0);
    EXPECT_EQ(memcmp(got.data() + 4, body.data(), body.size()), 0);
}

TEST_F(GatheredReplyWrite, ABodyFarLargerThanTheSocketBufferArrivesWholeAndInOrder) {
    TransportPair t(SOCK_STREAM);
    ASSERT_GE(t.peer, 0);
    std::vector<uint8_t> body(3u << 20);
    for (size_t i = 0; i < body.size(); i++)
        body[i] = uint8_t(i ^ (i >> 9));
    std::string received;
    std::thread reader([&] {
        char buf[65536];
        while (received.size() < 4 + body.size()) {
            ssize_t n = recv(t.peer, buf, sizeof buf, 0);
            if (n <= 0) break;
            received.append(buf, size_t(n));
        }
    });
    int rc = x_write_pair(&t.conn, kHead, 4, body.data(), int(body.size()));
    reader.join();
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(received.size(), 4 + body.size());
    EXPECT_EQ(memcmp(received.data(), kHead, 4), 0);
    EXPECT_EQ(memcmp(received.data() + 4, body.data(), body.size()), 0);
}

TEST_F(GatheredReplyWrite, EmptyPartsAreSkippedAndNothingAtAllSendsNothing) {
    TransportPair t(SOCK_SEQPACKET);
    ASSERT_GE(t.peer, 0);
    EXPECT_EQ(x_write_pair(&t.conn, nullptr, 0, nullptr, 0), 0);
    EXPECT_EQ(x_write_pair(&t.conn, kHead, 4, nullptr, 0), 0);
    EXPECT_EQ(x_write_pair(&t.conn, nullptr, 0, kHead + 2, 2), 0);
    EXPECT_EQ(x_write_pair(&t.conn, kHead, -1, kHead, 4), -1);
    uint8_t got[16];
    EXPECT_EQ(recv(t.peer, got, sizeof got, 0), 4);
    EXPECT_EQ(recv(t.peer, got, sizeof got, 0), 2);
    EXPECT_EQ(recv(t.peer, got, sizeof got, MSG_DONTWAIT), -1); // nothing else was sent
}

TEST_F(GatheredReplyWrite, FailsLikeTheSingleWriteOnAClosedOrStalledPeer) {
    {
        TransportPair t(SOCK_STREAM);
        ASSERT_GE(t.peer, 0);
        close(t.peer);
        t.peer = -1;
        // Without MSG_NOSIGNAL this would raise SIGPIPE and end the test run.
        EXPECT_EQ(x_write_pair(&t.conn, kHead, 4, kHead, 4), -1);
    }
    {
        ASSERT_EQ(dirir2i_set_option("io_timeout_ms", "100"), 0);
        TransportPair t(SOCK_STREAM);
        ASSERT_GE(t.peer, 0);
        std::vector<uint8_t> big(8u << 20, 0x5a); // far more than the socket buffers hold
        EXPECT_EQ(x_write_pair(&t.conn, kHead, 4, big.data(), int(big.size())), -1);
    }
}
