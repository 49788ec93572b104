// The network service: the listening socket, the accept thread, one thread
// per connection, reaping of finished connections, and start/stop.
#include "net/net_internal.h"

#include "config/qv2_alog.h"
#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "engine/qv2_sess.h"
#include "foundation/qv2_util.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kAcceptStepMs = 100;
// A connection that has not logged on may be closed to make room once it
// has had this long to do so.
constexpr uint64_t kEvictableAfterMs = 1000;
constexpr int kNotSentLowat = 65536; // bytes a connection may queue unsent in the kernel
constexpr int kBacklog = 64;

// The service state. Every field but the lock is touched only under it, and
// the lock is never held while waiting, doing socket I/O or taking g_lock.
struct net_service {
    std::mutex lock;
    int running = 0;  // from the start of dirir2i_start until dirir2i_stop has finished
    int stopping = 0; // dirir2i_stop has begun
    int serving = 0;  // the accept thread exists (so stop has something to wait for)
    int sock = -1;    // listening socket
    int port = 0;
    qv2_thread accept_thread{};
    net_conn *conns = nullptr; // not yet reaped, newest first
    int32_t client_count = 0;  // connection threads started and not yet finished
};

net_service g;

// The system's text for an errno value, for both strerror_r flavours.
[[maybe_unused]] const char *pick_text(int rc, const char *buf) {
    return rc == 0 ? buf : "";
}
[[maybe_unused]] const char *pick_text(const char *text, const char *) {
    return text ? text : "";
}

const char *errno_text(int err, char *buf, size_t cap) {
    buf[0] = 0;
    return pick_text(strerror_r(err, buf, cap), buf);
}

void close_sock(int fd) {
    if (fd >= 0) close(fd);
}

// Folds an accepted peer's address into a qv2_ip. 0, or -1 for a family
// other than IPv4 and IPv6.
int peer_from_sockaddr(const sockaddr_storage *ss, qv2_ip *out) {
    *out = qv2_ip{};
    if (ss->ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(ss);
        out->family = 4;
        memcpy(out->addr, &in->sin_addr, 4);
        return 0;
    }
    if (ss->ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(ss);
        const uint8_t *a = in6->sin6_addr.s6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
            out->family = 4;
            memcpy(out->addr, a + 12, 4);
        } else {
            out->family = 6;
            memcpy(out->addr, a, 16);
        }
        return 0;
    }
    return -1;
}

// Opens, binds and listens. Returns the socket with *port_out set, or -1
// with *err_out holding the errno of the failing step.
int open_listener(const qv2_ip *ip, bool want_v6, uint32_t port, int *port_out, int *err_out) {
    sockaddr_storage ss{};
    socklen_t len;
    if (want_v6) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&ss);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(uint16_t(port));
        if (ip->family == 4) { // ::ffff:a.b.c.d was folded by the parser; unfold it
            in6->sin6_addr.s6_addr[10] = 0xff;
            in6->sin6_addr.s6_addr[11] = 0xff;
            memcpy(in6->sin6_addr.s6_addr + 12, ip->addr, 4);
        } else {
            memcpy(in6->sin6_addr.s6_addr, ip->addr, 16);
        }
        len = sizeof(sockaddr_in6);
    } else {
        auto *in = reinterpret_cast<sockaddr_in *>(&ss);
        in->sin_family = AF_INET;
        in->sin_port = htons(uint16_t(port));
        memcpy(&in->sin_addr, ip->addr, 4);
        len = sizeof(sockaddr_in);
    }

    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err_out = errno;
        return -1;
    }
    int one = 1, zero = 0;
    // SO_REUSEADDR lets a restart bind while connections of the previous run
    // sit in TIME_WAIT; Linux still refuses a second socket binding the port
    // while this one listens, so the bind stays exclusive.
    bool ok = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
    if (ok && want_v6) ok = setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero) == 0;
    ok = ok && bind(fd, reinterpret_cast<sockaddr *>(&ss), len) == 0;
    ok = ok && listen(fd, kBacklog) == 0;
    if (ok) {
        int flags = fcntl(fd, F_GETFL);
        ok = flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
    }
    sockaddr_storage bound{};
    socklen_t blen = sizeof bound;
    ok = ok && getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &blen) == 0;
    if (!ok) {
        *err_out = errno;
        close(fd);
        return -1;
    }
    net_tune_stream(fd);
    *port_out = bound.ss_family == AF_INET6
                    ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                    : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    return fd;
}

