// Server options: one process-wide record, set one key at a time.
#include "config/cfg_internal.h"
#include "config/qv2_alog.h"
#include "config/qv2_cfg.h"

#include "dirir2i.h"
#include "foundation/qv2_trace.h"
#include "foundation/qv2_util.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

std::mutex g_lock;
bool g_staging = false;

namespace {

const qv2_opts kDefaults = {
    -1,              // guest: auto
    0,               // signing: enabled
    1,               // ntlm_timecheck: on
    16,              // max_clients
    300000,          // idle_timeout_ms
    30000,           // io_timeout_ms
    3,               // max_login_failures
    256,             // max_credits
    1024,            // max_handles
    4194304,         // max_message
    0,               // clock: system
    "KESTRAVONDLEX", // server_name
    30000,           // logon_timeout_ms
    0x0210,          // max_dialect: 2.1
    QV2_ENCRYPT_ENABLED,
};

// The options of a stage, and the log it will open: the access log keeps
// its own state, which a stage must not touch before its commit.
struct staged_opts {
    qv2_opts opts;
    char log[1025];
    char log_format[8];
};
staged_opts *g_staged = nullptr;

} // namespace

qv2_opts g_opts = kDefaults;

int qv2_cfg_trace_level_of(const char *value) { return !value ? 0 : value[0] == '1' ? 2 : 1; }

void qv2_cfg_trace_init(void) {
    static std::once_flag once;
    std::call_once(once, [] {
        if (qv2_trace_level() >= 0) return; // already set (by a test)
        qv2_trace_set_level(qv2_cfg_trace_level_of(getenv("DIRIR2I_TRACE")));
    });
}

int qv2_cfg_nego_token(void) {
    static const char *const vars[] = {nullptr, "DIRIR2I_RAW_NTLM_NEGO", "DIRIR2I_SHORT_MECHTOK",
                                       "DIRIR2I_EMPTY_MECHTOK", "DIRIR2I_NO_MECHTOK",
                                       "DIRIR2I_SAMBA_TOKEN"};
    for (int i = 1; i < int(std::size(vars)); i++)
        if (getenv(vars[i])) return i;
    return QV2_NEGO_TOKEN_DEFAULT;
}

void qv2_opts_get(qv2_opts *out) {
    qv2_cfg_trace_init();
    std::lock_guard<std::mutex> guard(g_lock);
    *out = g_opts;
}

