// A whole configuration put in place at once: the tables are staged beside
// the live ones and replaced together under the configuration lock, so that
// a connection never acts on half of a reload.
#include "config/cfg_internal.h"
#include "config/qv2_alog.h"
#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "foundation/qv2_util.h"

namespace {

using stage_hook = int (*)(qv2_stage_step);
const stage_hook kHooks[] = {qv2_shares_stage, qv2_users_stage, qv2_allow_stage, qv2_opts_stage};

// Frees every staged copy; the stage must be closed (g_staging false).
void close_all() {
    for (stage_hook h : kHooks) h(QV2_STAGE_CLOSE);
}

} // namespace

int qv2_cfg_stage_begin(void) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_staging) return qv2_fail(DIRIR2I_ERUNNING, "stage: a staged configuration is open");
    }
    for (stage_hook h : kHooks) {
        if (h(QV2_STAGE_OPEN) != 0) {
            close_all();
            return qv2_fail(DIRIR2I_ESYS, "stage: out of memory");
        }
    }
    std::lock_guard<std::mutex> guard(g_lock);
    g_staging = true;
    return 0;
}

int qv2_cfg_stage_keep_user(const char *name) {
    if (!name) return qv2_fail(DIRIR2I_EARG, "stage: NULL user");
    std::lock_guard<std::mutex> guard(g_lock);
    int rc = qv2_users_keep_locked(name);
    if (rc != 0) return qv2_fail(rc, "stage: no user %.128s to keep", name);
    return 0;
}

int qv2_cfg_stage_commit(void) {
    char log[1025], format[8];
    qv2_opts_staged_log(log, sizeof log, format, sizeof format);
    if (!format[0]) return qv2_fail(DIRIR2I_EARG, "stage: none is open");
    // The log first: it is the one part that can fail, and its failure
    // must leave everything as it was.
    int rc = qv2_alog_set_path(log);
    if (rc != 0) {
        qv2_cfg_stage_abort();
        return rc;
    }
    qv2_alog_set_format(format);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (stage_hook h : kHooks) h(QV2_STAGE_SWAP);
        g_staging = false;
    }
    close_all();
    return 0;
}

void qv2_cfg_stage_abort(void) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (!g_staging) return;
        g_staging = false;
    }
    close_all();
}
