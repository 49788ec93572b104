#include "load_client.h"

#include "dirir2i.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace load {

namespace {

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

Conn::Conn(int port, bool small_window) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    if (small_window) {
        int rcvbuf = 4096, mss = 536;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        setsockopt(fd_, IPPROTO_TCP, TCP_MAXSEG, &mss, sizeof mss);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) close();
}

Conn::~Conn() {
    close();
}

void Conn::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool Conn::send_raw(const void *bytes, size_t n) {
    const char *p = static_cast<const char *>(bytes);
    while (n > 0 && fd_ >= 0) {
        ssize_t put = ::send(fd_, p, n, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        n -= size_t(put);
    }
    return n == 0;
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
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    char sink[65536];
    while (fd_ >= 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd_, POLLIN, 0};
        int r = poll(&p, 1, 50);
        if (r <= 0) continue;
        ssize_t k = ::recv(fd_, sink, sizeof sink, MSG_DONTWAIT);
        if (k == 0 || (k < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
    return false;
}

int open_fds() {
    return count_entries("/proc/self/fd");
}
int threads() {
    return count_entries("/proc/self/task");
}

uint64_t resident_bytes() {
    FILE *f = fopen("/proc/self/statm", "r");
    if (!f) return 0;
    unsigned long long size = 0, resident = 0;
    int n = fscanf(f, "%llu %llu", &size, &resident);
    fclose(f);
    return n == 2 ? resident * uint64_t(sysconf(_SC_PAGESIZE)) : 0;
}

bool wait_until(const std::function<bool()> &done, int limit_ms) {
    for (int waited = 0; waited < limit_ms; waited += 10) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

long long stat(const char *name) {
    std::string json = dirir2i_stats_json();
    std::string key = std::string("\"") + name + "\":";
    size_t at = json.find(key);
    return at == std::string::npos ? -1 : std::stoll(json.substr(at + key.size()));
}

} // namespace load
