// Peak memory of a server under clients that ask for much with little:
// starts `dirir2i serve` (max_clients 16, signing as the clients ask), then
// 16 connections each log on, open a 64 MiB file and send two compounds of
// 64 one-MiB READs back to back, signed (users) or not (guests, who have no
// key), and read whatever comes back. Prints the server's resident memory at
// the start and its peak (VmHWM) for the user round and the guest round.
//
//   bench_hostile_memory [-b DIRIR2I] [work-folder-parent]
//
// Everything runs on loopback; the temporary folder is removed.
#include "support/builders/tempdir.h"
#include "support/loopback_client.h"
#include "support/smb2_file_requests.h"
#include "support/smb2_frames.h"
#include "support/smb2_requests.h"
#include "support/smb2_session.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using smb2::Bytes;

namespace {

constexpr int kClients = 16;
constexpr int kReadsPerCompound = 64;
constexpr uint32_t kReadSize = 1048576;

long status_kib(pid_t pid, const char *field) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(field, 0) == 0) return atol(line.c_str() + strlen(field));
    return 0;
}

// Logs on, opens the file and sends the two compounds; true when the
// server answered the logon and the open.
bool hostile_client(int port, bool user) {
    nettest::Conn c(port);
    if (!c.ok()) return false;
    smb2::LogonParams p{.dialects = {0x0210}, .capabilities = 0x04};
    if (user) {
        p.user = "user";
        p.password = "pass";
        p.security_mode = 0x02;
    }
    smb2::Session s = c.logon(p);
    bool ok = s.ok;
    uint32_t tid = 0;
    uint64_t fid = 0;
    auto sign = [&](Bytes m) { return user ? s.sign(std::move(m)) : m; };
    if (ok) tid = c.exchange(sign(smb2::tree_connect(s.header(SMB2_TREE_CONNECT), "\\\\h\\share"))).tid();
    if (ok && tid) {
        fid = smb2::create_fid(
            c.exchange(sign(smb2::create(s.header(SMB2_CREATE, tid), {.name = "big.bin"}))));
    }
    ok = ok && fid != 0;
    if (ok) {
        Bytes both;
        for (int m = 0; m < 2; m++) {
            std::vector<Bytes> reads;
            for (int i = 0; i < kReadsPerCompound; i++)
                reads.push_back(smb2::read(s.header(SMB2_READ, tid),
                                           {.fid = fid, .length = kReadSize,
                                            .offset = uint64_t(i) * kReadSize}));
            Bytes msg = smb2::compound(reads, false, user ? s.key : nullptr);
            Bytes packet = smb2::nbss(msg);
            both.insert(both.end(), packet.begin(), packet.end());
        }
        c.send_raw(both.data(), both.size());
        c.recv(60000);
        c.recv(60000);
    }
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    std::string bin = "build/dirir2i", parent; // parent "": $TMPDIR or /tmp
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-b") == 0 && i + 1 < argc) bin = argv[++i];
        else parent = argv[i];
    }
    TempDir work(parent);
    std::string share = work.mkdir("share"), port_file = work.join("port");
    {
        std::ofstream f(share + "/big.bin", std::ios::binary);
        std::string mib(kReadSize, 'x');
        for (int i = 0; i < kReadsPerCompound; i++) f << mib;
    }

    int status = 0;
    for (bool user : {true, false}) {
        unlink(port_file.c_str());
        pid_t pid = fork();
        if (pid == 0) {
            std::string share_arg = "share=" + share;
            std::vector<const char *> args = {bin.c_str(), "serve", "--port", "0", "--port-file",
                                              port_file.c_str(), "--share", share_arg.c_str(),
                                              "--opt", "max_clients=16", "--opt",
                                              user ? "guest=off" : "guest=on"};
            if (user) {
                args.push_back("--user");
                args.push_back("user:pass");
            }
            args.push_back(nullptr);
            freopen("/dev/null", "w", stderr);
            execv(bin.c_str(), const_cast<char **>(args.data()));
            _exit(127);
        }
        int port = 0;
        for (int i = 0; i < 400 && !port; i++) {
            std::ifstream f(port_file);
            f >> port;
            if (!port) usleep(50000);
        }
        if (!port) {
            fprintf(stderr, "dirir2i did not start (%s)\n", bin.c_str());
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            status = 1;
            break;
        }
        usleep(300000);
        long start = status_kib(pid, "VmRSS:");
        std::vector<std::thread> threads;
        std::vector<int> ok(kClients, 0);
        for (int i = 0; i < kClients; i++)
            threads.emplace_back([&, i] { ok[i] = hostile_client(port, user); });
        for (std::thread &t : threads) t.join();
        long peak = status_kib(pid, "VmHWM:");
        int served = 0;
        for (int v : ok) served += v;
        printf("%s: %d/%d clients logged on and opened the file; server VmRSS %ld KiB at start, "
               "peak %ld KiB: growth %.1f MiB (target: under 64 MiB)\n",
               user ? "users, signed" : "guests", served, kClients, start, peak,
               (peak - start) / 1024.0);
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    return status;
}
