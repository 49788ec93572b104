// Share namespace: turns a share name and a share-relative path into one
// canonical host object inside that share, and a directory into a sorted
// listing. Containment is decided on canonical paths only, after every link
// and every "." or ".." has been resolved by the host.
#include "files/qv2_vfs.h"

#include "config/qv2_cfg.h"
#include "files/qv2_fs.h"
#include "foundation/qv2_util.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kLinkTargetCap = 1025; // a link target's canonical path, terminator included
constexpr int32_t kFirstGrowth = 64;

// Every refusal looks the same to the client: missing, outside the share
// and over-long are not told apart, only where along the path it happened.
int not_found(qv2_vres *out, int32_t missing = QV2_MISSING_PATH) {
    if (out) {
        *out = qv2_vres{};
        out->missing = missing;
    }
    return qv2_fail(DIRIR2I_EARG, "The file cannot be found.");
}

// A refusal because the path led out of the share: counted, and flagged for
// the access log; to the client it looks like any missing name.
int escaped(qv2_vres *out, int32_t missing = QV2_MISSING_PATH) {
    qv2_stat_add(QV2_ST_PATH_REFUSED, 1);
    int rc = not_found(out, missing);
    out->outside = 1;
    return rc;
}

// Is the canonical host path `path` the share's root or below it? A plain
// prefix test is not enough: a root /x/data must not contain /x/data2.
bool inside(const char *path, const qv2_share &share) {
    size_t n = strlen(share.path);
    if (n == 0) return true;
    if (strncmp(path, share.path, n) != 0) return false;
    if (path[n] == 0) return true;
    if (share.is_file) return false; // nothing lies below a file
    char sep = qv2_fs_sep();
    if (share.path[n - 1] == sep) return true; // a root such as "/"
    return path[n] == sep;
}

// Builds the entry for `name` of the open directory `handle`, whose
// canonical path is `dir`. The entry itself is examined relative to the open
// directory (one stat, no path walk); only a link's target is resolved by
// path. Refuses (-1) names the engine can't present, special files, dangling
// links and links whose target lies outside the share. On success the entry
// owns a copy of the name.
int make_entry(const qv2_share &share, qv2_dir *handle, const char *dir, const char *name,
               qv2_vent *out) {
    *out = qv2_vent{};
    size_t name_len = strlen(name);
    size_t dir_len = strlen(dir);
    if (strchr(name, '\r') || strchr(name, '\n')) return -1;
    if (name_len > size_t(QV2_ENTRY_NAME_MAX)) return -1;
    if (name_len + dir_len + 2 > size_t(QV2_HOST_PATH_CAP)) return -1;

    qv2_fs_info self;
    if (qv2_fs_lstatat(handle, name, &self) != 0) return -1;
    const qv2_fs_info *shown = &self;
    qv2_fs_info target;
    if (self.kind == QV2_FS_LINK) {
        char sep = qv2_fs_sep();
        char joined[QV2_HOST_PATH_CAP];
        memcpy(joined, dir, dir_len);
        size_t at = dir_len;
        if (dir_len > 0 && dir[dir_len - 1] != sep) joined[at++] = sep;
        memcpy(joined + at, name, name_len + 1);
        char real[kLinkTargetCap];
        if (qv2_fs_realpath(joined, real, kLinkTargetCap) != 0) return -1;
        if (!inside(real, share)) return -1; // listed paths are not counted as refusals
        if (qv2_fs_stat(real, &target) != 0) return -1;
        if (target.kind != QV2_FS_FILE && target.kind != QV2_FS_DIR) return -1;
        shown = &target;
    } else if (self.kind != QV2_FS_FILE && self.kind != QV2_FS_DIR) {
        return -1;
    }

    char *copy = static_cast<char *>(malloc(name_len + 1));
    if (!copy) return -1;
    memcpy(copy, name, name_len + 1);
    out->name = copy;
    out->kind = self.kind;
    out->target_kind = shown->kind;
    out->size = shown->size;
    out->mtime = shown->mtime;
    out->atime = shown->atime;
    out->crtime = shown->crtime;
    out->dev = self.dev; // a link keeps its own identity
    out->ino = self.ino;
    return 0;
}

