// The process-wide counters of what the server did and refused.
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
    "srvsvc_queries",   "path_refused",    "grants",          "breaks_sent",
    "breaks_acked",     "notifies_completed",
};

// What each counter counts, for metrics readers; a counter added without
// one gets a line naming it.
const char *const kHelp[QV2_ST_COUNT] = {
    "Client connections open now",
    "Connections refused: the client is not on the allow-list",
    "Connections refused: max_clients connections were open",
    "NEGOTIATE requests answered",
    "Sessions set up (user and guest)",
    "Guest sessions set up",
    "Logons refused",
    "Tree connects live now",
    "TREE_CONNECTs refused (no session, no such share, access, limit)",
    "Files, folders and pipes opened",
    "CREATEs refused",
    "READs answered with data",
    "Bytes of replies sent",
    "Directory listings sent",
    "Requests refused because they would change something",
    "IOCTLs refused",
    "Messages refused for a bad signature",
    "Malformed messages",
    "Connections dropped after a time-out",
    "Sessions on which signing is required",
    "Share lists given over srvsvc",
    "Names refused because they lead out of a share",
    "Opens given a lease or an oplock",
    "Oplock and lease break notifications sent",
    "Break acknowledgments accepted",
    "CHANGE_NOTIFY requests answered with changes or NOTIFY_ENUM_DIR",
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

bool qv2_stat_is_gauge(int index) { return index == QV2_ST_CONNECTIONS || index == QV2_ST_TREES; }

const char *qv2_stat_help(int index) {
    if (!valid(index)) return nullptr;
    return kHelp[index] ? kHelp[index] : "A counter of dirir2i_stats_json";
}
