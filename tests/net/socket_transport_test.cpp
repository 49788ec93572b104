// The read and write operations of the socket transport on their own, over a
// connected socket pair.
#include "net_fixture.h"

#include "net/net_internal.h"

#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// A transport over one end of a non-blocking stream pair; `peer` is the
// other end.
struct transport_pair {
    net_conn conn{};
    int peer = -1;
    transport_pair() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0) return;
        conn.sock = sv[0];
        peer = sv[1];
        int small = 4096;
        setsockopt(conn.sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }
    ~transport_pair() {
        if (conn.sock >= 0) close(conn.sock);
        if (peer >= 0) close(peer);
    }
};

} // namespace

using SocketTransport = NetTest;

TEST_F(SocketTransport, ReadWaitsThenDeliversThenReportsTheClose) {
    transport_pair t;
    ASSERT_GE(t.peer, 0);
    uint8_t buf[16];
    EXPECT_EQ(x_read(&t.conn, buf, sizeof buf, 20), -2);
    ASSERT_EQ(write(t.peer, "abc", 3), 3);
    ASSERT_EQ(x_read(&t.conn, buf, sizeof buf, 1000), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 3), "abc");
    ASSERT_EQ(write(t.peer, "defgh", 5), 5);
    EXPECT_EQ(x_read(&t.conn, buf, 2, 1000), 2); // never more than asked
    EXPECT_EQ(x_read(&t.conn, buf, sizeof buf, 1000), 3);
    close(t.peer);
    t.peer = -1;
    EXPECT_EQ(x_read(&t.conn, buf, sizeof buf, 1000), 0);
}

TEST_F(SocketTransport, WriteSendsEverythingAndNothingForAnEmptyWrite) {
    transport_pair t;
    ASSERT_GE(t.peer, 0);
    EXPECT_EQ(x_write(&t.conn, nullptr, 0), 0);
    EXPECT_EQ(x_write(&t.conn, reinterpret_cast<const uint8_t *>("xyz"), -5), 0);
    EXPECT_EQ(x_write(&t.conn, reinterpret_cast<const uint8_t *>("xyz"), 3), 0);
    char got[8];
    EXPECT_EQ(read(t.peer, got, sizeof got), 3);
}

TEST_F(SocketTransport, WriteToAClosedPeerFailsWithoutKillingTheProcess) {
    transport_pair t;
    ASSERT_GE(t.peer, 0);
    close(t.peer);
    t.peer = -1;
    // Without MSG_NOSIGNAL this would raise SIGPIPE and end the test run.
    EXPECT_EQ(x_write(&t.conn, reinterpret_cast<const uint8_t *>("xyz"), 3), -1);
}

TEST_F(SocketTransport, WriteToAPeerThatStopsReadingGivesUpAfterTheIoTimeout) {
    ASSERT_EQ(dirir2i_set_option("io_timeout_ms", "100"), 0);
    transport_pair t;
    ASSERT_GE(t.peer, 0);
    std::vector<uint8_t> big(8u << 20, 0x5a); // far more than the socket buffers hold
    EXPECT_EQ(x_write(&t.conn, big.data(), int(big.size())), -1);
}
