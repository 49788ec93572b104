// `serve` ends on SIGTERM and SIGINT through a normal exit with code 0,
// closing its clients first, so exit-time checks (LeakSanitizer in the
// sanitizer build) run over a whole served session.
#include "support/builders/tempdir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// `dirir2i serve` with its output discarded; the port comes from the port file.
pid_t start_serve(const TempDir &dir, int *port) {
    std::string share = "docs=" + dir.mkdir("pub"), port_file = dir.join("port");
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        execl(DIRIR2I_BIN, DIRIR2I_BIN, "serve", "--share", share.c_str(), "--port", "0",
              "--port-file", port_file.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    *port = 0;
    for (int i = 0; i < 400 && *port == 0; i++) {
        std::string text = read_file(port_file);
        if (!text.empty() && text.back() == '\n')
            *port = atoi(text.c_str());
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return pid;
}

// The exit code once the child has ended (within 20 s), else -1 (then it is killed).
int wait_exit(pid_t pid) {
    for (int i = 0; i < 400; i++) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

int connect_loopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A session request answered, so the connection is being served.
bool served(int fd) {
    const unsigned char req[4] = {0x81, 0, 0, 0};
    if (send(fd, req, 4, MSG_NOSIGNAL) != 4) return false;
    unsigned char ans[4];
    size_t got = 0;
    for (int i = 0; i < 200 && got < 4; i++) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t n = recv(fd, ans + got, 4 - got, 0);
        if (n <= 0) return false;
        got += size_t(n);
    }
    return got == 4 && ans[0] == 0x82;
}

bool closed_by_peer(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20000) <= 0) return false;
    char b;
    return recv(fd, &b, 1, 0) <= 0;
}

} // namespace

TEST(ServeStopSignal, TermAndIntStopTheServerAndExitWithZero) {
    for (int sig : {SIGTERM, SIGINT}) {
        TempDir dir;
        int port = 0;
        pid_t pid = start_serve(dir, &port);
        ASSERT_GT(pid, 0);
        ASSERT_GT(port, 0) << "no port file";
        int fd = connect_loopback(port);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(served(fd));

        ASSERT_EQ(kill(pid, sig), 0);
        EXPECT_EQ(wait_exit(pid), 0) << "signal " << sig;
        EXPECT_TRUE(closed_by_peer(fd)) << "the connection has ended";
        close(fd);
    }
}
