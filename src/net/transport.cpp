// The socket transport of one connection: the read and write operations the
// session loop calls through qv2_io.
#include "net/net_internal.h"

#include "config/qv2_cfg.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

namespace {

constexpr int kWriteStepMs = 100;

bool would_block(int err) {
    return err == EAGAIN || err == EWOULDBLOCK;
}

} // namespace

int x_read(void *user, uint8_t *buf, int max, int timeout_ms) {
    auto *c = static_cast<net_conn *>(user);
    if (!c || c->sock < 0 || !buf || max <= 0) return -1;
    if (timeout_ms < 0) timeout_ms = 0;
    // One deadline for the whole call, so that readiness without data (an
    // urgent byte, a spurious wake-up) can't stretch the wait.
    uint64_t deadline = qv2_now_ms() + uint64_t(timeout_ms);
    for (;;) {
        ssize_t got = recv(c->sock, buf, size_t(max), 0);
        if (got > 0) return int(got);
        if (got == 0) return 0;
        if (errno == EINTR) continue;
        if (!would_block(errno)) return -1;

        int ready;
        do {
            uint64_t now = qv2_now_ms();
            if (now >= deadline) return -2;
            pollfd p{c->sock, POLLIN, 0};
            ready = poll(&p, 1, int(deadline - now));
        } while (ready < 0 && errno == EINTR);
        // A failing wait is treated as a time-out rather than retried at
        // once: the caller then checks the stop flag and the idle time, so
        // the thread can never spin here.
        if (ready <= 0) return -2;
    }
}

int x_write(void *user, const uint8_t *data, int n) {
    auto *c = static_cast<net_conn *>(user);
    if (n <= 0) return 0;
    if (!c || c->sock < 0 || !data) return -1;
    int sent = 0;
    int limit_ms = -1;       // io_timeout_ms, read when the first wait comes
    uint64_t stalled_at = 0; // when the peer last took nothing; 0 = not stalled
    while (sent < n) {
        ssize_t put = send(c->sock, data + sent, size_t(n - sent), MSG_NOSIGNAL);
        if (put > 0) {
            sent += int(put);
            stalled_at = 0;
            continue;
        }
        if (put == 0) return -1;
        if (errno == EINTR) continue;
        if (!would_block(errno)) return -1;

        // The peer is not reading. Without a bound a stuck peer would hold
        // this thread, and dirir2i_stop that waits for it, for as long as it
        // likes.
        if (limit_ms < 0) {
            qv2_opts opts;
            qv2_opts_get(&opts);
            limit_ms = opts.io_timeout_ms;
        }
        uint64_t now = qv2_now_ms();
        if (stalled_at == 0)
            stalled_at = now;
        else if (now - stalled_at >= uint64_t(limit_ms))
            return -1;
        if (qv2_server_stopping()) return -1;
        pollfd p{c->sock, POLLOUT, 0};
        int ready;
        do {
            ready = poll(&p, 1, kWriteStepMs);
        } while (ready < 0 && errno == EINTR);
        if (ready < 0) return -1;
    }
    return 0;
}
