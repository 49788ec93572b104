// The dirir2i command: serve, sim, selftest and version over the exported
// functions, so it is also their reference client. Beyond them it reads
// users files and passwords (frontend/qv2_front.h) and the --config file
// (frontend/qv2_conf.h), reloads that file on SIGHUP, writes the metrics
// file and, on SIGUSR1, writes the counters to the access log.
// Exit codes: 0 success, 1 an operation failed, 2 usage error or no memory.
#include "dirir2i.h"

#include "config/qv2_alog.h"
#include "config/qv2_cfg.h"
#include "engine/qv2_cache_types.h"
#include "engine/qv2_hub.h"
#include "files/qv2_replace_file.h"
#include "foundation/qv2_util.h"
#include "frontend/qv2_conf.h"
#include "frontend/qv2_front.h"
#include "platform/qv2_platform.h"
#include "security/qv2_crypto.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>

namespace {

const char kUsage[] =
    "usage: dirir2i serve  [--config FILE] [--share NAME=PATH]... [--user USER[:PASS]]...\n"
    "                      [--users-file FILE] [--allow CIDR]... [--opt KEY=VALUE]...\n"
    "                      [--log FILE] [--log-format F] [--bind IP] [--port N]\n"
    "                      [--port-file FILE] [--metrics-file FILE] [--metrics-interval S]\n"
    "       dirir2i sim    [--config FILE] [--share NAME=PATH]... [--user USER[:PASS]]...\n"
    "                      [--opt KEY=VALUE]... [--ip IP] < SCRIPT\n"
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
    {"--config", "FILE", "none",
     "settings and shares from an INI file; serve reads it again on reload (man dirir2i)",
     BOTH},
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
    {"--metrics-file", "FILE", "none",
     "write the counters in the Prometheus text format into FILE (rename over it)", SERVE},
    {"--metrics-interval", "SECONDS", "5", "rewrite the metrics file this often (1..3600)", SERVE},
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
    printf("\nshare keys (--opt share.NAME.KEY=VALUE, or KEY = VALUE in [NAME] of --config):\n");
    help_entry("share.NAME.path=PATH", "the folder or file shared (--config: required)", "none");
    help_entry("share.NAME.users=A,B", "only these users may open it", "every user");
    help_entry("share.NAME.guest=yes|no", "whether guest sessions may open it",
               "yes unless users is set");
    help_entry("share.NAME.browseable=yes|no", "whether share lists show it", "yes");
    help_entry("share.NAME.encryption=enabled|desired|required",
               "SMB 3 encryption for this share (required: only sessions that seal)",
               "the encryption option");
    printf("\n--config also takes bind, port, allow (A,B,...), users_file, metrics_file and\n"
           "metrics_interval, and every --opt key; the command line overrides the file.\n");
    if (command & SERVE)
        printf("\nclient caching%s (leases at SMB 2.1 and 3.x, oplocks, CHANGE_NOTIFY), limits:\n"
               "  watched host objects    %d per server, %d per connection (a watched tree\n"
               "                          counts each folder in it)\n"
               "  leases                  %d per connection; past it, opens get none\n"
               "  waiting CHANGE_NOTIFY   %d per connection; more get INSUFFICIENT_RESOURCES\n"
               "  buffered changes        %d records per watched folder, %d KiB per connection;\n"
               "                          past them the client is told NOTIFY_ENUM_DIR\n"
               "  break acknowledgment    %d s, then the break is taken as done\n",
               command == BOTH ? " (serve)" : "", int(QV2_HUB_WATCHES_MAX),
               int(QV2_HUB_CONN_WATCHES_MAX), int(QV2_LEASES_MAX), int(QV2_NOTIFY_WAITS_MAX),
               int(QV2_HUB_EVENTS_MAX), int(QV2_HUB_CONN_BYTES_MAX / 1024),
               int(QV2_BREAK_ACK_MS / 1000));
    if (command & SERVE)
        printf("\nsignals%s:\n"
               "  SIGTERM, SIGINT  stop serving (closing the clients) and exit 0\n"
               "  SIGHUP           reopen the access log file, after it was rotated; with\n"
               "                   --config, read the file (and the users file) again\n"
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
    const char *config = nullptr;
    const char *metrics_file = nullptr;
    const char *metrics_interval = nullptr;
    const char *log = nullptr; // the log's path as last set, for reopening it
};

// While a reload applies the configuration, messages are kept for its log
// line instead of going to standard error; the first one counts.
bool g_collect = false;
std::string g_complaint;

void complain(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void complain(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    if (!g_collect) {
        vfprintf(stderr, fmt, ap);
    } else if (g_complaint.empty()) {
        char text[768];
        vsnprintf(text, sizeof text, fmt, ap);
        g_complaint = text;
        while (!g_complaint.empty() && g_complaint.back() == '\n') g_complaint.pop_back();
    }
    va_end(ap);
}

// The shares the --config file defines: a --share of one of them moves it
// (the command line overrides the file) instead of failing as a duplicate.
const qv2_conf *g_file = nullptr;

int add_share_from_cli(const char *name, const char *path) {
    if (g_file) {
        for (const qv2_conf_share &s : g_file->shares) {
            if (qv2_casecmp(s.name.c_str(), name) != 0) continue;
            std::string key = "share." + s.name + ".path";
            return dirir2i_set_option(key.c_str(), path);
        }
    }
    return dirir2i_add_share(name, path);
}

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

// --user NAME with the password from the environment or the terminal; on a
// reload, the password given at the start. -1 to go on, or the exit code.
int add_user_asking(const char *name, bool reloading) {
    if (reloading) {
        if (qv2_cfg_stage_keep_user(name) == 0) return -1;
        complain("add_user: %s\n", dirir2i_last_error());
        return 1;
    }
    char password[QV2_PASSWORD_MAX + 1];
    char msg[300];
    if (qv2_password_for(name, password, sizeof password, msg, sizeof msg) != 0) {
        complain("%s\n", msg);
        return 2;
    }
    int rc = dirir2i_add_user(name, password);
    qv2_wipe(password, sizeof password);
    if (rc != 0) {
        complain("add_user: %s\n", dirir2i_last_error());
        return 1;
    }
    return -1;
}

// The configuration pass over argv[2..]: options in pairs, applied in
// command-line order. Returns -1 to go on, or the exit code.
int setup(int argc, char **argv, run_args *a, bool reloading) {
    for (int i = 2; i < argc; i += 2) {
        const char *arg = argv[i];
        if (!find_option(arg) || i + 1 >= argc) {
            fprintf(stderr, "unknown argument %s\n", arg);
            return usage();
        }
        char *value = argv[i + 1];
        if (is(arg, "--share")) {
            int rc = split_call(value, '=', add_share_from_cli);
            if (rc == -1) {
                complain("--share needs NAME=PATH\n");
                return 2;
            }
            if (rc != 0) {
                complain("add_share: %s\n", dirir2i_last_error());
                return 1;
            }
        } else if (is(arg, "--user")) {
            if (!strchr(value, ':')) {
                int rc = add_user_asking(value, reloading);
                if (rc >= 0) return rc;
                continue;
            }
            if (split_call(value, ':', dirir2i_add_user) != 0) {
                complain("add_user: %s\n", dirir2i_last_error());
                return 1;
            }
        } else if (is(arg, "--users-file")) {
            char msg[512];
            if (qv2_users_file_load(value, msg, sizeof msg) != 0) {
                complain("%s\n", msg);
                return 2;
            }
        } else if (is(arg, "--allow")) {
            if (dirir2i_allow_cidr(value) != 0) {
                complain("allow_cidr: %s\n", dirir2i_last_error());
                return 1;
            }
        } else if (is(arg, "--opt")) {
            int rc = split_call(value, '=', dirir2i_set_option);
            if (rc == -1) {
                complain("--opt needs KEY=VALUE\n");
                return 2;
            }
            if (rc != 0) {
                complain("set_option: %s\n", dirir2i_last_error());
                return 1;
            }
            if (strncmp(value, "log=", 4) == 0) a->log = value + 4;
        } else if (is(arg, "--log")) {
            if (dirir2i_set_option("log", value) != 0) {
                complain("%s\n", dirir2i_last_error());
                return 1;
            }
            a->log = value;
        } else if (is(arg, "--log-format")) {
            if (dirir2i_set_option("log_format", value) != 0) {
                complain("--log-format needs logfmt or json\n");
                return 2;
            }
        }
        // --config, --bind, --port, --port-file, --metrics-* and --ip were
        // taken by the first scan.
    }
    return -1;
}

// Whether the command line sets the option argument `name`, or the --opt
// key `key` (null: none).
bool cli_sets(int argc, char **argv, const char *name, const char *key) {
    size_t klen = key ? strlen(key) : 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (is(argv[i], name)) return true;
        if (key && is(argv[i], "--opt") && strncmp(argv[i + 1], key, klen) == 0 &&
            argv[i + 1][klen] == '=')
            return true;
    }
    return false;
}

// A library message without the key it repeats ("guest: auto, on or off"
// for key guest; "add_share: ..." for a path).
const char *without_prefix(const char *msg, const std::string &prefix) {
    size_t n = prefix.size();
    if (strncmp(msg, prefix.c_str(), n) == 0 && msg[n] == ':' && msg[n + 1] == ' ') return msg + n + 2;
    return msg;
}

int file_error(const qv2_conf &f, int line, const std::string &key, const char *msg) {
    complain("--config: %s line %d: %s: %s\n", f.file.c_str(), line, key.c_str(), msg);
    return 2;
}

// Applies the file: its options and allow-list, its users file, its shares
// and their keys. What the command line sets itself (the log, its format,
// a users file) is left to the command line, which is applied afterwards
// and so overrides the rest. -1 to go on, or the exit code (2).
int apply_file(const qv2_conf &f, int argc, char **argv) {
    for (const qv2_conf_item &i : f.global) {
        const char *k = i.key.c_str(), *v = i.value.c_str();
        if (is(k, "bind") || is(k, "port") || is(k, "metrics_file") || is(k, "metrics_interval"))
            continue; // read by the serve command
        if (is(k, "allow")) {
            std::string list = i.value + ",";
            for (size_t at = 0, comma; (comma = list.find(',', at)) != std::string::npos; at = comma + 1) {
                std::string one = list.substr(at, comma - at);
                one.erase(0, one.find_first_not_of(" \t"));
                one.erase(one.find_last_not_of(" \t") + 1);
                if (dirir2i_allow_cidr(one.c_str()) != 0)
                    return file_error(f, i.line, i.key, without_prefix(dirir2i_last_error(), "allow_cidr"));
            }
        } else if (is(k, "users_file")) {
            if (cli_sets(argc, argv, "--users-file", nullptr)) continue;
            char msg[512];
            if (qv2_users_file_load(v, msg, sizeof msg) != 0)
                return file_error(f, i.line, i.key, without_prefix(msg, "--users-file"));
        } else {
            if (is(k, "log") && (cli_sets(argc, argv, "--log", "log"))) continue;
            if (is(k, "log_format") && cli_sets(argc, argv, "--log-format", "log_format")) continue;
            if (dirir2i_set_option(k, v) != 0)
                return file_error(f, i.line, i.key, without_prefix(dirir2i_last_error(), i.key));
        }
    }
    for (const qv2_conf_share &s : f.shares) {
        for (const qv2_conf_item &i : s.keys) {
            std::string where = "[" + s.name + "] " + i.key;
            if (i.key == "path") {
                if (dirir2i_add_share(s.name.c_str(), i.value.c_str()) != 0)
                    return file_error(f, i.line, where,
                                      without_prefix(dirir2i_last_error(), "add_share"));
            }
        }
        for (const qv2_conf_item &i : s.keys) {
            if (i.key == "path") continue;
            std::string key = "share." + s.name + "." + i.key;
            if (dirir2i_set_option(key.c_str(), i.value.c_str()) != 0)
                return file_error(f, i.line, "[" + s.name + "] " + i.key,
                                  without_prefix(dirir2i_last_error(), key));
        }
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

// What `serve` settles from the command line, then the file, then the
// defaults.
struct serve_settings {
    std::string bind = "127.0.0.1";
    uint32_t port = 4450;
    std::string metrics_file;
    int metrics_interval = 5;
    std::string log = "-"; // the access log's path, for reopening it
};

serve_settings settle(const run_args &a, const qv2_conf *f) {
    serve_settings s;
    const qv2_conf_item *i = nullptr;
    if (a.bind) s.bind = a.bind;
    else if (f && (i = f->find("bind"))) s.bind = i->value;
    if (a.port) s.port = port_value(a.port);
    else if (f && (i = f->find("port"))) s.port = uint32_t(atoi(i->value.c_str()));
    if (a.metrics_file) s.metrics_file = a.metrics_file;
    else if (f && (i = f->find("metrics_file"))) s.metrics_file = i->value;
    if (a.metrics_interval) s.metrics_interval = atoi(a.metrics_interval);
    else if (f && (i = f->find("metrics_interval"))) s.metrics_interval = atoi(i->value.c_str());
    if (a.log) s.log = a.log;
    else if (f && (i = f->find("log"))) s.log = i->value;
    return s;
}

// The metrics file, written whole; a failure is reported once until a
// write works again.
bool g_metrics_failing = false;

bool write_metrics(const std::string &path) {
    qv2_buf b{};
    qv2_metrics_text(&b);
    char why[300] = "out of memory";
    bool ok = !b.failed && qv2_file_replace(path.c_str(), b.data, b.len, why, sizeof why) == 0;
    qv2_buf_free(&b);
    if (!ok && !g_metrics_failing) fprintf(stderr, "metrics: %s: %s\n", path.c_str(), why);
    if (ok && g_metrics_failing) fprintf(stderr, "metrics: %s written again\n", path.c_str());
    g_metrics_failing = !ok;
    return ok;
}

// The serving loop's state: the command line, the file as last applied,
// and the settings in force.
struct server {
    int argc;
    char **argv;
    run_args *a;
    qv2_conf file;
    serve_settings now;
};

// One `reload` line in the access log, and on standard error too when the
// log is not there.
void report_reload(const server &s, const char *result, const std::string &reason,
                   const std::string &restart) {
    qv2_logline l;
    if (qv2_alog_begin(&l, "reload")) {
        qv2_logline_str(&l, "config", s.a->config);
        qv2_logline_str(&l, "result", result);
        if (!reason.empty()) qv2_logline_str(&l, "reason", reason.c_str());
        if (!restart.empty()) qv2_logline_str(&l, "restart_needed", restart.c_str());
        qv2_alog_emit(&l);
    }
    if (s.now.log != "-") {
        fprintf(stderr, "reload %s%s%s%s%s\n", result, reason.empty() ? "" : ": ", reason.c_str(),
                restart.empty() ? "" : "; needs a restart to change: ", restart.c_str());
    }
}

// SIGHUP with --config: the file (and the users file) read again and put in
// place as a whole, the command line applied over it as at the start. Any
// failure keeps the configuration that was running and only reopens the
// log. Bind address and port can't change while serving: a change is
// reported and waits for a restart.
void reload(server &s) {
    qv2_conf next;
    std::string why;
    if (qv2_conf_read(s.a->config, &next, &why) != 0) {
        reopen_log(s.now.log.c_str());
        report_reload(s, "refused", why, "");
        return;
    }
    if (qv2_cfg_stage_begin() != 0) {
        reopen_log(s.now.log.c_str());
        report_reload(s, "refused", dirir2i_last_error(), "");
        return;
    }
    g_collect = true;
    g_complaint.clear();
    g_file = &next;
    dirir2i_set_option("log", "-");
    int rc = apply_file(next, s.argc, s.argv);
    if (rc < 0) rc = setup(s.argc, s.argv, s.a, true);
    g_collect = false;
    if (rc < 0 && qv2_cfg_stage_commit() != 0) {
        rc = 1;
        g_complaint = dirir2i_last_error();
    }
    if (rc >= 0) {
        qv2_cfg_stage_abort();
        g_file = &s.file;
        reopen_log(s.now.log.c_str());
        report_reload(s, "refused", g_complaint, "");
        return;
    }
    serve_settings want = settle(*s.a, &next);
    std::string restart;
    if (want.bind != s.now.bind) restart = "bind";
    if (want.port != s.now.port) restart += restart.empty() ? "port" : ",port";
    want.bind = s.now.bind;
    want.port = s.now.port;
    s.file = std::move(next);
    g_file = &s.file;
    s.now = want;
    report_reload(s, "ok", "", restart);
}

int serve(int argc, char **argv, run_args &a, qv2_conf *file) {
    catch_signals();
    server s{argc, argv, &a, file ? std::move(*file) : qv2_conf{}, {}};
    g_file = a.config ? &s.file : nullptr;
    s.now = settle(a, a.config ? &s.file : nullptr);
    // A metrics file that can't be written is found out before serving.
    if (!s.now.metrics_file.empty() && !write_metrics(s.now.metrics_file)) return 1;
    const char *bind = s.now.bind.c_str();
    if (dirir2i_start(bind, s.now.port, nullptr) != 0) {
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
    uint64_t next_metrics = 0;
    // Serves until SIGTERM or SIGINT.
    while (!g_stop_requested) {
        if (!s.now.metrics_file.empty() && qv2_now_ms() >= next_metrics) {
            write_metrics(s.now.metrics_file);
            next_metrics = qv2_now_ms() + uint64_t(s.now.metrics_interval) * 1000;
        }
        timespec step{0, 100 * 1000000L};
        nanosleep(&step, nullptr);
        if (g_reopen_requested) {
            g_reopen_requested = 0;
            std::string metrics = s.now.metrics_file;
            if (a.config) reload(s);
            else reopen_log(s.now.log.c_str());
            if (s.now.metrics_file != metrics) next_metrics = 0;
        }
        if (g_stats_requested) {
            g_stats_requested = 0;
            qv2_stats_log();
        }
    }
    dirir2i_stop();
    if (!s.now.metrics_file.empty()) write_metrics(s.now.metrics_file);
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
        if (serving && is(arg, "--metrics-file")) slot = &a.metrics_file;
        if (serving && is(arg, "--metrics-interval")) slot = &a.metrics_interval;
        if (is(arg, "--config")) slot = &a.config;
        if (!serving && is(arg, "--ip")) slot = &a.ip;
        if (slot) *slot = argv[++i];
    }
    if (a.metrics_interval) {
        char *end = nullptr;
        long v = strtol(a.metrics_interval, &end, 10);
        if (!*a.metrics_interval || *end || v < 1 || v > 3600) {
            fputs("--metrics-interval needs 1..3600 seconds\n", stderr);
            return 2;
        }
    }
    // The file is read and checked whole before anything is set.
    qv2_conf file;
    if (a.config) {
        std::string msg;
        if (qv2_conf_read(a.config, &file, &msg) != 0) {
            fprintf(stderr, "--config: %s\n", msg.c_str());
            return 2;
        }
        g_file = &file;
    }
    // `serve` logs to standard error unless told otherwise; `sim` prints
    // its transcript and logs only when asked.
    if (serving) dirir2i_set_option("log", "-");
    if (a.config) {
        int rc = apply_file(file, argc, argv);
        if (rc >= 0) return rc;
    }
    int rc = setup(argc, argv, &a, false);
    if (rc >= 0) return rc;
    return serving ? serve(argc, argv, a, a.config ? &file : nullptr) : sim(a);
}
