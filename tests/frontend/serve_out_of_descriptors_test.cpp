// A server that runs out of file descriptors refuses nothing for good: once
// clients leave, it accepts and serves again.
#include "child_process.h"

#include "support/loopback_client.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// Sends a session request on every client, then collects the answers
// (82 00 00 00) for about a second. The number answered.
int answered(const std::vector<int> &fds) {
    std::vector<std::string> got(fds.size());
    for (int fd : fds)
        send(fd, "\x81\0\0\0", 4, MSG_NOSIGNAL);
    auto all_in = [&] {
        for (const std::string &g : got)
            if (g.size() < 4) return false;
        return true;
    };
    for (int step = 0; step < 20 && !all_in(); step++) {
        std::vector<pollfd> p;
        for (int fd : fds)
            p.push_back({fd, POLLIN, 0});
        if (poll(p.data(), p.size(), 50) <= 0) continue;
        for (size_t i = 0; i < fds.size(); i++) {
            char buf[4];
            if (!(p[i].revents & POLLIN) || got[i].size() >= 4) continue;
            ssize_t n = recv(fds[i], buf, 4 - got[i].size(), MSG_DONTWAIT);
            if (n > 0) got[i].append(buf, size_t(n));
        }
    }
    int n = 0;
    for (const std::string &g : got)
        n += g == std::string("\x82\0\0\0", 4);
    return n;
}

} // namespace

TEST(ServeOutOfDescriptors, ServesAgainOnceClientsLeave) {
    // Twelve descriptors: the standard streams, the listener, and room for
    // eight clients; the rest wait in the listen queue.
    running_program serve("/bin/sh",
                          {"-c", "ulimit -n 12 && exec \"$0\" serve --port 0", DIRIR2I_BIN});
    std::string line = serve.read_line();
    int port = port_in(line);
    ASSERT_GT(port, 0) << line << serve.errors();

    std::vector<int> clients;
    for (int i = 0; i < 16; i++) {
        int fd = nettest::connect_to("127.0.0.1", port);
        ASSERT_GE(fd, 0);
        clients.push_back(fd);
    }
    int served = answered(clients);
    EXPECT_GT(served, 0);
    EXPECT_LT(served, 16); // some really did run out
    for (int fd : clients)
        close(fd);

    // The queued, now closed clients are taken and dropped first; then a new
    // one is served.
    bool served_again = false;
    for (int attempt = 0; attempt < 20 && !served_again; attempt++) {
        int fd = nettest::connect_to("127.0.0.1", port);
        served_again = fd >= 0 && answered({fd}) == 1;
        if (fd >= 0) close(fd);
    }
    EXPECT_TRUE(served_again);
    EXPECT_EQ(serve.wait_exit(100), -1); // and it is still running
}
