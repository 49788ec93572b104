// The small exports that belong to no other unit, g_out (the one text that
// dirir2i_simulate, dirir2i_stats_json and dirir2i_selftest hand out), and
// the counters as a line of the access log.
#include "frontend/qv2_out.h"

#include "config/qv2_alog.h"
#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "frontend/qv2_front.h"
#include "foundation/qv2_util.h"

#include <cstdlib>

namespace {

// Owned here; valid until the next successful text-returning call. Those
// calls must not overlap (documented in the public header), so no lock.
char *g_out = nullptr;

} // namespace

const char *qv2_out_take(qv2_buf *b) {
    free(g_out);
    g_out = reinterpret_cast<char *>(b->data);
    *b = qv2_buf{};
    return g_out;
}

extern "C" DIRIR2I_API const char *dirir2i_version(void) { return "1.0.1"; }

extern "C" DIRIR2I_API const char *dirir2i_stats_json(void) {
    int port = dirir2i_port();
    int clients = dirir2i_client_count();
    qv2_buf b{};
    qv2_buf_printf(&b, "{\"running\":%s,\"port\":%d,\"clients\":%d", port ? "true" : "false", port,
                   clients);
    for (int i = 0; i < QV2_ST_COUNT; i++)
        qv2_buf_printf(&b, ",\"%s\":%lld", qv2_stat_name(i), (long long)qv2_stat_get(i));
    qv2_buf_str(&b, "}");
    if (b.failed) {
        qv2_buf_free(&b);
        return "{}";
    }
    return qv2_out_take(&b);
}

extern "C" DIRIR2I_API int32_t dirir2i_session_count(void) {
    int64_t diff = qv2_stat_get(QV2_ST_SESSIONS) - qv2_stat_get(QV2_ST_LOGON_FAILED);
    return diff > 0 ? int32_t(diff) : 0;
}

void qv2_stats_log(void) {
    qv2_logline l;
    if (!qv2_alog_begin(&l, "stats")) return;
    int port = dirir2i_port();
    qv2_logline_bool(&l, "running", port != 0);
    qv2_logline_num(&l, "port", port);
    qv2_logline_num(&l, "clients", dirir2i_client_count());
    for (int i = 0; i < QV2_ST_COUNT; i++) qv2_logline_num(&l, qv2_stat_name(i), qv2_stat_get(i));
    qv2_alog_emit(&l);
}
