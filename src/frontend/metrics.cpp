// The counters in the Prometheus text exposition format (version 0.0.4),
// for node_exporter's textfile collector: the counter table as
// dirir2i_stats_json has it, the two gauges of the listener, and opens and
// bytes read per share.
#include "frontend/qv2_front.h"

#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "foundation/qv2_util.h"

#include <cstdlib>

namespace {

void family(qv2_buf *b, const char *name, const char *type, const char *help) {
    qv2_buf_printf(b, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// A metric name from a counter's name: [a-zA-Z0-9_] kept, anything else '_'.
void put_name(qv2_buf *b, const char *prefix, const char *name, const char *suffix) {
    qv2_buf_str(b, prefix);
    for (const char *p = name; *p; p++) {
        char c = *p;
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        qv2_buf_byte(b, ok ? c : '_');
    }
    qv2_buf_str(b, suffix);
}

// A label value: backslash, double quote and line feed escaped; a name
// that is no UTF-8 has its bytes above 0x7F replaced by '?', since the
// format carries UTF-8 only.
void put_label(qv2_buf *b, const char *value) {
    uint8_t units[2 * (QV2_SHARE_NAME_MAX + 1)];
    int32_t len = 0;
    bool utf8 = qv2_utf8_to_utf16le(value, units, int32_t(sizeof units), &len) == 0;
    for (const char *p = value; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\\') qv2_buf_str(b, "\\\\");
        else if (c == '"') qv2_buf_str(b, "\\\"");
        else if (c == '\n') qv2_buf_str(b, "\\n");
        else qv2_buf_byte(b, c >= 0x80 && !utf8 ? '?' : c);
    }
}

void per_share(qv2_buf *b, const qv2_share_stat *s, int32_t n, bool bytes) {
    const char *name = bytes ? "dirir2i_share_read_bytes_total" : "dirir2i_share_opens_total";
    family(b, name, "counter",
           bytes ? "Bytes of file data read, per share" : "Successful opens (CREATE), per share");
    for (int32_t i = 0; i < n; i++) {
        qv2_buf_printf(b, "%s{share=\"", name);
        put_label(b, s[i].name);
        qv2_buf_printf(b, "\"} %lld\n", (long long)(bytes ? s[i].bytes_read : s[i].opens));
    }
}

} // namespace

void qv2_metrics_text(qv2_buf *b) {
    family(b, "dirir2i_running", "gauge", "1 while the server is listening");
    qv2_buf_printf(b, "dirir2i_running %d\n", dirir2i_port() != 0 ? 1 : 0);
    family(b, "dirir2i_clients", "gauge", "Client connections the listener holds now");
    qv2_buf_printf(b, "dirir2i_clients %d\n", int(dirir2i_client_count()));
    for (int i = 0; qv2_stat_name(i); i++) {
        bool gauge = qv2_stat_is_gauge(i);
        qv2_buf name{};
        put_name(&name, "dirir2i_", qv2_stat_name(i), gauge ? "" : "_total");
        qv2_buf_byte(&name, 0);
        if (name.failed) {
            b->failed = 1;
            qv2_buf_free(&name);
            return;
        }
        const char *text = reinterpret_cast<const char *>(name.data);
        family(b, text, gauge ? "gauge" : "counter", qv2_stat_help(i));
        qv2_buf_printf(b, "%s %lld\n", text, (long long)qv2_stat_get(i));
        qv2_buf_free(&name);
    }
    qv2_share_stat *s = nullptr;
    int32_t n = 0;
    if (qv2_share_stats(&s, &n) != 0) {
        b->failed = 1;
        return;
    }
    per_share(b, s, n, false);
    per_share(b, s, n, true);
    free(s);
}
