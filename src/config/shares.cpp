// The share table: named host folders and single files, plus the built-in
// IPC$ that is never stored. Guarded by g_lock; lookups hand out copies.
#include "config/cfg_internal.h"
#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "files/qv2_fs.h"
#include "foundation/qv2_trace.h"
#include "foundation/qv2_util.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

qv2_share g_shares[QV2_MAX_SHARES];
int g_nshares = 0;

constexpr const char *kIpc = "IPC$";

void ipc_record(qv2_share *out) {
    *out = qv2_share{};
    memcpy(out->name, kIpc, strlen(kIpc) + 1);
}

bool valid_share_name(const char *name) {
    size_t len = strlen(name);
    if (len == 0 || len > size_t(QV2_SHARE_NAME_MAX)) return false;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
    for (const char *p = name; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F || c == '/' || c == ':' || c == '\\') return false;
    }
    return true;
}

// Index of the share called `name` (ASCII case ignored), or -1. Caller holds g_lock.
int find_locked(const char *name) {
    for (int i = 0; i < g_nshares; i++)
        if (qv2_casecmp(g_shares[i].name, name) == 0) return i;
    return -1;
}

// IPC$ (the only entry without a host path) first, then by name, case folded.
int share_cmp(const void *a, const void *b) {
    const auto *x = static_cast<const qv2_share *>(a);
    const auto *y = static_cast<const qv2_share *>(b);
    bool xe = x->path[0] == 0, ye = y->path[0] == 0;
    if (xe != ye) return xe ? -1 : 1;
    return qv2_casecmp(x->name, y->name);
}

} // namespace

extern "C" DIRIR2I_API int dirir2i_add_share(const char *name, const char *path) {
    qv2_cfg_trace_init();
    qv2_trace(-1, "cfg", "add_share('%s', '%s')\n", name ? name : "(null)",
                path ? path : "(null)");
    if (!name || !path || !*path) return qv2_fail(DIRIR2I_EARG, "add_share: NULL or empty argument");
    if (!valid_share_name(name)) return qv2_fail(DIRIR2I_EARG, "add_share: invalid share name");
    if (strlen(path) > size_t(QV2_SHARE_PATH_MAX))
        return qv2_fail(DIRIR2I_EARG, "add_share: path too long");
    // Any spelling of IPC$: share names are unique ignoring case, and a stored
    // "ipc$" would be listed yet never reachable behind the built-in one.
    if (qv2_casecmp(name, kIpc) == 0) return qv2_fail(DIRIR2I_EEXIST, "add_share: IPC$ is built in");

    qv2_share entry{};
    qv2_fs_info info;
    if (qv2_fs_realpath(path, entry.path, QV2_SHARE_PATH_MAX + 1) != 0 ||
        qv2_fs_stat(entry.path, &info) != 0)
        return qv2_fail(DIRIR2I_ENOENT, "add_share: %.200s does not exist", path);
    if (info.kind != QV2_FS_DIR && info.kind != QV2_FS_FILE)
        return qv2_fail(DIRIR2I_EARG, "add_share: %.200s is neither a folder nor a regular file", path);
    memcpy(entry.name, name, strlen(name) + 1);
    entry.is_file = info.kind == QV2_FS_FILE ? 1 : 0;

    int count;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (find_locked(name) >= 0) return qv2_fail(DIRIR2I_EEXIST, "add_share: %s exists", name);
        if (g_nshares >= QV2_MAX_SHARES)
            return qv2_fail(DIRIR2I_EFULL, "add_share: %d shares", QV2_MAX_SHARES);
        g_shares[g_nshares++] = entry;
        count = g_nshares;
    }
    qv2_trace(-1, "cfg", "share '%s' -> %s added (nshares=%d)\n", entry.name, entry.path,
                count);
    return 0;
}

extern "C" DIRIR2I_API int dirir2i_remove_share(const char *name) {
    if (!name) return qv2_fail(DIRIR2I_EARG, "remove_share: NULL name");
    if (strcmp(name, kIpc) == 0) return qv2_fail(DIRIR2I_EARG, "remove_share: IPC$ is built in");
    std::lock_guard<std::mutex> guard(g_lock);
    int i = find_locked(name);
    if (i < 0) return qv2_fail(DIRIR2I_ENOENT, "remove_share: no share %.64s", name);
    memmove(&g_shares[i], &g_shares[i + 1], size_t(g_nshares - i - 1) * sizeof(qv2_share));
    g_nshares--;
    g_shares[g_nshares] = qv2_share{};
    return 0;
}

int qv2_share_find(const char *name, qv2_share *out) {
    if (out) *out = qv2_share{};
    if (!name) return -1;
    if (qv2_casecmp(name, kIpc) == 0) {
        if (out) ipc_record(out);
        return 0;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    int i = find_locked(name);
    if (i < 0) return -1;
    if (out) *out = g_shares[i];
    return 0;
}

int qv2_share_list(qv2_share **list, int32_t *count) {
    if (list) *list = nullptr;
    if (count) *count = 0;
    if (!list || !count) return -1;
    qv2_share *all;
    int32_t n;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        n = g_nshares + 1;
        all = static_cast<qv2_share *>(calloc(size_t(n), sizeof(qv2_share)));
        if (!all) return -1;
        ipc_record(&all[0]);
        memcpy(&all[1], g_shares, size_t(g_nshares) * sizeof(qv2_share));
    }
    qsort(all, size_t(n), sizeof(qv2_share), share_cmp);
    *list = all;
    *count = n;
    return 0;
}