namespace {

// Decimal digits only (no sign, no spaces), at most 12 of them, within min..max.
int parse_int(const char *text, int64_t min, int64_t max, int64_t *value) {
    size_t n = strlen(text);
    if (n == 0 || n > 12) return -1;
    int64_t v = 0;
    for (size_t i = 0; i < n; i++) {
        if (text[i] < '0' || text[i] > '9') return -1;
        v = v * 10 + (text[i] - '0');
    }
    if (v < min || v > max) return -1;
    *value = v;
    return 0;
}

// A word option: each accepted text maps to a stored value.
struct word_choice {
    const char *text;
    int32_t value;
};

int set_word(const word_choice *choices, size_t n, const char *value, int32_t *field) {
    for (size_t i = 0; i < n; i++) {
        if (strcmp(choices[i].text, value) == 0) {
            *field = choices[i].value;
            return 0;
        }
    }
    return -1;
}

const word_choice kGuest[] = {{"auto", -1}, {"on", 1}, {"1", 1}, {"off", 0}, {"0", 0}};
const word_choice kSigning[] = {{"enabled", 0}, {"required", 1}, {"1", 1}};
const word_choice kOnOff[] = {{"on", 1}, {"1", 1}, {"off", 0}, {"0", 0}};
const word_choice kDialects[] = {
    {"2.0.2", 0x0202}, {"2.1", 0x0210}, {"3.0", 0x0300}, {"3.0.2", 0x0302}, {"3.1.1", 0x0311}};
const word_choice kEncryption[] = {{"off", QV2_ENCRYPT_OFF},
                                   {"enabled", QV2_ENCRYPT_ENABLED},
                                   {"desired", QV2_ENCRYPT_DESIRED},
                                   {"required", QV2_ENCRYPT_REQUIRED}};

// A numeric option bounded to min..max; `field32` or `field64` receives it.
struct number_option {
    const char *key;
    int64_t min, max;
    const char *message; // printf format; %d gets `max` when it has one
    int32_t qv2_opts::*field32;
    int64_t qv2_opts::*field64;
};

const number_option kNumbers[] = {
    {"max_clients", 1, 1024, "max_clients: 1..1024", &qv2_opts::max_clients, nullptr},
    {"idle_timeout_ms", 100, 86400000, "idle_timeout_ms: 100..86400000",
     &qv2_opts::idle_timeout_ms, nullptr},
    {"io_timeout_ms", 100, 3600000, "io_timeout_ms: 100..3600000", &qv2_opts::io_timeout_ms,
     nullptr},
    {"logon_timeout_ms", 1000, 600000, "logon_timeout_ms: 1000..600000",
     &qv2_opts::logon_timeout_ms, nullptr},
    {"max_login_failures", 1, 100, "max_login_failures: 1..100", &qv2_opts::max_login_failures,
     nullptr},
    {"max_credits", 1, 256, "max_credits: 1..%d", &qv2_opts::max_credits, nullptr},
    {"max_handles", 1, 1024, "max_handles: 1..%d", &qv2_opts::max_handles, nullptr},
    {"max_message", 65536, 16777216, "max_message: 65536..16777216", nullptr,
     &qv2_opts::max_message},
    {"clock", 0, 253402300799LL, "clock: unix seconds, 0 = system", nullptr, &qv2_opts::clock},
};

int set_one(qv2_opts *o, const char *key, const char *value) {
    if (strcmp(key, "guest") == 0) {
        if (set_word(kGuest, std::size(kGuest), value, &o->guest) != 0)
            return qv2_fail(DIRIR2I_EARG, "guest: auto, on or off");
        return 0;
    }
    if (strcmp(key, "signing") == 0) {
        if (set_word(kSigning, std::size(kSigning), value, &o->signing) != 0)
            return qv2_fail(DIRIR2I_EARG, "signing: enabled or required");
        return 0;
    }
    if (strcmp(key, "ntlm_timecheck") == 0) {
        if (set_word(kOnOff, std::size(kOnOff), value, &o->ntlm_timecheck) != 0)
            return qv2_fail(DIRIR2I_EARG, "ntlm_timecheck: on or off");
        return 0;
    }
    if (strcmp(key, "max_dialect") == 0) {
        if (set_word(kDialects, std::size(kDialects), value, &o->max_dialect) != 0)
            return qv2_fail(DIRIR2I_EARG, "max_dialect: 2.0.2, 2.1, 3.0, 3.0.2 or 3.1.1");
        return 0;
    }
    if (strcmp(key, "encryption") == 0) {
        if (set_word(kEncryption, std::size(kEncryption), value, &o->encryption) != 0)
            return qv2_fail(DIRIR2I_EARG, "encryption: off, enabled, desired or required");
        return 0;
    }
    for (const number_option &opt : kNumbers) {
        if (strcmp(key, opt.key) != 0) continue;
        int64_t v;
        if (parse_int(value, opt.min, opt.max, &v) != 0)
            return qv2_fail(DIRIR2I_EARG, opt.message, int(opt.max));
        if (opt.field32)
            o->*opt.field32 = int32_t(v);
        else
            o->*opt.field64 = v;
        return 0;
    }
    if (strcmp(key, "server_name") == 0) {
        size_t n = strlen(value);
        if (n < 1 || n > 63) return qv2_fail(DIRIR2I_EARG, "server_name: 1..%d bytes", 63);
        for (size_t i = 0; i < n; i++) {
            unsigned char c = static_cast<unsigned char>(value[i]);
            if (c < 0x20 || c > 0x7e) return qv2_fail(DIRIR2I_EARG, "server_name: printable ASCII only");
        }
        memset(o->server_name, 0, sizeof o->server_name);
        memcpy(o->server_name, value, n);
        return 0;
    }
    if (strcmp(key, "banner") == 0) return 0; // accepted for compatibility; has no effect
    // The access log keeps its own state: nothing of it is in the record.
    if (strcmp(key, "log") == 0) return qv2_alog_set_path(value);
    if (strcmp(key, "log_format") == 0) return qv2_alog_set_format(value);
    return qv2_fail(DIRIR2I_EARG, "unknown option %.64s", key);
}

// Every key in the order of set_one, for help texts.
const qv2_opt_doc kDocs[] = {
    {"guest", "auto|on|off", "auto", "guest logons; auto admits guests only while no user exists"},
    {"signing", "enabled|required", "enabled", "announce signing as required, and enforce it"},
    {"ntlm_timecheck", "on|off", "on", "refuse NTLM timestamps more than 2 hours off"},
    {"max_dialect", "2.0.2|2.1|3.0|3.0.2|3.1.1", "2.1",
     "the highest dialect spoken; 3.1.1 on any untrusted network"},
    {"encryption", "off|enabled|desired|required", "enabled",
     "SMB 3 encryption: allowed, asked of 3.x sessions, or required of every client"},
    {"max_clients", "1..1024", "16",
     "simultaneous connections; before logon at most half from one address, the oldest making "
     "room"},
    {"idle_timeout_ms", "100..86400000", "300000", "a connection silent this long is dropped"},
    {"logon_timeout_ms", "1000..600000", "30000",
     "a connection not logged on this long after it opened is dropped"},
    {"io_timeout_ms", "100..3600000", "30000",
     "a client that stops reading a reply is dropped after this long"},
    {"max_login_failures", "1..100", "3",
     "failed logons in a row before the connection is closed (unless another session is on it)"},
    {"max_credits", "1..256", "256", "kept for compatibility"},
    {"max_handles", "1..1024", "1024", "open handles per connection"},
    {"max_message", "65536..16777216", "4194304", "largest request (never more than 4 MiB)"},
    {"clock", "unix seconds", "0", "a fixed time for the protocol (0: the system clock)"},
    {"server_name", "1..63 printable ASCII", "KESTRAVONDLEX", "the name in NTLM messages"},
    {"banner", "any text", "", "accepted and ignored"},
    {"log", "FILE|-|off", "off", "the access log: a file, - for standard error, or none"},
    {"log_format", "logfmt|json", "logfmt", "one key=value line, or one JSON object, per event"},
};

} // namespace

