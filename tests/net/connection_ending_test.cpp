// How connections end: stop, the idle time-out, peers that stop reading, and
// that none of it leaves threads or descriptors behind.
#include "support/loopback_client.h"
#include "net_fixture.h"

#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace nettest;

namespace {

// Sends session requests without ever reading the answers, until the
// server stops taking them: its answers have filled every buffer on the
// way, so it is stuck writing. True when that state was reached. The client
// should have a small window, so that little fills it.
bool stuff_until_server_is_stuck(int fd) {
    std::string requests;
    for (int i = 0; i < 16384; i++)
        requests.append("\x81\0\0\0", 4);
    size_t at = 0; // keeps the stream aligned on whole requests across partial sends
    int quiet_steps = 0;
    for (int step = 0; step < 20000 && quiet_steps < 5; step++) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 100) == 0) {
            quiet_steps++; // half a second with no room: the server isn't reading
            continue;
        }
        quiet_steps = 0;
        ssize_t put =
            send(fd, requests.data() + at, requests.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put > 0) at = (at + size_t(put)) % requests.size();
        if (put < 0 && errno != EAGAIN && errno != EINTR) return false;
    }
    return quiet_steps >= 5;
}

// Returns once the accept thread has taken every connection queued before
// this call: accepting is first in, first out, so a marker client that gets
// its answer, or is refused, was preceded by all of them.
void drain_accept_queue(int port) {
    int fd = connect_to("127.0.0.1", port);
    if (fd < 0) return;
    const unsigned char req[4] = {0x81, 0, 0, 0};
    send_all(fd, req, sizeof req);
    recv_exact(fd, 4); // the answer, or the close of a refused client
    close(fd);
}

} // namespace

using ConnectionEnding = NetTest;

TEST_F(ConnectionEnding, StopClosesIdleClientsAndTheServerCanStartAgain) {
    ASSERT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0);
    int port = dirir2i_port();
    std::vector<int> clients;
    for (int i = 0; i < 3; i++) {
        int fd = connect_to("127.0.0.1", port);
        ASSERT_TRUE(session_request_answered(fd));
        clients.push_back(fd);
    }
    EXPECT_EQ(dirir2i_client_count(), 3);

    dirir2i_stop(); // idle readers see the stop within one read step
    EXPECT_EQ(dirir2i_port(), 0);
    EXPECT_EQ(dirir2i_client_count(), 0);
    for (int fd : clients) {
        EXPECT_TRUE(peer_closed(fd));
        close(fd);
    }
    EXPECT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0) << dirir2i_last_error();
}

TEST_F(ConnectionEnding, HalfAHeaderThenSilenceEndsAtTheIdleTimeout) {
    ASSERT_EQ(dirir2i_set_option("idle_timeout_ms", "100"), 0);
    ASSERT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0);
    long long timeouts = stat("timeouts");
    int fd = connect_to("127.0.0.1", dirir2i_port());
    ASSERT_TRUE(send_all(fd, "\x00\x00", 2));
    EXPECT_TRUE(peer_closed(fd));
    close(fd);
    EXPECT_TRUE(wait_until([&] { return stat("timeouts") == timeouts + 1; }));
    EXPECT_TRUE(wait_until([] { return dirir2i_client_count() == 0; }));
}

TEST_F(ConnectionEnding, PeerThatNeverReadsIsDroppedAfterTheWriteTimeout) {
    ASSERT_EQ(dirir2i_set_option("io_timeout_ms", "100"), 0);
    ASSERT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0);
    int fd = connect_to("127.0.0.1", dirir2i_port(), nullptr, true);
    ASSERT_TRUE(session_request_answered(fd));
    ASSERT_EQ(dirir2i_client_count(), 1);

    // Either the stuffing sees the server give up (a reset) or it reaches
    // the stuck state; both ways the connection must end on its own.
    stuff_until_server_is_stuck(fd);
    EXPECT_TRUE(wait_until([] { return dirir2i_client_count() == 0; }));
    close(fd);
}

TEST_F(ConnectionEnding, StopReturnsWhileAPeerRefusesToRead) {
    ASSERT_EQ(dirir2i_set_option("io_timeout_ms", "3600000"), 0);
    ASSERT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0);
    int fd = connect_to("127.0.0.1", dirir2i_port(), nullptr, true);
    ASSERT_TRUE(session_request_answered(fd));
    ASSERT_TRUE(stuff_until_server_is_stuck(fd));
    EXPECT_EQ(dirir2i_client_count(), 1);

    dirir2i_stop(); // must not wait an hour for the writer
    EXPECT_EQ(dirir2i_client_count(), 0);
    EXPECT_EQ(dirir2i_port(), 0);
    close(fd);
}

TEST_F(ConnectionEnding, HundredsOfAbruptConnectionsLeaveNoThreadsOrDescriptorsBehind) {
    ASSERT_EQ(dirir2i_set_option("idle_timeout_ms", "100"), 0);
    ASSERT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0);
    int port = dirir2i_port();
    const int fds_before = open_fd_count();
    const int threads_before = thread_count();

    const std::string junk[] = {
        std::string(),                         // connect and go
        std::string("\x00\x00", 2),            // half a header
        std::string("\x85\0\0\0", 4),          // keep-alive: framing error
        std::string("\x00\xff\xff\xff", 4),    // longer than any message
        std::string("\x81\0\0\x10", 4),        // session request cut short
        std::string("\x00\0\0\x44\xfeSMB", 8), // message cut short
        std::string("GET / HTTP/1.0\r\n\r\n"), // not SMB at all
        std::string("\x00\0\0\x04\xffSMB", 8), // tiny SMB1
    };
    const int kRounds = 40, kWave = 8;
    for (int round = 0; round < kRounds; round++) {
        std::vector<int> wave;
        for (int i = 0; i < kWave; i++) {
            int fd = connect_to("127.0.0.1", port);
            if (fd < 0) continue;
            const std::string &bytes = junk[(round + i) % 8];
            if (!bytes.empty()) send_all(fd, bytes.data(), bytes.size());
            if (i % 3 == 0) send(fd, "!", 1, MSG_OOB | MSG_NOSIGNAL);
            wave.push_back(fd);
        }
        for (size_t i = 0; i < wave.size(); i++) {
            if (i % 2 == 0) { // reset instead of an orderly close
                linger hard{1, 0};
                setsockopt(wave[i], SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            }
            close(wave[i]);
        }
        drain_accept_queue(port); // keeps the listen queue from overflowing
    }

    EXPECT_TRUE(wait_until([] { return dirir2i_client_count() == 0; }));
    // Finished connections are reaped by the accept thread on its next pass.
    EXPECT_TRUE(wait_until([&] { return thread_count() == threads_before; }))
        << thread_count() << " threads, " << threads_before << " before";
    EXPECT_TRUE(wait_until([&] { return open_fd_count() == fds_before; }))
        << open_fd_count() << " descriptors, " << fds_before << " before";

    // The server still serves.
    int fd = connect_to("127.0.0.1", port);
    EXPECT_TRUE(session_request_answered(fd));
    close(fd);
}
