// The read and write operations of the socket transport on their own, over a
// connected socket pair.
#include "net_fixture.h"
#include "support/loopback_client.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using SocketTransport = NetTest;

TEST_F(SocketTransport, ReadWaitsThenDeliversThenReportsTheClose) {
    TransportPair t;
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

// The wake-up a break or a notify completion uses: a read blocked on a
// silent socket returns -3 once woken from another thread, bytes already
// waiting are still read first, and a wake-up is taken once.
TEST_F(SocketTransport, AWokenReadReturnsAtOnceButWaitingBytesGoFirst) {
    TransportPair t;
    ASSERT_GE(t.peer, 0);
    t.conn.wake_fd = net_wake_fd();
    ASSERT_GE(t.conn.wake_fd, 0);
    uint8_t buf[16];
    std::thread waker([&] { x_wake(&t.conn); });
    EXPECT_EQ(x_read(&t.conn, buf, sizeof buf, 60000), -3);
    waker.join();
    EXPECT_EQ(x_read(&t.conn, buf, sizeof buf, 20), -2);
    ASSERT_EQ(write(t.peer, "ab", 2), 2);
    x_wake(&t.conn);
    EXPECT_EQ(x_read(&t.conn, buf, sizeof buf, 1000), 2);
    EXPECT_EQ(x_read(&t.conn, buf, sizeof buf, 1000), -3);
    close(t.conn.wake_fd);
}

TEST_F(SocketTransport, WriteSendsEverythingAndNothingForAnEmptyWrite) {
    TransportPair t;
    ASSERT_GE(t.peer, 0);
    EXPECT_EQ(x_write(&t.conn, nullptr, 0), 0);
    EXPECT_EQ(x_write(&t.conn, reinterpret_cast<const uint8_t *>("xyz"), -5), 0);
    EXPECT_EQ(x_write(&t.conn, reinterpret_cast<const uint8_t *>("xyz"), 3), 0);
    char got[8];
    EXPECT_EQ(read(t.peer, got, sizeof got), 3);
}

TEST_F(SocketTransport, WriteToAClosedPeerFailsWithoutKillingTheProcess) {
    TransportPair t;
    ASSERT_GE(t.peer, 0);
    close(t.peer);
    t.peer = -1;
    // Without MSG_NOSIGNAL this would raise SIGPIPE and end the test run.
    EXPECT_EQ(x_write(&t.conn, reinterpret_cast<const uint8_t *>("xyz"), 3), -1);
}

TEST_F(SocketTransport, WriteToAPeerThatStopsReadingGivesUpAfterTheIoTimeout) {
    ASSERT_EQ(dirir2i_set_option("io_timeout_ms", "100"), 0);
    TransportPair t;
    ASSERT_GE(t.peer, 0);
    std::vector<uint8_t> big(8u << 20, 0x5a); // far more than the socket buffers hold
    EXPECT_EQ(x_write(&t.conn, big.data(), int(big.size())), -1);
}

namespace {

// A connected TCP pair over loopback: the transport's end tuned and
// non-blocking as an accepted socket is, `client` blocking with a time-out.
struct tcp_pair {
    net_conn conn{};
    int client = -1;
    tcp_pair() {
        int port = 0;
        int lis = nettest::listen_loopback(&port);
        if (lis < 0) return;
        client = nettest::connect_to("127.0.0.1", port);
        conn.sock = client >= 0 ? accept(lis, nullptr, nullptr) : -1;
        close(lis);
        if (conn.sock < 0) return;
        net_tune_stream(conn.sock);
        fcntl(conn.sock, F_SETFL, fcntl(conn.sock, F_GETFL) | O_NONBLOCK);
        timeval tv{5, 0}; // a broken test fails instead of hanging
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~tcp_pair() {
        if (conn.sock >= 0) close(conn.sock);
        if (client >= 0) close(client);
    }
};

} // namespace

// Connected sockets keep little unsent data in the kernel; a large reply to
// a client that reads in small pieces still arrives whole and in order, the
// sender waiting as often as the small unsent budget makes it.
TEST_F(SocketTransport, TunedStreamsQueueLittleUnsentDataAndStillSendEverything) {
    tcp_pair t;
    ASSERT_GE(t.conn.sock, 0);
    int v = 0;
    socklen_t len = sizeof v;
    ASSERT_EQ(getsockopt(t.conn.sock, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &v, &len), 0);
    EXPECT_EQ(v, 65536);
    ASSERT_EQ(getsockopt(t.conn.sock, IPPROTO_TCP, TCP_NODELAY, &v, &len), 0);
    EXPECT_NE(v, 0);

    std::vector<uint8_t> data(6 << 20);
    for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i * 31 + (i >> 13));
    int rc = -1;
    std::thread writer([&] { rc = x_write(&t.conn, data.data(), int(data.size())); });
    std::vector<uint8_t> got;
    got.reserve(data.size());
    uint8_t piece[3000];
    while (got.size() < data.size()) {
        ssize_t n = recv(t.client, piece, sizeof piece, 0);
        if (n <= 0) break;
        got.insert(got.end(), piece, piece + n);
    }
    writer.join();
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(got == data);
}
