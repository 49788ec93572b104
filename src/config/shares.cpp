// The share table: named host folders and single files with their access
// rules, plus the built-in IPC$ that is never stored. Guarded by g_lock;
// lookups hand out copies.
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

struct share_slot {
    qv2_share share;
    qv2_share_rules rules;
};

struct share_table {
    share_slot slots[QV2_MAX_SHARES];
    int n;
};

share_table g_live;
share_table *g_staged = nullptr; // while a stage is open

// The table the setters change: the staged one while a stage is open.
// Caller holds g_lock.
share_table &target() { return g_staging ? *g_staged : g_live; }

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
int find_locked(const share_table &t, const char *name) {
    for (int i = 0; i < t.n; i++)
        if (qv2_casecmp(t.slots[i].share.name, name) == 0) return i;
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

// The canonical host path of a folder or regular file into entry->path, and
// is_file. 0, or a code with the message (prefixed by `op`).
int resolve_target(const char *op, const char *path, qv2_share *entry) {
    if (strlen(path) > size_t(QV2_SHARE_PATH_MAX)) return qv2_fail(DIRIR2I_EARG, "%s: path too long", op);
    qv2_fs_info info;
    if (qv2_fs_realpath(path, entry->path, QV2_SHARE_PATH_MAX + 1) != 0 ||
        qv2_fs_stat(entry->path, &info) != 0)
        return qv2_fail(DIRIR2I_ENOENT, "%s: %.200s does not exist", op, path);
    if (info.kind != QV2_FS_DIR && info.kind != QV2_FS_FILE)
        return qv2_fail(DIRIR2I_EARG, "%s: %.200s is neither a folder nor a regular file", op, path);
    entry->is_file = info.kind == QV2_FS_FILE ? 1 : 0;
    return 0;
}

// A copy of the whole list, IPC$ first, with the shares `keep` accepts.
template <typename Keep> int list_copy(qv2_share **list, int32_t *count, Keep keep) {
    if (list) *list = nullptr;
    if (count) *count = 0;
    if (!list || !count) return -1;
    qv2_share *all;
    int32_t n = 1;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        all = static_cast<qv2_share *>(calloc(size_t(g_live.n) + 1, sizeof(qv2_share)));
        if (!all) return -1;
        ipc_record(&all[0]);
        for (int i = 0; i < g_live.n; i++)
            if (keep(g_live.slots[i])) all[n++] = g_live.slots[i].share;
    }
    qsort(all, size_t(n), sizeof(qv2_share), share_cmp);
    *list = all;
    *count = n;
    return 0;
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

    share_slot entry{};
    int rc = resolve_target("add_share", path, &entry.share);
    if (rc != 0) return rc;
    memcpy(entry.share.name, name, strlen(name) + 1);

    int count;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        share_table &t = target();
        if (find_locked(t, name) >= 0) return qv2_fail(DIRIR2I_EEXIST, "add_share: %s exists", name);
        if (t.n >= QV2_MAX_SHARES)
            return qv2_fail(DIRIR2I_EFULL, "add_share: %d shares", QV2_MAX_SHARES);
        t.slots[t.n++] = entry;
        count = t.n;
    }
    qv2_trace(-1, "cfg", "share '%s' -> %s added (nshares=%d)\n", entry.share.name,
              entry.share.path, count);
    return 0;
}

extern "C" DIRIR2I_API int dirir2i_remove_share(const char *name) {
    if (!name) return qv2_fail(DIRIR2I_EARG, "remove_share: NULL name");
    if (strcmp(name, kIpc) == 0) return qv2_fail(DIRIR2I_EARG, "remove_share: IPC$ is built in");
    std::lock_guard<std::mutex> guard(g_lock);
    share_table &t = target();
    int i = find_locked(t, name);
    if (i < 0) return qv2_fail(DIRIR2I_ENOENT, "remove_share: no share %.64s", name);
    memmove(&t.slots[i], &t.slots[i + 1], size_t(t.n - i - 1) * sizeof(share_slot));
    t.n--;
    t.slots[t.n] = share_slot{};
    return 0;
}

int qv2_share_set_option(const char *rest, const char *value) {
    // rest is "NAME.KEY"; a share name may hold dots, a key never does.
    const char *dot = strrchr(rest, '.');
    if (!dot || dot == rest || size_t(dot - rest) > size_t(QV2_SHARE_NAME_MAX))
        return qv2_fail(DIRIR2I_EARG, "unknown option share.%.100s (share.NAME.KEY)", rest);
    char name[QV2_SHARE_NAME_MAX + 1];
    memcpy(name, rest, size_t(dot - rest));
    name[dot - rest] = 0;
    const char *attr = dot + 1;
    qv2_share moved{};
    bool is_path = strcmp(attr, "path") == 0;
    if (is_path) {
        char op[QV2_SHARE_NAME_MAX + 16];
        snprintf(op, sizeof op, "share.%s.path", name);
        if (!*value) return qv2_fail(DIRIR2I_EARG, "%s: empty path", op);
        int rc = resolve_target(op, value, &moved);
        if (rc != 0) return rc;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    share_table &t = target();
    int i = find_locked(t, name);
    if (i < 0) return qv2_fail(DIRIR2I_ENOENT, "share.%s.%.64s: no share %s", name, attr, name);
    if (is_path) {
        memcpy(t.slots[i].share.path, moved.path, sizeof moved.path);
        t.slots[i].share.is_file = moved.is_file;
        return 0;
    }
    qv2_share_rules rules = t.slots[i].rules;
    int rc = qv2_rules_set(&rules, t.slots[i].share.name, attr, value);
    if (rc == 0) t.slots[i].rules = rules;
    return rc;
}

namespace {

// The live share `name` into `out`; with `check`, only if its rules admit
// `user` (or a guest).
int find_share(const char *name, bool check, const char *user, int guest, qv2_share *out) {
    if (out) *out = qv2_share{};
    if (!name) return -1;
    if (qv2_casecmp(name, kIpc) == 0) {
        if (out) ipc_record(out);
        return 0;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    int i = find_locked(g_live, name);
    if (i < 0) return -1;
    if (check && !qv2_rules_admit(&g_live.slots[i].rules, user, guest)) return QV2_SHARE_REFUSED;
    if (out) {
        *out = g_live.slots[i].share;
        out->encryption = g_live.slots[i].rules.encryption;
    }
    return 0;
}

} // namespace

int qv2_share_find(const char *name, qv2_share *out) {
    return find_share(name, false, nullptr, 0, out);
}

int qv2_share_find_for(const char *name, const char *user, int guest, qv2_share *out) {
    return find_share(name, true, user, guest, out);
}

int qv2_share_list(qv2_share **list, int32_t *count) {
    return list_copy(list, count, [](const share_slot &) { return true; });
}

int qv2_share_list_for(const char *user, int guest, qv2_share **list, int32_t *count) {
    return list_copy(list, count, [&](const share_slot &s) {
        return !s.rules.hidden && qv2_rules_admit(&s.rules, user, guest);
    });
}

int qv2_shares_stage(qv2_stage_step step) {
    return qv2_stage_table(step, g_live, g_staged);
}