// A connection thread: serves the client, closes the socket, and leaves
// the record for the reaper. The socket is closed under the lock: the
// accept thread may be shutting it down to evict the connection.
void conn_main(void *arg) {
    auto *c = static_cast<net_conn *>(arg);
    qv2_sess_run(&c->io, &c->peer, 0);
    std::lock_guard<std::mutex> guard(g.lock);
    shutdown(c->sock, SHUT_RDWR);
    close(c->sock);
    c->sock = -1;
    // Nothing wakes the connection once its loop has returned.
    if (c->wake_fd >= 0) close(c->wake_fd);
    c->wake_fd = -1;
    g.client_count--;
    c->finished = 1;
}

void x_logged_on(void *user) {
    std::lock_guard<std::mutex> guard(g.lock);
    static_cast<net_conn *>(user)->logged_on = 1;
}

int x_evicted(void *user) {
    std::lock_guard<std::mutex> guard(g.lock);
    return static_cast<net_conn *>(user)->evicted;
}

// Admission when slots are scarce (called under the lock). Connections
// that have not logged on may hold at most half of max_clients from one
// address; and when every slot is taken, the oldest connection that has
// not logged on makes room, once it has had kEvictableAfterMs to log on.
// Peers that connect and never log on thus can't lock a client with
// credentials out, however fast they reconnect. Returns the connection
// to close (its socket is shut down and it counts as gone), or null; *admit
// says whether the newcomer from `peer` gets a slot.
net_conn *make_room(const qv2_ip *peer, int max_clients, bool *admit) {
    uint64_t now = qv2_now_ms();
    int32_t live = 0, from_peer = 0;
    net_conn *oldest = nullptr, *oldest_from_peer = nullptr;
    for (net_conn *c = g.conns; c; c = c->next) {
        if (c->finished || c->evicted) continue;
        live++;
        if (c->logged_on) continue;
        bool same = qv2_ip_equal(&c->peer, peer);
        if (same) from_peer++;
        if (now - c->started_ms < kEvictableAfterMs) continue;
        if (!oldest || c->started_ms < oldest->started_ms) oldest = c;
        if (same && (!oldest_from_peer || c->started_ms < oldest_from_peer->started_ms))
            oldest_from_peer = c;
    }
    int32_t per_peer = max_clients / 2 > 0 ? max_clients / 2 : 1;
    net_conn *victim = nullptr;
    if (from_peer >= per_peer) victim = oldest_from_peer;
    else if (live >= max_clients) victim = oldest;
    else {
        *admit = true;
        return nullptr;
    }
    *admit = victim != nullptr;
    if (victim) {
        victim->evicted = 1;
        if (victim->sock >= 0) shutdown(victim->sock, SHUT_RDWR);
    }
    return victim;
}

// Joins and frees finished connection records, or all of them.
void reap(bool all) {
    net_conn *done = nullptr;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        net_conn **link = &g.conns;
        while (*link) {
            net_conn *c = *link;
            if (all || c->finished) {
                *link = c->next;
                c->next = done;
                done = c;
            } else {
                link = &c->next;
            }
        }
    }
    while (done) {
        net_conn *c = done;
        done = c->next;
        qv2_thread_join(&c->thread);
        free(c);
    }
}

// Accepts one waiting client and gives it a thread, or refuses it.
void accept_one(int lfd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int fd = accept4(lfd, reinterpret_cast<sockaddr *>(&ss), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        // Out of descriptors or memory: the client stays queued and the
        // socket stays readable, so pause a step instead of spinning.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            qv2_sleep_ms(kAcceptStepMs);
        return;
    }
    net_tune_stream(fd);
    qv2_ip peer;
    if (peer_from_sockaddr(&ss, &peer) != 0) {
        close(fd);
        return;
    }

    qv2_opts opts;
    qv2_opts_get(&opts);
    bool admit = false;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        make_room(&peer, opts.max_clients, &admit);
    }
    if (!admit) {
        qv2_stat_add(QV2_ST_REFUSED_FULL, 1);
        qv2_alog_refused(&peer, "full");
        close(fd);
        return;
    }

    auto *c = static_cast<net_conn *>(calloc(1, sizeof(net_conn)));
    if (!c) {
        close(fd);
        return;
    }
    c->sock = fd;
    c->peer = peer;
    c->wake_fd = net_wake_fd();
    c->io.user = c;
    c->io.write = x_write;
    c->io.read = x_read;
    c->io.log = nullptr;
    c->io.write_pair = x_write_pair;
    c->io.random = x_random;
    c->io.logged_on = x_logged_on;
    c->io.evicted = x_evicted;
    c->io.wake = c->wake_fd >= 0 ? x_wake : nullptr;
    c->started_ms = qv2_now_ms();
    {
        std::lock_guard<std::mutex> guard(g.lock);
        g.client_count++;
        c->next = g.conns;
        g.conns = c;
    }
    if (qv2_thread_start(&c->thread, conn_main, c) != 0) {
        {
            std::lock_guard<std::mutex> guard(g.lock);
            g.client_count--;
            for (net_conn **link = &g.conns; *link; link = &(*link)->next) {
                if (*link == c) {
                    *link = c->next;
                    break;
                }
            }
        }
        close(fd);
        if (c->wake_fd >= 0) close(c->wake_fd);
        free(c);
    }
}

