#include "support/loopback_client.h"

#include "dirir2i.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace nettest {

namespace {

bool fill_addr(const char *host, int port, sockaddr_storage *ss, socklen_t *len) {
    memset(ss, 0, sizeof *ss);
    auto *in = reinterpret_cast<sockaddr_in *>(ss);
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(ss);
    if (inet_pton(AF_INET, host, &in->sin_addr) == 1) {
        in->sin_family = AF_INET;
        in->sin_port = htons(uint16_t(port));
        *len = sizeof *in;
        return true;
    }
    if (inet_pton(AF_INET6, host, &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(uint16_t(port));
        *len = sizeof *in6;
        return true;
    }
    return false;
}

int count_entries(const char *dir) {
    DIR *d = opendir(dir);
    if (!d) return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n;
}

} // namespace

int connect_to(const char *host, int port, const char *from, bool small_window) {
    sockaddr_storage ss;
    socklen_t len;
    if (!fill_addr(host, port, &ss, &len)) return -1;
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (small_window) {
        int rcvbuf = 4096, mss = 536;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &mss, sizeof mss);
    }
    if (from) {
        sockaddr_storage local;
        socklen_t llen;
        if (!fill_addr(from, 0, &local, &llen) ||
            bind(fd, reinterpret_cast<sockaddr *>(&local), llen) != 0) {
            close(fd);
            return -1;
        }
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const void *data, size_t n) {
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t put = send(fd, p, n, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        n -= size_t(put);
    }
    return true;
}

std::string recv_exact(int fd, size_t n, int wait_ms) {
    std::string out;
    char buf[4096];
    int waited = 0;
    while (out.size() < n && waited < wait_ms) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, 50);
        if (r == 0) {
            waited += 50;
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) break;
        size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
        ssize_t got = recv(fd, buf, want, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0) break;
        out.append(buf, size_t(got));
    }
    return out;
}

bool peer_closed(int fd, int wait_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    char sink[65536];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, 50);
        if (r == 0 || (r < 0 && errno == EINTR)) continue;
        if (r < 0) return false;
        ssize_t got = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
    return false;
}

bool session_request_answered(int fd) {
    static const unsigned char req[4] = {0x81, 0, 0, 0};
    if (!send_all(fd, req, sizeof req)) return false;
    return recv_exact(fd, 4) == std::string("\x82\0\0\0", 4);
}

bool port_answers(int port) {
    int fd = connect_to("127.0.0.1", port);
    if (fd < 0) return false;
    bool ok = session_request_answered(fd);
    close(fd);
    return ok;
}

int try_bind(const char *host, int port, int *fd_out) {
    sockaddr_storage ss;
    socklen_t len;
    if (!fill_addr(host, port, &ss, &len)) return EINVAL;
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int rc = bind(fd, reinterpret_cast<sockaddr *>(&ss), len) == 0 ? 0 : errno;
    if (fd_out && rc == 0)
        *fd_out = fd;
    else
        close(fd);
    return rc;
}

int listen_loopback(int *port) {
    int fd = -1;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (try_bind("127.0.0.1", 0, &fd) != 0) return -1;
    if (listen(fd, 8) != 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

bool wait_until(const std::function<bool()> &done, int limit_ms) {
    for (int waited = 0; waited < limit_ms; waited += 10) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

int open_fd_count() {
    return count_entries("/proc/self/fd");
}
int thread_count() {
    return count_entries("/proc/self/task");
}

std::string non_loopback_ipv4() {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return "";
    std::string found;
    for (ifaddrs *i = list; i && found.empty(); i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if ((i->ifa_flags & IFF_LOOPBACK) || !(i->ifa_flags & IFF_UP)) continue;
        char text[INET_ADDRSTRLEN];
        auto *in = reinterpret_cast<sockaddr_in *>(i->ifa_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) found = text;
    }
    freeifaddrs(list);
    return found;
}

long long stat(const char *name) {
    std::string json = dirir2i_stats_json();
    std::string key = std::string("\"") + name + "\":";
    size_t at = json.find(key);
    if (at == std::string::npos) return -1;
    return std::stoll(json.substr(at + key.size()));
}

Conn::Conn(int port, bool small_window, const char *from)
    : fd_(connect_to("127.0.0.1", port, from, small_window)) {}

Conn::~Conn() {
    close();
}

void Conn::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool Conn::send_raw(const void *bytes, size_t n) {
    return fd_ >= 0 && send_all(fd_, bytes, n);
}

bool Conn::send(const smb2::Bytes &msg) {
    smb2::Bytes framed = smb2::nbss(msg);
    return send_raw(framed.data(), framed.size());
}

bool Conn::read_exact(uint8_t *buf, size_t n, int wait_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    size_t got = 0;
    while (got < n && fd_ >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        int r = poll(&p, 1, int(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t k = ::recv(fd_, buf + got, n - got, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        got += size_t(k);
    }
    return got == n;
}

smb2::Reply Conn::recv(int wait_ms) {
    uint8_t hdr[4];
    if (!read_exact(hdr, 4, wait_ms) || hdr[0] != 0) return smb2::Reply();
    size_t len = (size_t(hdr[1]) << 16) | (size_t(hdr[2]) << 8) | hdr[3];
    smb2::Bytes body(len);
    if (len && !read_exact(body.data(), len, wait_ms)) return smb2::Reply();
    return smb2::Reply(std::move(body));
}

smb2::Session Conn::logon(const smb2::LogonParams &p) {
    return smb2::logon([this](const smb2::Bytes &req) { return exchange(req); }, p);
}

bool Conn::closed_by_peer(int wait_ms) {
    return fd_ >= 0 && peer_closed(fd_, wait_ms);
}

} // namespace nettest
