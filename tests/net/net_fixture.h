// Every network test leaves the server stopped and every option as it found
// it, since the server is one process-wide instance. TransportPair drives the
// socket transport on its own.
#pragma once

#include "support/options_snapshot.h"

#include "dirir2i.h"
#include "net/net_internal.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

class NetTest : public ::testing::Test {
  protected:
    void SetUp() override { dirir2i_stop(); }
    void TearDown() override { dirir2i_stop(); }
    smb2::OptionsSnapshot restore_;
};

// A transport over one end of a socket pair of the given type, made
// non-blocking with a small send buffer as the server's sockets are; `peer`
// is the other end (blocking, with a time-out so that a broken test fails
// instead of hanging).
struct TransportPair {
    net_conn conn{};
    int peer = -1;
    explicit TransportPair(int type = SOCK_STREAM) {
        int sv[2];
        if (socketpair(AF_UNIX, type, 0, sv) != 0) return;
        conn.sock = sv[0];
        peer = sv[1];
        fcntl(conn.sock, F_SETFL, fcntl(conn.sock, F_GETFL) | O_NONBLOCK);
        int small = 4096;
        setsockopt(conn.sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        timeval tv{5, 0};
        setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~TransportPair() {
        if (conn.sock >= 0) close(conn.sock);
        if (peer >= 0) close(peer);
    }
    TransportPair(const TransportPair &) = delete;
    TransportPair &operator=(const TransportPair &) = delete;
};
