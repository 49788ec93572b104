// Plain blocking-socket clients for talking to the server over loopback, and
// the bounded waits the network tests use instead of timed assertions.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace nettest {

// Connects to host:port (IPv4 or IPv6 text); -1 on failure. When `from` is
// given, the client socket is bound to that local address first. A client
// with a small window takes little at a time (small receive buffer and
// segments, set before the connection exists so the peer honours them).
int connect_to(const char *host, int port, const char *from = nullptr, bool small_window = false);
// Sends everything; false on failure (never raises SIGPIPE).
bool send_all(int fd, const void *data, size_t n);
// Reads exactly n bytes, waiting at most wait_ms in all. The bytes, or fewer
// when the peer closed, failed or the wait ran out.
std::string recv_exact(int fd, size_t n, int wait_ms = 10000);
// True when the peer has closed (a read returns 0 or a reset) within wait_ms.
bool peer_closed(int fd, int wait_ms = 10000);
// Sends a session request and expects the positive response 82 00 00 00.
bool session_request_answered(int fd);
// Polls `done` every 10 ms for at most limit_ms; its last answer.
bool wait_until(const std::function<bool()> &done, int limit_ms = 20000);
// Open descriptors and threads of this process.
int open_fd_count();
int thread_count();
// A local address of this machine that is not loopback ("" when none), for
// clients the allow-list must refuse. Traffic to it never leaves the host.
std::string non_loopback_ipv4();
// A JSON counter by name from dirir2i_stats_json.
long long stat(const char *name);

} // namespace nettest
