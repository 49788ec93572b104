// The access log's state: where lines go, in which format, and the one lock
// that keeps lines whole while the destination changes under them.
#include "config/qv2_alog.h"

#include "files/qv2_logfile.h"
#include "foundation/qv2_util.h"
#include "platform/qv2_platform.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

constexpr size_t kPathMax = 1024;

// g_file changes only under g_log_lock, and lines are written under it, so
// a reopen never cuts a line. g_on and g_format are read without the lock
// by every event: a line begun just before the log is turned off is dropped.
std::mutex g_log_lock;
qv2_logfile *g_file = nullptr;
std::atomic<int> g_on{0};
std::atomic<int32_t> g_format{QV2_LOG_LOGFMT};
std::atomic<uint64_t> g_conn_seq{0};

} // namespace

int qv2_alog_set_path(const char *value) {
    if (value[0] == 0 || strcmp(value, "off") == 0) {
        std::lock_guard<std::mutex> guard(g_log_lock);
        g_on = 0;
        qv2_logfile_close(g_file);
        g_file = nullptr;
        return 0;
    }
    if (strlen(value) > kPathMax) return qv2_fail(DIRIR2I_EARG, "log: path longer than %d bytes", int(kPathMax));
    // The new file opens before the old one closes, so a failed reopen
    // keeps the log that was working.
    char why[128];
    qv2_logfile *f = qv2_logfile_open(value, why, sizeof why);
    if (!f) return qv2_fail(DIRIR2I_ESYS, "log: cannot open %.200s: %s", value, why);
    std::lock_guard<std::mutex> guard(g_log_lock);
    qv2_logfile_close(g_file);
    g_file = f;
    g_on = 1;
    return 0;
}

int qv2_alog_set_format(const char *value) {
    if (strcmp(value, "logfmt") == 0) g_format = QV2_LOG_LOGFMT;
    else if (strcmp(value, "json") == 0) g_format = QV2_LOG_JSON;
    else return qv2_fail(DIRIR2I_EARG, "log_format: logfmt or json");
    return 0;
}

bool qv2_alog_begin(qv2_logline *l, const char *event) {
    if (!g_on) return false;
    qv2_logline_begin(l, g_format, qv2_unix_now_ms(), event);
    return true;
}

void qv2_alog_emit(qv2_logline *l) {
    qv2_logline_end(l);
    if (!l->buf.failed) {
        std::lock_guard<std::mutex> guard(g_log_lock);
        if (g_file) qv2_logfile_write(g_file, reinterpret_cast<const char *>(l->buf.data), l->buf.len);
    }
    qv2_buf_free(&l->buf);
}

uint64_t qv2_alog_next_conn(void) { return ++g_conn_seq; }

void qv2_alog_refused(const qv2_ip *peer, const char *reason) {
    qv2_logline l;
    if (!qv2_alog_begin(&l, "accept")) return;
    char text[64];
    qv2_ip_format(peer, text, sizeof text);
    qv2_logline_str(&l, "client", text);
    qv2_logline_str(&l, "result", "refused");
    qv2_logline_str(&l, "reason", reason);
    qv2_alog_emit(&l);
}

void qv2_alog_server(const char *event, const char *bind, int port) {
    qv2_logline l;
    if (!qv2_alog_begin(&l, event)) return;
    if (bind) qv2_logline_str(&l, "bind", bind);
    qv2_logline_num(&l, "port", port);
    qv2_alog_emit(&l);
}
