// How long a lease holder waits for its break: starts `dirir2i serve`, then
// one client at 2.1 takes an RH lease on a file, the host appends to the
// file (odd rounds) or renames a new copy over it (even rounds), and the
// time from the change's start to the OPLOCK_BREAK notification's arrival is
// taken; the client closes the file and does it
// again with a new lease key. Prints the median, 99th percentile and worst
// of the rounds.
//
//   bench_break_latency [-b DIRIR2I] [-n ROUNDS] [work-folder-parent]
//
// Everything runs on loopback; the temporary folder is removed.
#include "support/builders/tempdir.h"
#include "support/loopback_client.h"
#include "support/smb2_requests.h"
#include "support/smb2_session.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using clk = std::chrono::steady_clock;
constexpr uint16_t kOplockBreak = 0x12;

// The server, listening on a port it chose; pid 0 when it did not start.
struct Server {
    pid_t pid = 0;
    int port = 0;
};

Server start(const std::string &bin, const std::string &share, const std::string &port_file) {
    Server s;
    s.pid = fork();
    if (s.pid == 0) {
        std::string share_arg = "docs=" + share;
        const char *args[] = {bin.c_str(),   "serve",           "--port",  "0",
                              "--port-file", port_file.c_str(), "--share", share_arg.c_str(),
                              "--opt",       "guest=on",        "--log",   "off",
                              nullptr};
        freopen("/dev/null", "w", stdout);
        freopen("/dev/null", "w", stderr);
        execv(bin.c_str(), const_cast<char **>(args));
        _exit(127);
    }
    for (int i = 0; i < 400 && !s.port; i++) {
        std::ifstream f(port_file);
        f >> s.port;
        if (!s.port) usleep(50000);
    }
    return s;
}

// Appends a byte, or writes a new copy beside the file and renames it over
// the file, as editors and deploy tools save.
bool change(const std::string &path, bool replace) {
    std::string target = replace ? path + ".new" : path;
    int fd =
        open(target.c_str(), replace ? O_WRONLY | O_CREAT | O_TRUNC : O_WRONLY | O_APPEND, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, "x", 1) == 1;
    ok = close(fd) == 0 && ok;
    return ok && (!replace || rename(target.c_str(), path.c_str()) == 0);
}

// One round: the time to the break in microseconds, or -1 when something
// else came or nothing did.
long one_round(nettest::Conn &c, smb2::Session &s, uint32_t tid, uint64_t key,
               const std::string &path) {
    smb2::Reply r = c.exchange(
        smb2::create(s.header(SMB2_CREATE, tid), smb2::with_lease({.name = "f.bin"}, key, 3)));
    uint64_t fid = smb2::create_fid(r);
    if (!fid || r.u8(66) != 0xFF) return -1;
    clk::time_point t0 = clk::now();
    if (!change(path, key % 2 == 0)) return -1;
    smb2::Reply b = c.recv(5000);
    long us = long(std::chrono::duration_cast<std::chrono::microseconds>(clk::now() - t0).count());
    if (b.size() < 64 || b.command() != kOplockBreak || b.mid() != ~uint64_t(0)) return -1;
    if (c.exchange(smb2::close(s.header(SMB2_CLOSE, tid), fid)).status() != 0) return -1;
    return us;
}

} // namespace

int main(int argc, char **argv) {
    std::string bin = "build/dirir2i", parent;
    int rounds = 200;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-b") == 0 && i + 1 < argc)
            bin = argv[++i];
        else if (strcmp(argv[i], "-n") == 0 && i + 1 < argc)
            rounds = std::max(1, atoi(argv[++i]));
        else
            parent = argv[i];
    }
    TempDir work(parent);
    std::string share = work.mkdir("share"), path = share + "/f.bin";
    std::ofstream(path) << "content";
    Server srv = start(bin, share, work.join("port"));
    if (!srv.port) {
        fprintf(stderr, "dirir2i did not start (%s)\n", bin.c_str());
        if (srv.pid > 0) kill(srv.pid, SIGKILL);
        return 1;
    }

    std::vector<long> us;
    {
        nettest::Conn c(srv.port);
        smb2::Session s = c.logon({.dialects = {0x0210}, .capabilities = 0x02});
        uint32_t tid =
            s.ok
                ? c.exchange(smb2::tree_connect(s.header(SMB2_TREE_CONNECT), "\\\\127.0.0.1\\docs"))
                      .tid()
                : 0;
        for (int i = 0; tid && i < rounds; i++) {
            long t = one_round(c, s, tid, uint64_t(i) + 1, path);
            if (t < 0) break;
            us.push_back(t);
        }
    }
    kill(srv.pid, SIGTERM);
    waitpid(srv.pid, nullptr, 0);
    if (int(us.size()) != rounds) {
        fprintf(stderr, "round %zu: no lease, or no break within 5 s\n", us.size() + 1);
        return 1;
    }
    std::sort(us.begin(), us.end());
    auto ms = [](long v) { return double(v) / 1000.0; };
    printf("%d breaks: median %.2f ms, p99 %.2f ms, worst %.2f ms\n", rounds, ms(us[us.size() / 2]),
           ms(us[std::min(us.size() - 1, us.size() * 99 / 100)]), ms(us.back()));
    return 0;
}