// Byte-wise, unsigned, no locale: "B.txt" < "_" < "a.txt".
int vent_cmp(const void *a, const void *b) {
    return strcmp(static_cast<const qv2_vent *>(a)->name, static_cast<const qv2_vent *>(b)->name);
}

// Joins a share root and a share-relative path ('/' between components)
// into out[QV2_HOST_PATH_CAP] with the host's separator. false when it does
// not fit.
bool join(const char *root, const char *path, char sep, char *out) {
    size_t root_len = strlen(root);
    size_t path_len = strlen(path);
    bool add_sep = root_len > 0 && root[root_len - 1] != sep && path_len > 0;
    if (root_len + (add_sep ? 1 : 0) + path_len + 1 > size_t(QV2_HOST_PATH_CAP)) return false;
    memcpy(out, root, root_len);
    size_t at = root_len;
    if (add_sep) out[at++] = sep;
    for (size_t i = 0; i <= path_len; i++)
        out[at + i] = path[i] == '/' ? sep : path[i];
    return true;
}

// The entry of the folder `dir` (canonical) whose name equals `want`
// ignoring case, into out[cap]; the first in byte order when several do.
// The entries come from the folder itself, so the match is a plain name
// inside it. false when there is none.
bool match_case(const char *dir, const char *want, char *out, size_t cap) {
    qv2_dir *d = qv2_fs_opendir_nofollow(dir);
    if (!d) return false;
    bool found = false;
    while (const char *name = qv2_fs_readdir(d)) {
        if (!qv2_name_caseeq(name, want) || strlen(name) >= cap) continue;
        if (found && strcmp(name, out) >= 0) continue;
        strcpy(out, name);
        found = true;
    }
    qv2_fs_closedir(d);
    return found;
}

// Resolves `path` in a folder share one component at a time, from the
// share's canonical root: an exact entry first, else the entry that differs
// only in case. Each step is canonicalised (links followed) and must stay
// inside the share and be a file or folder. "." and ".." are taken as the
// host takes them (clients can't send them; qv2_vpath refuses them). Fills
// out->rel with the names as found.
int walk(const char *path, qv2_vres *out) {
    const qv2_share share = out->share;
    char sep = qv2_fs_sep();
    char cur[QV2_HOST_PATH_CAP];
    qv2_fs_info info;
    if (qv2_fs_realpath(share.path, cur, QV2_HOST_PATH_CAP) != 0) return not_found(out);
    if (!inside(cur, share)) return escaped(out);
    if (qv2_fs_stat(cur, &info) != 0 || info.kind != QV2_FS_DIR) return not_found(out);

    char rel[QV2_REL_PATH_CAP] = "";
    size_t rel_len = 0;
    const char *p = path;
    while (*p) {
        size_t len = strcspn(p, "/");
        const char *rest = p[len] ? p + len + 1 : p + len;
        int32_t missing = *rest ? QV2_MISSING_PATH : QV2_MISSING_LEAF;
        if (info.kind != QV2_FS_DIR) return not_found(out); // a file where a folder should be
        char comp[QV2_ENTRY_NAME_MAX + 1];
        if (len == 0 || len > size_t(QV2_ENTRY_NAME_MAX)) return not_found(out, missing);
        memcpy(comp, p, len);
        comp[len] = 0;
        p = rest;
        bool dot = strcmp(comp, ".") == 0, dotdot = strcmp(comp, "..") == 0;
        if (dot) continue;

        char cand[QV2_HOST_PATH_CAP];
        qv2_fs_info self;
        if (!join(cur, comp, sep, cand)) return not_found(out, missing);
        if (!dotdot && qv2_fs_lstat(cand, &self) != 0) {
            char found[QV2_ENTRY_NAME_MAX + 1];
            if (!match_case(cur, comp, found, sizeof found)) return not_found(out, missing);
            strcpy(comp, found);
            if (!join(cur, comp, sep, cand)) return not_found(out, missing);
        }
        char next[QV2_HOST_PATH_CAP];
        if (qv2_fs_realpath(cand, next, QV2_HOST_PATH_CAP) != 0) return not_found(out, missing);
        if (!inside(next, share)) return escaped(out, missing);
        if (qv2_fs_stat(next, &info) != 0 || (info.kind != QV2_FS_DIR && info.kind != QV2_FS_FILE))
            return not_found(out, missing); // devices, FIFOs, sockets are never served

        if (dotdot) {
            while (rel_len > 0 && rel[rel_len - 1] != '/')
                rel_len--;
            if (rel_len > 0) rel_len--;
        } else {
            size_t n = strlen(comp);
            if (rel_len + (rel_len ? 1 : 0) + n >= sizeof rel) return not_found(out, missing);
            if (rel_len) rel[rel_len++] = '/';
            memcpy(rel + rel_len, comp, n);
            rel_len += n;
        }
        rel[rel_len] = 0;
        strcpy(cur, next);
    }
    strcpy(out->host, cur);
    strcpy(out->rel, rel);
    out->info = info;
    out->kind = info.kind == QV2_FS_DIR ? QV2_V_DIR : QV2_V_FILE;
    return 0;
}

} // namespace

