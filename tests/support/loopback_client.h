// Plain blocking-socket clients for talking to the server over loopback,
// an SMB2 client connection on top of them, the process measurements the
// network and load tests compare, and the bounded waits they use instead of
// timed assertions.
//
//   nettest::Conn c(dirir2i_port());
//   smb2::Session s = c.logon({.user = "alice", .password = "pw"});
//   smb2::Reply r = c.exchange(smb2::echo(s.next_mid++));
#pragma once

#include "support/smb2_session.h"

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
// A fresh connection to 127.0.0.1:port gets its session request answered.
bool port_answers(int port);
// Binds a fresh socket (SO_REUSEADDR) to host:port (IPv4): 0, or the errno.
// With fd_out the bound socket is kept there, else closed.
int try_bind(const char *host, int port, int *fd_out = nullptr);
// A listening socket on 127.0.0.1 at a port the system chose (-1 on failure).
int listen_loopback(int *port);
// Polls `done` every 10 ms for at most limit_ms; its last answer.
bool wait_until(const std::function<bool()> &done, int limit_ms = 30000);
// Open descriptors and threads of this process.
int open_fd_count();
int thread_count();
// A local address of this machine that is not loopback ("" when none), for
// clients the allow-list must refuse. Traffic to it never leaves the host.
std::string non_loopback_ipv4();
// A JSON counter by name from dirir2i_stats_json.
long long stat(const char *name);

// One SMB2 client connection to 127.0.0.1:port; every request waits for its
// reply. A small window (receive buffer and segments set before connecting)
// makes a client that reads slowly.
class Conn {
  public:
    // `from`: a local address to connect from (127.0.0.2, say), else the
    // system's choice.
    explicit Conn(int port, bool small_window = false, const char *from = nullptr);
    ~Conn();
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // One message in its session-service header; false when it can't be sent.
    bool send(const smb2::Bytes &msg);
    bool send_raw(const void *bytes, size_t n);
    // The next reply message; an empty Reply when the peer closed, failed,
    // or sent nothing whole within wait_ms.
    smb2::Reply recv(int wait_ms = 30000);
    smb2::Reply exchange(const smb2::Bytes &msg) { return send(msg) ? recv() : smb2::Reply(); }
    // NEGOTIATE and the two SESSION_SETUP legs over this connection.
    smb2::Session logon(const smb2::LogonParams &p = {});
    // True when the peer has closed the connection (or reset it) within
    // wait_ms; whatever it still sends meanwhile is read and dropped.
    bool closed_by_peer(int wait_ms = 30000);
    void close();

  private:
    bool read_exact(uint8_t *buf, size_t n, int wait_ms);
    int fd_ = -1;
};

} // namespace nettest
