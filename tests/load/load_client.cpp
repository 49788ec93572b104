#include "load_client.h"

#include "dirir2i.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace load {

Conn::Conn(int port, bool small_window)
    : fd_(nettest::connect_to("127.0.0.1", port, nullptr, small_window)) {}

Conn::~Conn() {
    close();
}

void Conn::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool Conn::send_raw(const void *bytes, size_t n) {
    return fd_ >= 0 && nettest::send_all(fd_, bytes, n);
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

uint64_t resident_bytes() {
    FILE *f = fopen("/proc/self/statm", "r");
    if (!f) return 0;
    unsigned long long size = 0, resident = 0;
    int n = fscanf(f, "%llu %llu", &size, &resident);
    fclose(f);
    return n == 2 ? resident * uint64_t(sysconf(_SC_PAGESIZE)) : 0;
}

} // namespace load
