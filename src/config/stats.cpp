// The 22 process-wide counters of what the server did and refused.
#include "config/cfg_internal.h"
#include "config/qv2_cfg.h"

namespace {

int64_t g_stats[QV2_ST_COUNT];

// Index order is the order of the JSON text.
const char *const kNames[QV2_ST_COUNT] = {
    "connections",      "refused_allow",   "refused_full",    "negotiate",
    "sessions",         "guest_sessions",  "logon_failed",    "trees",
    "tree_refused",     "opens",           "open_refused",    "reads",
    "bytes_sent",       "listings_sent",   "mutating_refused", "ioctl_refused",
    "bad_signature",    "protocol_errors", "timeouts",        "sign_required_sessions",
    "srvsvc_queries",   "path_refused",
};

bool valid(int index) { return index >= 0 && index < QV2_ST_COUNT; }

} // namespace

void qv2_stat_add(int index, int64_t delta) {
    if (!valid(index)) return;
    std::lock_guard<std::mutex> guard(g_lock);
    g_stats[index] += delta;
}

int64_t qv2_stat_get(int index) {
    if (!valid(index)) return 0;
    std::lock_guard<std::mutex> guard(g_lock);
    return g_stats[index];
}

const char *qv2_stat_name(int index) { return valid(index) ? kNames[index] : nullptr; }
