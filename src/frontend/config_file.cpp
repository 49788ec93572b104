// The --config file: read through inih (one well-kept INI parser, packaged
// by Debian), which reports the line of the first error; the checks that
// need the whole file (duplicates, a share without a path) are made here.
#include "frontend/qv2_conf.h"

#include "config/qv2_cfg.h"
#include "files/qv2_secret_input.h"
#include "foundation/qv2_util.h"

#include <ini.h>

#include <cstdlib>
#include <cstring>
#include <memory>

const char *const qv2_conf_command_keys[] = {"bind",       "port",         "allow",
                                             "users_file", "metrics_file", "metrics_interval",
                                             nullptr};
const char *const qv2_conf_share_keys[] = {"path",       "users",      "guest",
                                           "browseable", "encryption", nullptr};

const qv2_conf_item *qv2_conf::find(const char *key) const {
    for (const qv2_conf_item &i : global)
        if (i.key == key) return &i;
    return nullptr;
}

namespace {

constexpr size_t kFileMax = 1 << 20;
// A users list of 1024 bytes with its key fits; inih's line buffer is made
// a little larger (it needs room for the line end and the terminator).
constexpr int kLineMax = 4096;

struct parse_state {
    const char *file;
    const char *at;   // the rest of the text, for the reader
    int line = 0;     // the line the reader handed out last
    bool line_done = true;
    qv2_conf *out;
    std::string msg;  // the first error, once there is one
    // The section whose header the reader passed last: its line, the name
    // as written between the brackets, and whether a key of it was seen.
    int header_line = 0;
    std::string header_name;
    bool header_keys = false;
    bool in_share = false; // keys go to out->shares.back()
    bool had_global = false;
};

bool in_list(const char *const *list, const std::string &key) {
    for (int i = 0; list[i]; i++)
        if (key == list[i]) return true;
    return false;
}

bool option_key(const std::string &key) {
    int n = 0;
    const qv2_opt_doc *docs = qv2_opt_docs(&n);
    for (int i = 0; i < n; i++)
        if (key == docs[i].key) return true;
    return false;
}

bool is_global(const std::string &name) { return qv2_casecmp(name.c_str(), "global") == 0; }

bool fail(parse_state *s, int line, const std::string &text) {
    if (s->msg.empty()) s->msg = std::string(s->file) + " line " + std::to_string(line) + ": " + text;
    return false;
}

// Digits only, within min..max.
bool number_in(const std::string &v, long min, long max) {
    if (v.empty() || v.size() > 9) return false;
    for (char c : v)
        if (c < '0' || c > '9') return false;
    long n = strtol(v.c_str(), nullptr, 10);
    return n >= min && n <= max;
}

// The values the command takes itself; the library's are checked when set.
bool check_value(parse_state *s, const qv2_conf_item &i) {
    qv2_ip ip;
    if (i.key == "bind" && qv2_ip_parse(i.value.c_str(), &ip) != 0)
        return fail(s, i.line, "bind: not an IPv4 or IPv6 address");
    if (i.key == "port" && !number_in(i.value, 0, 65535)) return fail(s, i.line, "port: 0..65535");
    if (i.key == "metrics_interval" && !number_in(i.value, 1, 3600))
        return fail(s, i.line, "metrics_interval: 1..3600 seconds");
    if ((i.key == "users_file" || i.key == "metrics_file") && i.value.empty())
        return fail(s, i.line, i.key + ": empty");
    return true;
}

// The section that ended has what it needs: a share has its path.
bool end_section(parse_state *s) {
    if (s->header_line == 0 || is_global(s->header_name)) return true;
    if (!s->header_keys) return fail(s, s->header_line, "[" + s->header_name + "] has no path");
    for (const qv2_conf_item &i : s->out->shares.back().keys)
        if (i.key == "path") return true;
    return fail(s, s->header_line, "[" + s->header_name + "] has no path");
}

// The first key of a section: the section begins.
bool begin_section(parse_state *s, const char *section) {
    s->header_keys = true;
    std::string name = section;
    if (is_global(name)) {
        s->in_share = false;
        return true;
    }
    if (name.empty()) return fail(s, s->header_line, "[] names no share");
    for (const qv2_conf_share &sh : s->out->shares)
        if (qv2_casecmp(sh.name.c_str(), section) == 0)
            return fail(s, s->header_line,
                        "share [" + name + "] given twice (first on line " + std::to_string(sh.line) + ")");
    s->out->shares.push_back(qv2_conf_share{name, s->header_line, {}});
    s->in_share = true;
    return true;
}

int on_key(void *user, const char *section, const char *name, const char *value) {
    auto *s = static_cast<parse_state *>(user);
    if (!s->msg.empty()) return 0;
    if (s->header_line != 0 && !s->header_keys && !begin_section(s, section)) return 0;
    qv2_conf_item item{name, value, s->line};
    std::vector<qv2_conf_item> &keys = s->in_share ? s->out->shares.back().keys : s->out->global;
    bool known = s->in_share ? in_list(qv2_conf_share_keys, item.key)
                             : in_list(qv2_conf_command_keys, item.key) || option_key(item.key);
    if (!known)
        return fail(s, s->line, item.key + ": unknown key" + (s->in_share ? " in a share's section" : ""));
    for (const qv2_conf_item &k : keys)
        if (k.key == item.key)
            return fail(s, s->line,
                        item.key + ": given twice (first on line " + std::to_string(k.line) + ")");
    if (!s->in_share && !check_value(s, item)) return 0;
    keys.push_back(item);
    return 1;
}

// inih's reader: one line per call (no line is longer than the buffer, see
// qv2_conf_parse), counting lines and noting section headers on the way.
char *next_line(char *buf, int cap, void *stream) {
    auto *s = static_cast<parse_state *>(stream);
    if (!*s->at || !s->msg.empty()) return nullptr;
    const char *end = strchr(s->at, '\n');
    size_t n = end ? size_t(end - s->at) + 1 : strlen(s->at);
    if (n > size_t(cap) - 1) n = size_t(cap) - 1;
    memcpy(buf, s->at, n);
    buf[n] = 0;
    s->at += n;
    s->line++;
    const char *p = buf;
    if (s->line == 1 && strncmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
    while (*p == ' ' || *p == '\t') p++;
    if (*p == '[') {
        if (!end_section(s)) return nullptr;
        const char *close = strchr(p, ']');
        s->header_line = s->line;
        s->header_name.assign(p + 1, close ? size_t(close - p - 1) : strlen(p + 1));
        s->header_keys = false;
        s->in_share = false;
        if (is_global(s->header_name)) {
            if (s->had_global) {
                fail(s, s->line, "[global] given twice");
                return nullptr;
            }
            s->had_global = true;
        }
    }
    return buf;
}

// Runs once: inih's settings are process-wide.
void setup_inih() {
    ini_allow_multiline = false; // an indented line is an error, not a continuation
    ini_stop_on_first_error = true;
    ini_use_stack = false;
    ini_allow_realloc = false;
    ini_max_line = kLineMax + 3;
}

} // namespace

int qv2_conf_parse(const char *path, const char *text, qv2_conf *out, std::string *msg) {
    *out = qv2_conf{};
    out->file = path;
    int number = 1;
    for (const char *p = text; *p; number++) {
        const char *end = strchr(p, '\n');
        size_t n = end ? size_t(end - p) : strlen(p);
        if (n > size_t(kLineMax)) {
            *msg = std::string(path) + " line " + std::to_string(number) + ": longer than " +
                   std::to_string(kLineMax) + " bytes";
            return -1;
        }
        if (!end) break;
        p = end + 1;
    }
    static bool once = (setup_inih(), true);
    (void)once;
    parse_state s;
    s.file = path;
    s.at = text;
    s.out = out;
    int rc = ini_parse_stream(next_line, &s, on_key, &s);
    if (s.msg.empty() && rc == 0) end_section(&s);
    if (s.msg.empty() && rc > 0)
        fail(&s, rc, "not a [section], a KEY = VALUE line or a comment");
    if (s.msg.empty() && rc < 0) s.msg = std::string(path) + ": out of memory";
    if (s.msg.empty()) return 0;
    *msg = s.msg;
    return -1;
}

int qv2_conf_read(const char *path, qv2_conf *out, std::string *msg) {
    std::unique_ptr<char[]> text(new char[kFileMax]);
    size_t len = 0;
    char why[160];
    if (qv2_secret_file_read(path, false, text.get(), kFileMax, &len, why, sizeof why) != 0) {
        *msg = std::string(path) + ": " + why;
        return -1;
    }
    if (strlen(text.get()) != len) {
        *msg = std::string(path) + ": holds a NUL byte";
        return -1;
    }
    return qv2_conf_parse(path, text.get(), out, msg);
}