// The accept thread: waits for clients in 100 ms steps until stopping.
void accept_main(void *arg) {
    int lfd = int(reinterpret_cast<intptr_t>(arg));
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(g.lock);
            if (g.stopping) break;
        }
        pollfd p{lfd, POLLIN, 0};
        int ready;
        do {
            ready = poll(&p, 1, kAcceptStepMs);
        } while (ready < 0 && errno == EINTR);
        reap(false);
        if (ready > 0) accept_one(lfd);
    }
}

} // namespace

extern "C" DIRIR2I_API int dirir2i_start(const char *bind, uint32_t port, const char *server_name) {
    const char *text = bind && *bind ? bind : "127.0.0.1";
    qv2_ip ip;
    if (qv2_ip_parse(text, &ip) != 0)
        return qv2_fail(DIRIR2I_EARG, "start: %.64s is not an IP address", text);
    if (port > 65535) return qv2_fail(DIRIR2I_EARG, "start: port out of range");
    if (server_name) {
        size_t n = strlen(server_name);
        if (n < 1 || n > 63) return qv2_fail(DIRIR2I_EARG, "start: server_name 1..63 bytes");
        for (size_t i = 0; i < n; i++) {
            unsigned char ch = static_cast<unsigned char>(server_name[i]);
            if (ch < 0x20 || ch > 0x7e)
                return qv2_fail(DIRIR2I_EARG, "start: server_name printable ASCII only");
        }
        if (dirir2i_set_option("server_name", server_name) != 0) return DIRIR2I_EARG;
    }

    {
        std::lock_guard<std::mutex> guard(g.lock);
        if (g.running) return qv2_fail(DIRIR2I_ERUNNING, "start: already running on port %d", g.port);
        g.running = 1;
    }

    int bound_port = 0, err = 0;
    int fd = open_listener(&ip, strchr(text, ':') != nullptr, port, &bound_port, &err);
    if (fd < 0) {
        {
            std::lock_guard<std::mutex> guard(g.lock);
            g.running = 0;
        }
        char msg[256];
        return qv2_fail(DIRIR2I_ESYS, "start: bind failed (%d): %.100s", err,
                        errno_text(err, msg, sizeof msg));
    }
    {
        std::lock_guard<std::mutex> guard(g.lock);
        g.sock = fd;
        g.port = bound_port;
        g.stopping = 0;
        qv2_stop_flag_set(0);
    }

    qv2_thread t;
    if (qv2_thread_start(&t, accept_main, reinterpret_cast<void *>(intptr_t(fd))) != 0) {
        close_sock(fd);
        std::lock_guard<std::mutex> guard(g.lock);
        g.sock = -1;
        g.port = 0;
        g.running = 0;
        return qv2_fail(DIRIR2I_ESYS, "start: cannot start the accept thread");
    }
    qv2_alog_server("start", text, bound_port);
    std::lock_guard<std::mutex> guard(g.lock);
    g.accept_thread = t;
    g.serving = 1;
    return 0;
}

extern "C" DIRIR2I_API void dirir2i_stop(void) {
    qv2_thread t;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        // Still starting (no accept thread yet): nothing to wait for.
        if (!g.running || g.stopping || !g.serving) return;
        g.stopping = 1;
        qv2_stop_flag_set(1);
        t = g.accept_thread;
    }
    qv2_thread_join(&t);
    reap(true);
    qv2_alog_server("stop", nullptr, dirir2i_port());
    std::lock_guard<std::mutex> guard(g.lock);
    close_sock(g.sock);
    g.sock = -1;
    g.accept_thread = qv2_thread{};
    g.serving = 0;
    g.running = 0;
    g.stopping = 0;
    qv2_stop_flag_set(0);
    g.port = 0;
}

extern "C" DIRIR2I_API int dirir2i_port(void) {
    std::lock_guard<std::mutex> guard(g.lock);
    return g.port;
}

extern "C" DIRIR2I_API int32_t dirir2i_client_count(void) {
    std::lock_guard<std::mutex> guard(g.lock);
    return g.client_count;
}

void net_tune_stream(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Keep about one 64 KiB reply at most unsent in the kernel, the rest
    // waiting in the server. A client slower than the server otherwise faces
    // megabytes of replies queued behind its receive window, and each window
    // update it sends makes its own CPU transmit them (out of order with the
    // server's own transmissions, too): the slow side does the fast side's
    // work. A signed copy to smbclient, which is then the slower side, gains
    // about a fifth.
    int lowat = kNotSentLowat;
    setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowat, sizeof lowat);
}
