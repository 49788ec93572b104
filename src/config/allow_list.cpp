// The client allow-list: address ranges that may connect. Loopback is always
// admitted; an empty list admits nobody else. Entries can't be removed, but
// a reload puts a whole new list in place. Guarded by g_lock.
#include "config/cfg_internal.h"
#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "foundation/qv2_util.h"

namespace {

struct cidr_table {
    qv2_cidr cidrs[QV2_MAX_CIDRS];
    int n;
};

cidr_table g_live;
cidr_table *g_staged = nullptr; // while a stage is open

} // namespace

extern "C" DIRIR2I_API int dirir2i_allow_cidr(const char *cidr) {
    if (!cidr || !*cidr) return qv2_fail(DIRIR2I_EARG, "allow_cidr: empty CIDR");
    qv2_cidr entry;
    if (qv2_cidr_parse(cidr, &entry) != 0)
        return qv2_fail(DIRIR2I_EARG, "allow_cidr: %.64s is not a CIDR", cidr);
    std::lock_guard<std::mutex> guard(g_lock);
    cidr_table &t = g_staging ? *g_staged : g_live;
    // Entries are stored with host bits cleared, so 10.0.0.5/8 is a duplicate
    // of 10.0.0.0/8; a duplicate succeeds even on a full list.
    for (int i = 0; i < t.n; i++)
        if (t.cidrs[i].prefix == entry.prefix && qv2_ip_equal(&t.cidrs[i].ip, &entry.ip)) return 0;
    if (t.n >= QV2_MAX_CIDRS)
        return qv2_fail(DIRIR2I_EFULL, "allow_cidr: %d CIDRs", QV2_MAX_CIDRS);
    t.cidrs[t.n++] = entry;
    return 0;
}

int qv2_client_allowed(const qv2_ip *ip) {
    if (!ip) return 0;
    if (qv2_ip_is_loopback(ip)) return 1;
    std::lock_guard<std::mutex> guard(g_lock);
    for (int i = 0; i < g_live.n; i++)
        if (qv2_cidr_match(&g_live.cidrs[i], ip)) return 1;
    return 0;
}

int qv2_allow_stage(qv2_stage_step step) {
    return qv2_stage_table(step, g_live, g_staged);
}