const qv2_opt_doc *qv2_opt_docs(int *count) {
    *count = int(std::size(kDocs));
    return kDocs;
}

namespace {

// `log` or `log_format` for a stage: checked now, put in place by the commit.
int stage_log(const char *key, const char *value) {
    bool is_log = strcmp(key, "log") == 0;
    if (is_log && strlen(value) > sizeof g_staged->log - 1)
        return qv2_fail(DIRIR2I_EARG, "log: path longer than %d bytes", int(sizeof g_staged->log - 1));
    if (!is_log && strcmp(value, "logfmt") != 0 && strcmp(value, "json") != 0)
        return qv2_fail(DIRIR2I_EARG, "log_format: logfmt or json");
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_staging) return qv2_fail(DIRIR2I_EARG, "set_option: the stage was closed");
    char *field = is_log ? g_staged->log : g_staged->log_format;
    snprintf(field, is_log ? sizeof g_staged->log : sizeof g_staged->log_format, "%s", value);
    return 0;
}

} // namespace

extern "C" DIRIR2I_API int dirir2i_set_option(const char *key, const char *value) {
    if (!key || !value) return qv2_fail(DIRIR2I_EARG, "set_option: NULL key or value");
    if (strncmp(key, "share.", 6) == 0) return qv2_share_set_option(key + 6, value);
    qv2_cfg_trace_init();
    qv2_opts local;
    bool staging;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        staging = g_staging;
        local = staging ? g_staged->opts : g_opts;
    }
    if (staging && (strcmp(key, "log") == 0 || strcmp(key, "log_format") == 0))
        return stage_log(key, value);
    int rc = set_one(&local, key, value);
    if (rc != 0) return rc;
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_staging != staging) return qv2_fail(DIRIR2I_EARG, "set_option: the stage changed meanwhile");
    (staging ? g_staged->opts : g_opts) = local;
    return 0;
}

int qv2_opts_stage(qv2_stage_step step) {
    if (step == QV2_STAGE_OPEN) {
        g_staged = new (std::nothrow) staged_opts{kDefaults, "off", "logfmt"};
        return g_staged ? 0 : -1;
    }
    if (step == QV2_STAGE_SWAP) {
        g_opts = g_staged->opts;
        return 0;
    }
    delete g_staged;
    g_staged = nullptr;
    return 0;
}

void qv2_opts_staged_log(char *path, size_t path_cap, char *format, size_t format_cap) {
    std::lock_guard<std::mutex> guard(g_lock);
    snprintf(path, path_cap, "%s", g_staging ? g_staged->log : "");
    snprintf(format, format_cap, "%s", g_staging ? g_staged->log_format : "");
}
