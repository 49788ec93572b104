// Opens and bytes read per share, for the metrics file: a small table keyed
// by share name, beside the process-wide counters and under the same lock.
#include "config/cfg_internal.h"
#include "config/qv2_cfg.h"
#include "foundation/qv2_util.h"

#include <cstdlib>
#include <cstring>

namespace {

qv2_share_stat g_counts[QV2_SHARE_STATS_MAX];
int g_ncounts = 0;

// Index of `name` (ASCII case ignored, as shares are found), or -1. Caller
// holds g_lock.
int find_locked(const char *name) {
    for (int i = 0; i < g_ncounts; i++)
        if (qv2_casecmp(g_counts[i].name, name) == 0) return i;
    return -1;
}

} // namespace

void qv2_share_stat_add(const char *share, int64_t opens, int64_t bytes_read) {
    if (!share || !*share || strlen(share) > size_t(QV2_SHARE_NAME_MAX)) return;
    std::lock_guard<std::mutex> guard(g_lock);
    int i = find_locked(share);
    if (i < 0) {
        // Names come from the share table, but shares may come and go for
        // as long as the process runs: the table is bounded all the same.
        if (g_ncounts >= QV2_SHARE_STATS_MAX) return;
        i = g_ncounts++;
        g_counts[i] = qv2_share_stat{};
        memcpy(g_counts[i].name, share, strlen(share) + 1);
    }
    g_counts[i].opens += opens;
    g_counts[i].bytes_read += bytes_read;
}

int qv2_share_stats(qv2_share_stat **list, int32_t *count) {
    *list = nullptr;
    *count = 0;
    qv2_share *shares = nullptr;
    int32_t nshares = 0;
    if (qv2_share_list(&shares, &nshares) != 0) return -1;
    std::lock_guard<std::mutex> guard(g_lock);
    auto *out = static_cast<qv2_share_stat *>(
        calloc(size_t(nshares) + size_t(g_ncounts), sizeof(qv2_share_stat)));
    if (!out) {
        free(shares);
        return -1;
    }
    bool *taken = static_cast<bool *>(calloc(size_t(g_ncounts) + 1, sizeof(bool)));
    if (!taken) {
        free(out);
        free(shares);
        return -1;
    }
    int32_t n = 0;
    for (int32_t k = 0; k < nshares; k++, n++) {
        memcpy(out[n].name, shares[k].name, sizeof out[n].name);
        int i = find_locked(shares[k].name);
        if (i < 0) continue;
        taken[i] = true;
        out[n].opens = g_counts[i].opens;
        out[n].bytes_read = g_counts[i].bytes_read;
    }
    for (int i = 0; i < g_ncounts; i++)
        if (!taken[i]) out[n++] = g_counts[i];
    free(taken);
    free(shares);
    *list = out;
    *count = n;
    return 0;
}
