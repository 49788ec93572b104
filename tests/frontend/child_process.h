// Runs a program as a child process with its standard streams on pipes, with
// bounded waits, for tests of the command line and the embedding example.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct run_result {
    int exit_code = -1; // -1 when it did not exit on its own (killed or failed to start)
    std::string out;
    std::string err;
};

// Runs `program` with `args`, feeds `input` to its standard input, and
// collects both output streams. A child still running after limit_ms is
// killed.
run_result run_program(const std::string &program, const std::vector<std::string> &args,
                       const std::string &input = "", int limit_ms = 60000);

// The port of a "dirir2i serving on ADDRESS port N" line that starts with
// `prefix` (everything before N), or 0.
int port_in(const std::string &serving_line,
            const std::string &prefix = "dirir2i serving on 127.0.0.1 port ");

// A child left running (the `serve` command); killed and reaped on
// destruction.
class running_program {
  public:
    running_program(const std::string &program, const std::vector<std::string> &args);
    ~running_program();
    running_program(const running_program &) = delete;
    running_program &operator=(const running_program &) = delete;

    // The next line of standard output (without waiting more than wait_ms),
    // "" when none came.
    std::string read_line(int wait_ms = 20000);
    // Exit code once the child has ended on its own within wait_ms, else -1.
    int wait_exit(int wait_ms = 20000);
    // Everything the child wrote to standard error so far.
    std::string errors();
    // Sends a signal to the child; 0, or -1 once it has been reaped.
    int signal(int sig);

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string out_buf_;
    std::string err_buf_;
};
