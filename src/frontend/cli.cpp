// The dirir2i command: serve, sim, selftest and version over the exported
// functions alone, so it is also their reference client.
// Exit codes: 0 success, 1 an operation failed, 2 usage error or no memory.
#include "dirir2i.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char kUsage[] =
    "usage: dirir2i serve  [--share NAME=PATH]... [--user USER:PASS]... [--allow CIDR]...\n"
    "                      [--opt KEY=VALUE]... [--bind IP] [--port N] [--port-file FILE]\n"
    "       dirir2i sim    [--share NAME=PATH]... [--user USER:PASS]... [--opt KEY=VALUE]... "
    "[--ip IP] < SCRIPT\n"
    "       dirir2i selftest\n"
    "       dirir2i version\n";

int usage(void) {
    fputs(kUsage, stderr);
    return 2;
}

bool is(const char *arg, const char *name) {
    return strcmp(arg, name) == 0;
}

// What serve and sim read for themselves; the last one given counts.
struct run_args {
    const char *bind = nullptr;
    const char *port = nullptr;
    const char *port_file = nullptr;
    const char *ip = nullptr;
};

// Applies one "A<sep>B" argument through a two-text export, splitting it in
// place at the first separator. -1 when the separator is missing; otherwise
// the export's result.
int split_call(char *value, char sep, int (*call)(const char *, const char *)) {
    char *at = strchr(value, sep);
    if (!at) return -1;
    *at = 0;
    int rc = call(value, at + 1);
    *at = sep;
    return rc == 0 ? 0 : -2;
}

// The configuration pass over argv[2..]: options in pairs, applied in
// command-line order. Returns -1 to go on, or the exit code.
int setup(int argc, char **argv) {
    for (int i = 2; i < argc; i += 2) {
        const char *arg = argv[i];
        bool known = is(arg, "--share") || is(arg, "--user") || is(arg, "--allow") ||
                     is(arg, "--opt") || is(arg, "--bind") || is(arg, "--port") ||
                     is(arg, "--port-file") || is(arg, "--ip");
        if (!known || i + 1 >= argc) {
            fprintf(stderr, "unknown argument %s\n", arg);
            return usage();
        }
        char *value = argv[i + 1];
        if (is(arg, "--share")) {
            int rc = split_call(value, '=', dirir2i_add_share);
            if (rc == -1) {
                fputs("--share needs NAME=PATH\n", stderr);
                return 2;
            }
            if (rc != 0) {
                fprintf(stderr, "add_share: %s\n", dirir2i_last_error());
                return 1;
            }
        } else if (is(arg, "--user")) {
            int rc = split_call(value, ':', dirir2i_add_user);
            if (rc == -1) {
                fputs("--user needs USER:PASS\n", stderr);
                return 2;
            }
            if (rc != 0) {
                fprintf(stderr, "add_user: %s\n", dirir2i_last_error());
                return 1;
            }
        } else if (is(arg, "--allow")) {
            if (dirir2i_allow_cidr(value) != 0) {
                fprintf(stderr, "allow_cidr: %s\n", dirir2i_last_error());
                return 1;
            }
        } else if (is(arg, "--opt")) {
            int rc = split_call(value, '=', dirir2i_set_option);
            if (rc == -1) {
                fputs("--opt needs KEY=VALUE\n", stderr);
                return 2;
            }
            if (rc != 0) {
                fprintf(stderr, "set_option: %s\n", dirir2i_last_error());
                return 1;
            }
        }
        // --bind, --port, --port-file and --ip were taken by the first scan.
    }
    return -1;
}

// The port as the C library's atoi reads it (glibc: strtol cut to int),
// without atoi's undefined behaviour on overflow. Text that is no number
// gives 0, which lets the system choose.
uint32_t port_value(const char *text) {
    return uint32_t(int(strtol(text, nullptr, 10)));
}

volatile sig_atomic_t g_stop_requested = 0;

extern "C" void on_stop_signal(int) {
    g_stop_requested = 1;
}

// SIGTERM and SIGINT end `serve` through a normal exit: the server is
// stopped (its clients closed, its threads joined) and main returns, so
// exit-time checks such as LeakSanitizer's run as well.
void catch_stop_signals(void) {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

int serve(const run_args &a) {
    catch_stop_signals();
    const char *bind = a.bind ? a.bind : "127.0.0.1";
    uint32_t port = a.port ? port_value(a.port) : 4450;
    if (dirir2i_start(bind, port, nullptr) != 0) {
        fprintf(stderr, "start: %s\n", dirir2i_last_error());
        return 1;
    }
    printf("dirir2i serving on %s port %d\n", bind, dirir2i_port());
    fflush(stdout);
    if (a.port_file) {
        FILE *f = fopen(a.port_file, "w");
        if (f) {
            fprintf(f, "%d\n", dirir2i_port());
            fclose(f);
        }
    }
    // Serves until SIGTERM or SIGINT.
    while (!g_stop_requested) {
        timespec step{0, 100 * 1000000L};
        nanosleep(&step, nullptr);
    }
    dirir2i_stop();
    return 0;
}

// All of standard input as one NUL-terminated text, or null when memory
// runs out.
char *read_stdin(void) {
    size_t cap = 1u << 20, len = 0;
    char *text = static_cast<char *>(malloc(cap));
    if (!text) return nullptr;
    for (;;) {
        if (cap - len <= 1) {
            char *bigger =
                cap <= SIZE_MAX / 2 ? static_cast<char *>(realloc(text, cap * 2)) : nullptr;
            if (!bigger) {
                free(text);
                return nullptr;
            }
            text = bigger;
            cap *= 2;
        }
        size_t got = fread(text + len, 1, cap - len - 1, stdin);
        if (got == 0) break;
        len += got;
    }
    text[len] = 0;
    return text;
}

int sim(const run_args &a) {
    char *script = read_stdin();
    if (!script) {
        fputs("out of memory\n", stderr);
        return 2;
    }
    const char *out = dirir2i_simulate(script, a.ip ? a.ip : "127.0.0.1");
    free(script);
    if (!out) {
        fprintf(stderr, "simulate: %s\n", dirir2i_last_error());
        return 1;
    }
    fputs(out, stdout);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage();
    const char *cmd = argv[1];
    if (is(cmd, "version")) {
        printf("dirir2i %s\n", dirir2i_version());
        return 0;
    }
    if (is(cmd, "selftest")) {
        const char *text = dirir2i_selftest();
        fputs(text ? text : "(null)", stdout);
        return text && strstr(text, "FAILED") ? 1 : 0;
    }
    bool serving = is(cmd, "serve");
    if (!serving && !is(cmd, "sim")) return usage();

    // First each command takes its own value arguments, one argument at a
    // time; the configuration pass below then walks everything in pairs.
    run_args a;
    for (int i = 2; i < argc; i++) {
        if (i + 1 >= argc) break;
        const char *arg = argv[i];
        const char **slot = nullptr;
        if (serving && is(arg, "--bind")) slot = &a.bind;
        if (serving && is(arg, "--port")) slot = &a.port;
        if (serving && is(arg, "--port-file")) slot = &a.port_file;
        if (!serving && is(arg, "--ip")) slot = &a.ip;
        if (slot) *slot = argv[++i];
    }
    int rc = setup(argc, argv);
    if (rc >= 0) return rc;
    return serving ? serve(a) : sim(a);
}
