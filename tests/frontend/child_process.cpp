#include "child_process.h"

#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Starts the child with pipes for the streams asked for (null: inherit).
pid_t spawn(const std::string &program, const std::vector<std::string> &args, int *in_w, int *out_r,
            int *err_r) {
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if ((in_w && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0 ||
        pipe2(err, O_CLOEXEC) != 0)
        return -1;
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (in_w)
            dup2(in[0], 0);
        else {
            int null_in = open("/dev/null", O_RDONLY);
            dup2(null_in, 0);
        }
        dup2(out[1], 1);
        dup2(err[1], 2);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    if (in_w) {
        close(in[0]);
        *in_w = in[1];
    }
    close(out[1]);
    close(err[1]);
    *out_r = out[0];
    *err_r = err[0];
    return pid;
}

// Moves whatever is ready on fd into buf; false once the pipe is closed.
bool drain(int fd, std::string *buf) {
    char chunk[65536];
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0) {
        buf->append(chunk, size_t(got));
        return true;
    }
    return got < 0 && (errno == EAGAIN || errno == EINTR);
}

int exit_code_of(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

run_result run_program(const std::string &program, const std::vector<std::string> &args,
                       const std::string &input, int limit_ms) {
    run_result r;
    int in = -1, out = -1, err = -1;
    signal(SIGPIPE, SIG_IGN); // a child that stops reading its input must not end the test
    pid_t pid = spawn(program, args, &in, &out, &err);
    if (pid < 0) return r;
    fcntl(in, F_SETFL, O_NONBLOCK);
    size_t fed = 0;
    if (input.empty()) {
        close(in);
        in = -1;
    }
    int waited = 0;
    while ((out >= 0 || err >= 0) && waited < limit_ms) {
        pollfd p[3] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {in, POLLOUT, 0}};
        int ready = poll(p, 3, 50);
        if (ready == 0) waited += 50;
        if (ready <= 0) continue;
        if (out >= 0 && (p[0].revents & (POLLIN | POLLHUP)) && !drain(out, &r.out)) {
            close(out);
            out = -1;
        }
        if (err >= 0 && (p[1].revents & (POLLIN | POLLHUP)) && !drain(err, &r.err)) {
            close(err);
            err = -1;
        }
        if (in >= 0 && (p[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t put = write(in, input.data() + fed, input.size() - fed);
            if (put > 0) fed += size_t(put);
            if (put < 0 && errno != EAGAIN && errno != EINTR) fed = input.size();
            if (fed == input.size()) {
                close(in);
                in = -1;
            }
        }
    }
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    if (err >= 0) close(err);
    int status = 0;
    if (waited >= limit_ms) kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    r.exit_code = waited >= limit_ms ? -1 : exit_code_of(status);
    return r;
}

running_program::running_program(const std::string &program, const std::vector<std::string> &args) {
    pid_ = spawn(program, args, nullptr, &out_, &err_);
    if (pid_ > 0) {
        fcntl(out_, F_SETFL, O_NONBLOCK);
        fcntl(err_, F_SETFL, O_NONBLOCK);
    }
}

running_program::~running_program() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
}

std::string running_program::read_line(int wait_ms) {
    for (int waited = 0; out_ >= 0; waited += 50) {
        size_t nl = out_buf_.find('\n');
        if (nl != std::string::npos) {
            std::string line = out_buf_.substr(0, nl + 1);
            out_buf_.erase(0, nl + 1);
            return line;
        }
        if (waited >= wait_ms) break;
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, 50) > 0 && !drain(out_, &out_buf_)) break;
    }
    return "";
}

int running_program::wait_exit(int wait_ms) {
    for (int waited = 0; pid_ > 0 && waited <= wait_ms; waited += 50) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return exit_code_of(status);
        }
        usleep(50 * 1000);
    }
    return -1;
}

int running_program::signal(int sig) {
    return pid_ > 0 ? kill(pid_, sig) : -1;
}

int port_in(const std::string &serving_line, const std::string &prefix) {
    if (serving_line.rfind(prefix, 0) != 0) return 0;
    return atoi(serving_line.c_str() + prefix.size());
}

std::string running_program::errors() {
    while (err_ >= 0) {
        pollfd p{err_, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0 || !drain(err_, &err_buf_)) break;
    }
    return err_buf_;
}
