// The dirir2i command: serve, sim, selftest and version over the exported
// functions, so it is also their reference client. Beyond them it reads
// users files and passwords (frontend/qv2_front.h) and, on SIGUSR1, writes
// the counters to the access log.
// Exit codes: 0 success, 1 an operation failed, 2 usage error or no memory.
#include "dirir2i.h"

#include "config/qv2_cfg.h"
#include "frontend/qv2_front.h"
#include "security/qv2_crypto.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

namespace {

const char kUsage[] =
    "usage: dirir2i serve  [--share NAME=PATH]... [--user USER[:PASS]]... [--users-file FILE]\n"
    "                      [--allow CIDR]... [--opt KEY=VALUE]... [--log FILE] [--log-format F]\n"
    "                      [--bind IP] [--port N] [--port-file FILE]\n"
    "       dirir2i sim    [--share NAME=PATH]... [--user USER[:PASS]]... [--opt KEY=VALUE]... "
    "[--ip IP] < SCRIPT\n"
    "       dirir2i selftest\n"
    "       dirir2i version\n"
    "       dirir2i [serve|sim] --help\n";

int usage(void) {
    fputs(kUsage, stderr);
    return 2;
}

bool is(const char *arg, const char *name) {
    return strcmp(arg, name) == 0;
}

enum : unsigned { SERVE = 1, SIM = 2, BOTH = SERVE | SIM };

// Every option argument; each takes the next argument as its value. Both
// commands accept all of them and ignore those of the other command.
struct cli_option {
    const char *name;
    const char *value;
    const char *def;
    const char *what;
    unsigned used_by;
};

const cli_option kOptions[] = {
    {"--share", "NAME=PATH", "none", "publish a folder or one regular file", BOTH},
    {"--user", "NAME[:PASS]", "none",
     "add a user; without :PASS, the password of DIRIR2I_PASSWORD or the terminal",
     BOTH},
    {"--users-file", "FILE", "none",
     "users, NAME:PASSWORD a line, # comments; a private file (chmod 600)",
     BOTH},
    {"--allow", "CIDR", "loopback only", "admit clients from these addresses too", BOTH},
    {"--opt", "KEY=VALUE", "see the keys below", "set an option", BOTH},
    {"--log", "FILE", "- for serve, off for sim",
     "access log: a file, - for standard error, off for none", BOTH},
    {"--log-format", "FORMAT", "logfmt", "logfmt (key=value) or json (one object a line)", BOTH},
    {"--bind", "IP", "127.0.0.1", "address to listen on; :: takes IPv6 and IPv4 clients", SERVE},
    {"--port", "N", "4450", "TCP port; 0 lets the system choose; 445 for Windows clients", SERVE},
    {"--port-file", "FILE", "none", "write the port served on into FILE", SERVE},
    {"--ip", "IP", "127.0.0.1", "the simulated client's address", SIM},
};

const cli_option *find_option(const char *arg) {
    for (const cli_option &o : kOptions)
        if (is(arg, o.name)) return &o;
    return nullptr;
}

// One entry of a help list: its name and value, then what it does and its
// default on a line of their own.
void help_entry(const char *head, const char *what, const char *def) {
    printf("  %-29s %s\n  %-29s default: %s\n", head, what, "", def && *def ? def : "empty");
}

// The help of one command (SERVE or SIM), or of the whole program (BOTH).
void help(unsigned command) {
    if (command == BOTH) {
        printf("dirir2i %s: a small read-only SMB2 file server\n\n%s\n", dirir2i_version(), kUsage);
        printf("commands:\n"
               "  serve      serve the shares until SIGTERM or SIGINT\n"
               "  sim        replay one scripted client connection from standard input\n"
               "  selftest   run the crypto self-test\n"
               "  version    print the version\n\n");
    } else if (command == SERVE) {
        printf("usage: dirir2i serve [OPTION]...\n"
               "Serves the shares over SMB2 until SIGTERM or SIGINT.\n\n");
    } else {
        printf("usage: dirir2i sim [OPTION]... < SCRIPT\n"
               "Replays one scripted client connection and prints what the server answered.\n\n");
    }
    printf("options (--share, --user, --users-file, --allow and --opt repeatable):\n");
    for (const cli_option &o : kOptions) {
        if (!(o.used_by & command)) continue;
        char head[64];
        snprintf(head, sizeof head, "%s %s", o.name, o.value);
        char what[256];
        snprintf(what, sizeof what, "%s%s", command == BOTH && o.used_by == SERVE ? "serve: "
                                            : command == BOTH && o.used_by == SIM ? "sim: "
                                                                                  : "",
                 o.what);
        help_entry(head, what, o.def);
    }
    printf("\n--opt keys:\n");
    int n = 0;
    const qv2_opt_doc *docs = qv2_opt_docs(&n);
    for (int i = 0; i < n; i++) {
        char head[64];
        snprintf(head, sizeof head, "%s=%s", docs[i].key, docs[i].values);
        help_entry(head, docs[i].what, docs[i].default_text);
    }
    if (command & SERVE)
        printf("\nsignals%s:\n"
               "  SIGTERM, SIGINT  stop serving (closing the clients) and exit 0\n"
               "  SIGHUP           reopen the access log file, after it was rotated\n"
               "  SIGUSR1          write the counters to the access log\n",
               command == BOTH ? " (serve)" : "");
    printf("\nenvironment:\n"
           "  DIRIR2I_PASSWORD   the password of a --user given without one\n"
           "  DIRIR2I_TRACE=1    protocol trace on standard error\n"
           "\nexit codes: 0 success, 1 an operation failed, 2 usage error\n");
}

// What serve and sim read for themselves; the last one given counts.
struct run_args {
    const char *bind = nullptr;
    const char *port = nullptr;
    const char *port_file = nullptr;
    const char *ip = nullptr;
    const char *log = nullptr; // the log's path as last set, for reopening it
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

// --user NAME with the password from the environment or the terminal.
// -1 to go on, or the exit code.
int add_user_asking(const char *name) {
    char password[QV2_PASSWORD_MAX + 1];
    char msg[300];
    if (qv2_password_for(name, password, sizeof password, msg, sizeof msg) != 0) {
        fprintf(stderr, "%s\n", msg);
        return 2;
    }
    int rc = dirir2i_add_user(name, password);
    qv2_wipe(password, sizeof password);
    if (rc != 0) {
        fprintf(stderr, "add_user: %s\n", dirir2i_last_error());
        return 1;
    }
    return -1;
}

// The configuration pass over argv[2..]: options in pairs, applied in
// command-line order. Returns -1 to go on, or the exit code.
int setup(int argc, char **argv, run_args *a) {
    for (int i = 2; i < argc; i += 2) {
        const char *arg = argv[i];
        if (!find_option(arg) || i + 1 >= argc) {
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
            if (!strchr(value, ':')) {
                int rc = add_user_asking(value);
                if (rc >= 0) return rc;
                continue;
            }
            if (split_call(value, ':', dirir2i_add_user) != 0) {
                fprintf(stderr, "add_user: %s\n", dirir2i_last_error());
                return 1;
            }
        } else if (is(arg, "--users-file")) {
            char msg[512];
            if (qv2_users_file_load(value, msg, sizeof msg) != 0) {
                fprintf(stderr, "%s\n", msg);
                return 2;
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
            if (strncmp(value, "log=", 4) == 0) a->log = value + 4;
        } else if (is(arg, "--log")) {
            if (dirir2i_set_option("log", value) != 0) {
                fprintf(stderr, "%s\n", dirir2i_last_error());
                return 1;
            }
            a->log = value;
        } else if (is(arg, "--log-format")) {
            if (dirir2i_set_option("log_format", value) != 0) {
                fputs("--log-format needs logfmt or json\n", stderr);
                return 2;
            }
        }
        // --bind, --port, --port-file and --ip were taken by the first scan.
    }
    return -1;
}

// --help (or -h) in the place of an option.
bool wants_help(int argc, char **argv) {
    for (int i = 2; i < argc; i += 2)
        if (is(argv[i], "--help") || is(argv[i], "-h")) return true;
    return false;
}

// The port as the C library's atoi reads it (glibc: strtol cut to int),
// without atoi's undefined behaviour on overflow. Text that is no number
// gives 0, which lets the system choose.
uint32_t port_value(const char *text) {
    return uint32_t(int(strtol(text, nullptr, 10)));
}

volatile sig_atomic_t g_stop_requested = 0;
volatile sig_atomic_t g_reopen_requested = 0;
volatile sig_atomic_t g_stats_requested = 0;

extern "C" void on_signal(int sig) {
    if (sig == SIGHUP) g_reopen_requested = 1;
    else if (sig == SIGUSR1) g_stats_requested = 1;
    else g_stop_requested = 1;
}

// SIGTERM and SIGINT end `serve` through a normal exit: the server is
// stopped (its clients closed, its threads joined) and main returns, so
// exit-time checks such as LeakSanitizer's run as well. SIGHUP and SIGUSR1
// are answered by the serving loop.
void catch_signals(void) {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaction(sig, &sa, nullptr);
}

// After SIGHUP: the log file opened again by its path, so that a rotated
// file is left to the rotation and a new one started. A failure keeps the
// old file and is reported.
void reopen_log(const char *path) {
    if (!path || is(path, "-") || is(path, "off") || !*path) return;
    if (dirir2i_set_option("log", path) != 0) fprintf(stderr, "%s\n", dirir2i_last_error());
}

int serve(const run_args &a) {
    catch_signals();
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
        if (g_reopen_requested) {
            g_reopen_requested = 0;
            reopen_log(a.log);
        }
        if (g_stats_requested) {
            g_stats_requested = 0;
            qv2_stats_log();
        }
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
    if (is(cmd, "--help") || is(cmd, "-h")) {
        help(BOTH);
        return 0;
    }
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
    if (wants_help(argc, argv)) {
        help(serving ? SERVE : SIM);
        return 0;
    }

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
    // `serve` logs to standard error unless told otherwise; `sim` prints
    // its transcript and logs only when asked.
    if (serving) dirir2i_set_option("log", "-");
    int rc = setup(argc, argv, &a);
    if (rc >= 0) return rc;
    return serving ? serve(a) : sim(a);
}