int qv2_vfs_resolve(const char *share_name, const char *path, qv2_vres *out) {
    if (!out) return not_found(nullptr);
    *out = qv2_vres{};
    if (!share_name || qv2_share_find(share_name, &out->share) != 0) return not_found(out);
    if (!path) path = "";
    const qv2_share &share = out->share;

    if (share.path[0] == 0) { // IPC$: no host object behind it
        out->kind = QV2_V_PIPE;
        return 0;
    }

    if (share.is_file) {
        if (path[0] != 0) return not_found(out); // nothing lies below a file
        strcpy(out->host, share.path);           // both areas hold a share path
        if (qv2_fs_stat(out->host, &out->info) != 0) return not_found(out);
        out->kind = QV2_V_FILE;
        return 0;
    }

    // The exact name first: one canonicalisation and one stat.
    char sep = qv2_fs_sep();
    char joined[QV2_HOST_PATH_CAP];
    if (join(share.path, path, sep, joined) && strlen(path) < size_t(QV2_REL_PATH_CAP) &&
        qv2_fs_realpath(joined, out->host, QV2_HOST_PATH_CAP) == 0 && inside(out->host, share) &&
        qv2_fs_stat(out->host, &out->info) == 0 &&
        (out->info.kind == QV2_FS_DIR || out->info.kind == QV2_FS_FILE)) {
        out->kind = out->info.kind == QV2_FS_DIR ? QV2_V_DIR : QV2_V_FILE;
        strcpy(out->rel, path);
        return 0;
    }
    // Otherwise one component at a time, to find a name that differs only in
    // case, or else to say which component is missing. Every step is
    // canonicalised and tested against the share on its own.
    return walk(path, out);
}

int qv2_vfs_list(const qv2_vres *res, qv2_vent **entries, int32_t *count) {
    if (entries) *entries = nullptr;
    if (count) *count = 0;
    if (!entries || !count || !res) return not_found(nullptr);
    if (res->kind != QV2_V_DIR) return qv2_fail(DIRIR2I_EARG, "Not a directory.");
    // The open handle's canonical path holds no link; one swapped in since
    // (a folder replaced by a link to elsewhere) must not be listed.
    qv2_dir *dir = qv2_fs_opendir_nofollow(res->host);
    if (!dir) return not_found(nullptr);

    qv2_vent *list = nullptr;
    int32_t n = 0, cap = 0;
    while (const char *name = qv2_fs_readdir(dir)) {
        if (n >= QV2_LISTING_MAX) break; // the rest of a huge directory is left out
        if (n == cap) {
            // Growth never goes past the listing limit, so the array is never
            // larger than what can be kept.
            int32_t want = cap == 0 ? kFirstGrowth : cap * 2;
            if (want > QV2_LISTING_MAX) want = QV2_LISTING_MAX;
            void *grown = realloc(list, size_t(want) * sizeof(qv2_vent));
            if (!grown) break; // keep what was gathered
            list = static_cast<qv2_vent *>(grown);
            cap = want;
        }
        if (make_entry(res->share, dir, res->host, name, &list[n]) == 0) n++;
    }
    qv2_fs_closedir(dir);
    if (n >= 2) qsort(list, size_t(n), sizeof(qv2_vent), vent_cmp);
    *entries = list;
    *count = n;
    return 0;
}

void qv2_vfs_free(qv2_vent *entries, int32_t count) {
    if (!entries) return;
    for (int32_t i = 0; i < count; i++) free(entries[i].name);
    free(entries);
}
