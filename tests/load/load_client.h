// A blocking SMB2-over-TCP client for the load and memory tests, with the
// process measurements they compare (threads, descriptors, resident memory)
// and bounded waits. Requests come from the builders in tests/support.
//
//   load::Conn c(dirir2i_port());
//   smb2::Session s = c.logon({.user = "alice", .password = "pw"});
//   smb2::Reply r = c.exchange(smb2::echo(s.next_mid++));
#pragma once

#include "support/loopback_client.h"
#include "support/smb2_session.h"

#include <cstdint>
#include <functional>
#include <string>

namespace load {

class Conn {
  public:
    // Connects to 127.0.0.1:port. A small window (receive buffer and
    // segments set before connecting) makes a client that reads slowly.
    explicit Conn(int port, bool small_window = false);
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

// Open descriptors and threads of this process (/proc/self/fd, /proc/self/task).
inline int open_fds() { return nettest::open_fd_count(); }
inline int threads() { return nettest::thread_count(); }
// Resident memory of this process in bytes (/proc/self/statm).
uint64_t resident_bytes();
// Polls `done` every 10 ms for at most limit_ms; its last answer.
inline bool wait_until(const std::function<bool()> &done, int limit_ms = 30000) {
    return nettest::wait_until(done, limit_ms);
}
// A counter of dirir2i_stats_json by name.
inline long long stat(const char *name) { return nettest::stat(name); }

} // namespace load
