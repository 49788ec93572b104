// The socket transport of one connection: the read and write operations the
// session loop calls through qv2_io.
#include "net/net_internal.h"

#include "config/qv2_cfg.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

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
        pollfd p[2] = {{c->sock, POLLIN, 0}, {c->wake_fd, POLLIN, 0}};
        do {
            uint64_t now = qv2_now_ms();
            if (now >= deadline) return -2;
            ready = poll(p, c->wake_fd >= 0 ? 2 : 1, int(deadline - now));
        } while (ready < 0 && errno == EINTR);
        // A failing wait is treated as a time-out rather than retried at
        // once: the caller then checks the stop flag and the idle time, so
        // the thread can never spin here.
        if (ready <= 0) return -2;
        if (c->wake_fd >= 0 && (p[1].revents & POLLIN)) {
            // Bytes already waiting on the socket go first; the caller looks
            // at its news after the next message anyway.
            if (p[0].revents & POLLIN) continue;
            uint64_t count;
            while (read(c->wake_fd, &count, sizeof count) < 0 && errno == EINTR) {
            }
            return -3;
        }
    }
}

void x_wake(void *user) {
    auto *c = static_cast<net_conn *>(user);
    uint64_t one = 1;
    // A full counter (never, in practice) still leaves the descriptor readable.
    while (write(c->wake_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

int net_wake_fd(void) { return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

namespace {

// Sends every byte of iov[0, n) in order, advancing the vector over what the
// socket took. 0, or -1 as x_write says.
int send_all(net_conn *c, iovec *iov, int n) {
    int limit_ms = -1;       // io_timeout_ms, read when the first wait comes
    uint64_t stalled_at = 0; // when the peer last took nothing; 0 = not stalled
    for (;;) {
        while (n > 0 && iov->iov_len == 0) {
            iov++;
            n--;
        }
        if (n == 0) return 0;
        msghdr m{};
        m.msg_iov = iov;
        m.msg_iovlen = size_t(n);
        ssize_t put = sendmsg(c->sock, &m, MSG_NOSIGNAL);
        if (put > 0) {
            for (size_t done = size_t(put); done > 0;) {
                size_t step = done < iov->iov_len ? done : iov->iov_len;
                iov->iov_base = static_cast<uint8_t *>(iov->iov_base) + step;
                iov->iov_len -= step;
                done -= step;
                if (iov->iov_len == 0 && done > 0) {
                    iov++;
                    n--;
                }
            }
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
}

} // namespace

int x_write(void *user, const uint8_t *data, int n) {
    auto *c = static_cast<net_conn *>(user);
    if (n <= 0) return 0;
    if (!c || c->sock < 0 || !data) return -1;
    iovec iov{const_cast<uint8_t *>(data), size_t(n)};
    return send_all(c, &iov, 1);
}

int x_write_pair(void *user, const uint8_t *head, int hlen, const uint8_t *body, int blen) {
    auto *c = static_cast<net_conn *>(user);
    if (hlen < 0 || blen < 0) return -1;
    if (!c || c->sock < 0 || (hlen > 0 && !head) || (blen > 0 && !body)) return -1;
    iovec iov[2] = {{const_cast<uint8_t *>(head), size_t(hlen)},
                    {const_cast<uint8_t *>(body), size_t(blen)}};
    return send_all(c, iov, 2);
}

int x_random(void *, uint8_t *out, int n) {
    if (!out || n < 0) return -1;
    return qv2_random_bytes(out, uint64_t(n));
}
