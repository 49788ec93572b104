// The hub between the host watcher's thread and the connection threads:
// which connection watches which host object, what changed since it last
// asked, and the wake-up that tells it so. See qv2_hub.h for who may touch
// what.
//
// One lock guards every box, subscription and watch. The watcher thread
// holds it while it sorts a batch of events (and may add the watches of a
// folder created inside a watched tree); connection threads hold it while
// they subscribe, unsubscribe or take what is waiting. A second lock only
// serialises starting and stopping the watcher thread, which is never
// joined while the first is held.
#include "engine/qv2_hub.h"

#include "config/qv2_alog.h"
#include "files/qv2_fs.h"
#include "files/qv2_watch.h"
#include "foundation/qv2_util.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

struct hub_node;

// One host object the kernel watches for us, with every subscription that
// looks at it. Heap records, so that pointers survive the array's growth.
struct hub_watch {
    int32_t wd;
    int32_t refs;
    hub_node *nodes;
};

// One subscription's view of one watched object: a file, a folder, or a
// folder below a watched tree (`rel`, '/' between components, "" at the top).
struct hub_node {
    qv2_hub_sub *sub;
    hub_watch *watch;
    char *rel;
    hub_node *next_in_watch;
    hub_node *next_in_sub;
};

} // namespace

struct qv2_hub_sub {
    qv2_hub_box *box;
    bool folder;
    bool tree;
    uint32_t filter;
    bool changed; // a file's: it changed
    bool lost;    // a folder's: records lost, or its watches no longer match the tree
    int32_t nrec;
    uint64_t last_rec; // offset of the last record in `rec`
    qv2_buf rec;       // FILE_NOTIFY_INFORMATION records, each 4-byte aligned
    char *root;        // host path of the watched object
    hub_node *nodes;
    qv2_hub_sub *next;
};

struct qv2_hub_box {
    void (*wake)(void *);
    void *user;
    std::atomic<int> news;
    qv2_hub_sub *subs;
    int32_t watches; // nodes of its subscriptions
    uint64_t bytes;  // record bytes its subscriptions hold
    qv2_hub_box *next;
};

namespace {

// MS-FSCC 2.7.1 CompletionFilter bits, and the actions of 2.4.42.
enum : uint32_t {
    CHANGE_FILE_NAME = 0x001,
    CHANGE_DIR_NAME = 0x002,
    CHANGE_ATTRIBUTES = 0x004,
    CHANGE_SIZE = 0x008,
    CHANGE_LAST_WRITE = 0x010,
    CHANGE_LAST_ACCESS = 0x020,
    CHANGE_CREATION = 0x040,
    CHANGE_EA = 0x080,
    CHANGE_SECURITY = 0x100,
    // What an attribute change on the host (mode, owner, times, links) may be.
    CHANGE_ATTRIB_ANY = CHANGE_ATTRIBUTES | CHANGE_LAST_WRITE | CHANGE_LAST_ACCESS |
                        CHANGE_CREATION | CHANGE_EA | CHANGE_SECURITY,

    ACTION_ADDED = 1,
    ACTION_REMOVED = 2,
    ACTION_MODIFIED = 3,
    ACTION_RENAMED_OLD = 4,
    ACTION_RENAMED_NEW = 5,

    RECORD_FIXED = 12, // NextEntryOffset, Action, FileNameLength
    NAME_UTF8_CAP = QV2_REL_PATH_CAP + QV2_ENTRY_NAME_MAX + 2,
    NAME_UTF16_CAP = 2 * NAME_UTF8_CAP,
};

struct hub_state {
    std::mutex lock;
    std::mutex life;               // starting and stopping the watcher thread
    int started = 0;               // the watcher thread runs (changed under both locks)
    hub_watch **watches = nullptr; // sorted by wd
    int32_t nwatch = 0;
    int32_t capwatch = 0;
    qv2_hub_box *boxes = nullptr;
    int32_t nbox = 0;
    // Shares already named in the log as unwatchable (FNV-1a of the name).
    uint64_t told[QV2_MAX_SHARES + 1] = {};
    int32_t ntold = 0;
};

hub_state g;

void sink(void *, const qv2_watch_event *events, int32_t n);

// ---- the watch table (under g.lock) ----

int32_t watch_pos(int32_t wd) {
    int32_t lo = 0, hi = g.nwatch;
    while (lo < hi) {
        int32_t mid = lo + (hi - lo) / 2;
        if (g.watches[mid]->wd < wd)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

hub_watch *watch_find(int32_t wd) {
    int32_t at = watch_pos(wd);
    return at < g.nwatch && g.watches[at]->wd == wd ? g.watches[at] : nullptr;
}

// The record of wd, made when missing. Null without memory.
hub_watch *watch_get(int32_t wd) {
    int32_t at = watch_pos(wd);
    if (at < g.nwatch && g.watches[at]->wd == wd) return g.watches[at];
    if (g.nwatch == g.capwatch) {
        int32_t cap = g.capwatch ? g.capwatch * 2 : 64;
        auto **grown =
            static_cast<hub_watch **>(realloc(g.watches, size_t(cap) * sizeof(hub_watch *)));
        if (!grown) return nullptr;
        g.watches = grown;
        g.capwatch = cap;
    }
    auto *w = static_cast<hub_watch *>(calloc(1, sizeof(hub_watch)));
    if (!w) return nullptr;
    w->wd = wd;
    memmove(g.watches + at + 1, g.watches + at, size_t(g.nwatch - at) * sizeof *g.watches);
    g.watches[at] = w;
    g.nwatch++;
    return w;
}

// Takes a watch out of the table; `kernel_ended` when the kernel has ended
// it already (nothing to remove there).
void watch_drop(hub_watch *w, bool kernel_ended) {
    int32_t at = watch_pos(w->wd);
    if (at < g.nwatch && g.watches[at] == w) {
        memmove(g.watches + at, g.watches + at + 1, size_t(g.nwatch - at - 1) * sizeof *g.watches);
        g.nwatch--;
    }
    if (!kernel_ended) qv2_watch_remove(w->wd);
    free(w);
}

// ---- nodes ----

void node_free(hub_node *n, bool kernel_ended) {
    hub_watch *w = n->watch;
    for (hub_node **link = &w->nodes; *link; link = &(*link)->next_in_watch) {
        if (*link == n) {
            *link = n->next_in_watch;
            break;
        }
    }
    qv2_hub_sub *s = n->sub;
    for (hub_node **link = &s->nodes; *link; link = &(*link)->next_in_sub) {
        if (*link == n) {
            *link = n->next_in_sub;
            break;
        }
    }
    s->box->watches--;
    free(n->rel);
    free(n);
    if (--w->refs == 0 && !kernel_ended) watch_drop(w, false);
}

// Watches `path` for s as `rel`. QV2_HUB_OK, or why not.
qv2_hub_result node_add(qv2_hub_sub *s, const char *path, const char *rel) {
    if (s->box->watches >= QV2_HUB_CONN_WATCHES_MAX) return QV2_HUB_LIMIT;
    int32_t wd;
    if (qv2_watch_add(path, s->folder ? 1 : 0, &wd) != 0) return QV2_HUB_MISSING;
    hub_watch *w = watch_find(wd);
    bool fresh = !w;
    if (fresh && g.nwatch >= QV2_HUB_WATCHES_MAX) {
        qv2_watch_remove(wd);
        return QV2_HUB_LIMIT;
    }
    if (fresh) w = watch_get(wd);
    auto *n = static_cast<hub_node *>(calloc(1, sizeof(hub_node)));
    char *r = strdup(rel);
    if (!w || !n || !r) {
        free(n);
        free(r);
        if (fresh && w)
            watch_drop(w, false);
        else if (fresh)
            qv2_watch_remove(wd);
        return QV2_HUB_LIMIT;
    }
    n->sub = s;
    n->watch = w;
    n->rel = r;
    n->next_in_watch = w->nodes;
    w->nodes = n;
    n->next_in_sub = s->nodes;
    s->nodes = n;
    w->refs++;
    s->box->watches++;
    return QV2_HUB_OK;
}

// ---- news ----

void tell(qv2_hub_box *b) {
    if (b->news.exchange(1) == 0 && b->wake) b->wake(b->user);
}

void drop_records(qv2_hub_sub *s) {
    s->box->bytes -= s->rec.cap;
    qv2_buf_free(&s->rec);
    s->nrec = 0;
    s->last_rec = 0;
}

void mark_lost(qv2_hub_sub *s) {
    drop_records(s);
    if (!s->lost) {
        s->lost = true;
        tell(s->box);
    }
}

void mark_changed(qv2_hub_sub *s) {
    if (s->changed) return;
    s->changed = true;
    tell(s->box);
}

// Appends one FILE_NOTIFY_INFORMATION record for `rel` + `name` (UTF-8, '/'
// between components), unless it repeats the last one (a file written in
// many pieces is one change). Past the limits the records are lost.
void add_record(qv2_hub_sub *s, uint32_t action, const char *rel, const char *name) {
    if (s->lost) return;
    char full[NAME_UTF8_CAP];
    int len = snprintf(full, sizeof full, "%s%s%s", rel, *rel ? "/" : "", name);
    if (len < 0 || size_t(len) >= sizeof full) return;
    for (char *p = full; *p; p++)
        if (*p == '/') *p = '\\';
    uint8_t u16[NAME_UTF16_CAP];
    int32_t n16 = 0;
    // A name the host spells in no UTF-8 is one no client can see either.
    if (qv2_utf8_to_utf16le(full, u16, sizeof u16, &n16) != 0 || n16 == 0) return;
    if (s->nrec > 0) {
        const uint8_t *last = s->rec.data + s->last_rec;
        if (qv2_le32(last + 4) == action && qv2_le32(last + 8) == uint32_t(n16) &&
            memcmp(last + RECORD_FIXED, u16, size_t(n16)) == 0)
            return;
    }
    if (s->nrec >= QV2_HUB_EVENTS_MAX) {
        mark_lost(s);
        return;
    }
    uint64_t at = (s->rec.len + 3) & ~uint64_t(3);
    uint64_t need = at + RECORD_FIXED + uint64_t(n16) + 1; // and the buffer's terminator
    uint64_t cap = s->rec.cap;
    if (need > cap) { // what buf_reserve will grow to
        cap = cap ? cap : 256;
        while (cap < need)
            cap *= 2;
    }
    if (s->box->bytes - s->rec.cap + cap > QV2_HUB_CONN_BYTES_MAX) {
        mark_lost(s);
        return;
    }
    uint64_t before = s->rec.cap;
    if (buf_reserve(&s->rec, need - 1 - s->rec.len) != 0) {
        mark_lost(s);
        return;
    }
    s->box->bytes += s->rec.cap - before;
    while (s->rec.len < at)
        qv2_buf_byte(&s->rec, 0);
    if (s->nrec > 0) qv2_put_le32(s->rec.data + s->last_rec, uint32_t(at - s->last_rec));
    uint8_t head[RECORD_FIXED];
    qv2_put_le32(head, 0);
    qv2_put_le32(head + 4, action);
    qv2_put_le32(head + 8, uint32_t(n16));
    qv2_buf_put(&s->rec, head, sizeof head);
    qv2_buf_put(&s->rec, u16, uint64_t(n16));
    if (s->rec.failed) {
        mark_lost(s);
        return;
    }
    s->last_rec = at;
    s->nrec++;
    tell(s->box);
}

// Every folder below `path` (a watched tree's folder `rel`), each watched
// for s, without following links. Gives up at the first limit: false.
bool walk_tree(qv2_hub_sub *s, const char *path, const char *rel) {
    // Folders still to open: each is watched before it is opened, so the
    // list never holds more than the connection may watch.
    struct pending {
        char *path;
        char *rel;
    };
    int32_t cap = 16, count = 0;
    auto *todo = static_cast<pending *>(malloc(size_t(cap) * sizeof(pending)));
    bool ok = todo != nullptr;
    auto push = [&](const char *p, const char *r) {
        if (count == cap) {
            auto *grown = static_cast<pending *>(realloc(todo, size_t(cap) * 2 * sizeof(pending)));
            if (!grown) return false;
            todo = grown;
            cap *= 2;
        }
        todo[count].path = strdup(p);
        todo[count].rel = strdup(r);
        if (!todo[count].path || !todo[count].rel) {
            free(todo[count].path);
            free(todo[count].rel);
            return false;
        }
        count++;
        return true;
    };
    if (ok) ok = push(path, rel);
    while (ok && count > 0) {
        pending p = todo[--count];
        qv2_dir *d = qv2_fs_opendir_nofollow(p.path);
        for (const char *name; d && ok && (name = qv2_fs_readdir(d)) != nullptr;) {
            qv2_fs_info info;
            if (qv2_fs_lstatat(d, name, &info) != 0 || info.kind != QV2_FS_DIR) continue;
            char child[QV2_HOST_PATH_CAP], child_rel[QV2_REL_PATH_CAP];
            int a = snprintf(child, sizeof child, "%s/%s", p.path, name);
            int b = snprintf(child_rel, sizeof child_rel, "%s%s%s", p.rel, *p.rel ? "/" : "", name);
            if (a < 0 || size_t(a) >= sizeof child || b < 0 || size_t(b) >= sizeof child_rel)
                continue; // too long to be reached by a client anyway
            qv2_hub_result r = node_add(s, child, child_rel);
            if (r == QV2_HUB_LIMIT)
                ok = false;
            else if (r == QV2_HUB_OK)
                ok = push(child, child_rel);
        }
        qv2_fs_closedir(d);
        free(p.path);
        free(p.rel);
    }
    while (count > 0) {
        count--;
        free(todo[count].path);
        free(todo[count].rel);
    }
    free(todo);
    return ok;
}

// ---- sorting a batch of events (watcher thread, under g.lock) ----

uint32_t name_filter(uint32_t what) {
    return (what & QV2_WATCH_IS_DIR) ? CHANGE_DIR_NAME : CHANGE_FILE_NAME;
}

// An event about an entry of a watched folder, for one subscription.
void folder_event(hub_node *n, const qv2_watch_event &e) {
    qv2_hub_sub *s = n->sub;
    if (!*e.name) {
        // The folder itself: only its end matters. Below the top of a tree,
        // its parent's watch reports the entry going away.
        if ((e.what & (QV2_WATCH_GONE | QV2_WATCH_ENDED)) && !*n->rel) mark_lost(s);
        return;
    }
    bool dir = e.what & QV2_WATCH_IS_DIR;
    if (s->tree && dir && (e.what & (QV2_WATCH_MOVED_FROM | QV2_WATCH_MOVED_TO))) {
        // A folder renamed inside the tree takes its watches' names with it.
        mark_lost(s);
        return;
    }
    if (s->tree && dir && (e.what & QV2_WATCH_ADDED)) {
        char path[QV2_HOST_PATH_CAP], rel[QV2_REL_PATH_CAP];
        int a =
            snprintf(path, sizeof path, "%s%s%s/%s", s->root, *n->rel ? "/" : "", n->rel, e.name);
        int b = snprintf(rel, sizeof rel, "%s%s%s", n->rel, *n->rel ? "/" : "", e.name);
        if (a > 0 && size_t(a) < sizeof path && b > 0 && size_t(b) < sizeof rel) {
            qv2_hub_result r = node_add(s, path, rel);
            if (r == QV2_HUB_LIMIT || (r == QV2_HUB_OK && !walk_tree(s, path, rel))) {
                mark_lost(s);
                return;
            }
        }
    }
    uint32_t action = 0, wanted = 0;
    if (e.what & (QV2_WATCH_ADDED | QV2_WATCH_MOVED_TO)) {
        action = ACTION_ADDED;
        wanted = name_filter(e.what);
    } else if (e.what & (QV2_WATCH_REMOVED | QV2_WATCH_MOVED_FROM)) {
        action = ACTION_REMOVED;
        wanted = name_filter(e.what);
    } else if (e.what & QV2_WATCH_WRITTEN) {
        action = ACTION_MODIFIED;
        wanted = CHANGE_SIZE | CHANGE_LAST_WRITE;
    } else if (e.what & QV2_WATCH_ATTRIB) {
        action = ACTION_MODIFIED;
        wanted = CHANGE_ATTRIB_ANY;
    }
    if (action && (s->filter & wanted)) add_record(s, action, n->rel, e.name);
}

// The node of s on w, or null.
hub_node *node_of(const hub_watch *w, const qv2_hub_sub *s) {
    if (!w) return nullptr;
    for (hub_node *n = w->nodes; n; n = n->next_in_watch)
        if (n->sub == s) return n;
    return nullptr;
}

// A rename whose two halves both reached us: inside one subscription it is
// an old and a new name (MS-FSCC 2.4.42); seen from one side only, a removal
// or an addition.
void rename_pair(const qv2_watch_event &from, const qv2_watch_event &to) {
    hub_watch *wf = watch_find(from.wd), *wt = watch_find(to.wd);
    if (wf) {
        for (hub_node *n = wf->nodes, *next; n; n = next) {
            next = n->next_in_watch;
            hub_node *other = node_of(wt, n->sub);
            if (!other || (n->sub->tree && (from.what & QV2_WATCH_IS_DIR))) {
                folder_event(n, from);
                continue;
            }
            if (!(n->sub->filter & name_filter(from.what))) continue;
            add_record(n->sub, ACTION_RENAMED_OLD, n->rel, from.name);
            add_record(n->sub, ACTION_RENAMED_NEW, other->rel, to.name);
        }
    }
    if (wt) {
        for (hub_node *n = wt->nodes, *next; n; n = next) {
            next = n->next_in_watch;
            if (!node_of(wf, n->sub) || (n->sub->tree && (to.what & QV2_WATCH_IS_DIR)))
                folder_event(n, to);
        }
    }
}

void everything_changed() {
    for (qv2_hub_box *b = g.boxes; b; b = b->next)
        for (qv2_hub_sub *s = b->subs; s; s = s->next) {
            if (s->folder)
                mark_lost(s);
            else
                mark_changed(s);
        }
}

void one_event(const qv2_watch_event &e) {
    hub_watch *w = watch_find(e.wd);
    if (!w) return; // ended already, or removed by us
    for (hub_node *n = w->nodes, *next; n; n = next) {
        next = n->next_in_watch;
        if (n->sub->folder)
            folder_event(n, e);
        else
            mark_changed(n->sub);
    }
    if (e.what & QV2_WATCH_ENDED) {
        // The kernel dropped the watch (its object is gone): so do we. A
        // file's subscription stays, marked changed.
        while (w->nodes)
            node_free(w->nodes, true);
        watch_drop(w, true);
    }
}

void sink(void *, const qv2_watch_event *events, int32_t n) {
    std::lock_guard<std::mutex> guard(g.lock);
    for (int32_t i = 0; i < n; i++) {
        const qv2_watch_event &e = events[i];
        if (e.what & QV2_WATCH_LOST) {
            everything_changed();
            continue;
        }
        // The kernel queues a rename's two halves one after the other.
        if ((e.what & QV2_WATCH_MOVED_FROM) && i + 1 < n &&
            (events[i + 1].what & QV2_WATCH_MOVED_TO) && events[i + 1].cookie == e.cookie &&
            e.cookie != 0) {
            rename_pair(e, events[i + 1]);
            i++;
            continue;
        }
        one_event(e);
    }
}

// Starts the watcher thread unless it runs. Without g.lock held.
bool ensure_started() {
    std::lock_guard<std::mutex> life(g.life);
    {
        std::lock_guard<std::mutex> guard(g.lock);
        if (g.started) return true;
    }
    if (qv2_watch_start(sink, nullptr) != 0) return false;
    std::lock_guard<std::mutex> guard(g.lock);
    g.started = 1;
    return true;
}

// Says in the log, once per share name, why its changes can't be followed.
void tell_unwatchable(const char *share, const char *reason) {
    uint64_t h = qv2_fnv1a64(share, strlen(share), QV2_FNV_BASIS);
    {
        std::lock_guard<std::mutex> guard(g.lock);
        for (int32_t i = 0; i < g.ntold; i++)
            if (g.told[i] == h) return;
        if (g.ntold < int32_t(sizeof g.told / sizeof g.told[0])) g.told[g.ntold++] = h;
    }
    qv2_logline l;
    if (!qv2_alog_begin(&l, "caching")) return;
    qv2_logline_str(&l, "share", share);
    qv2_logline_str(&l, "result", "off");
    qv2_logline_str(&l, "reason", reason);
    qv2_alog_emit(&l);
}

qv2_hub_sub *sub_new(qv2_hub_box *b, const char *host, bool folder) {
    auto *s = static_cast<qv2_hub_sub *>(calloc(1, sizeof(qv2_hub_sub)));
    char *root = strdup(host);
    if (!s || !root) {
        free(s);
        free(root);
        return nullptr;
    }
    s->box = b;
    s->folder = folder;
    s->root = root;
    return s;
}

// Under g.lock.
void sub_free(qv2_hub_sub *s) {
    while (s->nodes)
        node_free(s->nodes, false);
    drop_records(s);
    free(s->root);
    free(s);
}

void sub_link(qv2_hub_box *b, qv2_hub_sub *s) {
    s->next = b->subs;
    b->subs = s;
}

} // namespace

qv2_hub_box *qv2_hub_open(void (*wake)(void *), void *user) {
    auto *b = static_cast<qv2_hub_box *>(calloc(1, sizeof(qv2_hub_box)));
    if (!b) return nullptr;
    b->wake = wake;
    b->user = user;
    b->news = 0;
    std::lock_guard<std::mutex> guard(g.lock);
    b->next = g.boxes;
    g.boxes = b;
    g.nbox++;
    return b;
}

void qv2_hub_close(qv2_hub_box *b) {
    if (!b) return;
    std::lock_guard<std::mutex> life(g.life);
    bool last;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        while (b->subs) {
            qv2_hub_sub *s = b->subs;
            b->subs = s->next;
            sub_free(s);
        }
        for (qv2_hub_box **link = &g.boxes; *link; link = &(*link)->next) {
            if (*link == b) {
                *link = b->next;
                break;
            }
        }
        g.nbox--;
        last = g.nbox == 0 && g.started;
        if (last) {
            // No watch is left; the thread goes, and with it the descriptor.
            g.started = 0;
            for (int32_t i = 0; i < g.nwatch; i++)
                free(g.watches[i]);
            free(g.watches);
            g.watches = nullptr;
            g.nwatch = g.capwatch = 0;
        }
    }
    free(b);
    if (last) qv2_watch_stop();
}

bool qv2_hub_share_watchable(const qv2_share *share) {
    char kind[16];
    if (share->is_file) return false;
    int local = qv2_fs_reports_changes(share->path, kind, sizeof kind);
    if (local == 0) {
        tell_unwatchable(share->name, kind);
        return false;
    }
    if (local < 0) return false;
    if (!ensure_started()) {
        tell_unwatchable(share->name, "no_inotify");
        return false;
    }
    return true;
}

qv2_hub_result qv2_hub_watch_file(qv2_hub_box *b, const char *host, qv2_hub_sub **out) {
    *out = nullptr;
    if (!b || !ensure_started()) return QV2_HUB_NO_EVENTS;
    qv2_hub_sub *s = sub_new(b, host, false);
    if (!s) return QV2_HUB_LIMIT;
    std::lock_guard<std::mutex> guard(g.lock);
    qv2_hub_result r = node_add(s, host, "");
    if (r != QV2_HUB_OK) {
        sub_free(s);
        return r;
    }
    sub_link(b, s);
    *out = s;
    return QV2_HUB_OK;
}

qv2_hub_result qv2_hub_watch_folder(qv2_hub_box *b, const char *host, bool tree, uint32_t filter,
                                    qv2_hub_sub **out) {
    *out = nullptr;
    if (!b || !ensure_started()) return QV2_HUB_NO_EVENTS;
    qv2_hub_sub *s = sub_new(b, host, true);
    if (!s) return QV2_HUB_LIMIT;
    s->tree = tree;
    s->filter = filter;
    std::lock_guard<std::mutex> guard(g.lock);
    qv2_hub_result r = node_add(s, host, "");
    if (r == QV2_HUB_OK && tree && !walk_tree(s, host, "")) r = QV2_HUB_LIMIT;
    if (r != QV2_HUB_OK) {
        sub_free(s);
        return r;
    }
    sub_link(b, s);
    *out = s;
    return QV2_HUB_OK;
}

void qv2_hub_unwatch(qv2_hub_box *b, qv2_hub_sub **s) {
    if (!b || !s || !*s) return;
    std::lock_guard<std::mutex> guard(g.lock);
    for (qv2_hub_sub **link = &b->subs; *link; link = &(*link)->next) {
        if (*link == *s) {
            *link = (*s)->next;
            sub_free(*s);
            break;
        }
    }
    *s = nullptr;
}

bool qv2_hub_take_news(qv2_hub_box *b) {
    return b && b->news.exchange(0) != 0;
}

bool qv2_hub_changed(qv2_hub_box *b, const qv2_hub_sub *s) {
    if (!b || !s) return false;
    std::lock_guard<std::mutex> guard(g.lock);
    return s->changed;
}

int32_t qv2_hub_take_records(qv2_hub_box *b, qv2_hub_sub *s, uint32_t cap, qv2_buf *out) {
    if (!b || !s) return QV2_HUB_NOTHING;
    std::lock_guard<std::mutex> guard(g.lock);
    if (s->lost) {
        s->lost = false;
        drop_records(s);
        return QV2_HUB_LOST;
    }
    if (s->nrec == 0) return QV2_HUB_NOTHING;
    // The last record ends at its name; no padding follows it.
    uint64_t len = s->last_rec + RECORD_FIXED + qv2_le32(s->rec.data + s->last_rec + 8);
    if (len > cap) {
        drop_records(s);
        return QV2_HUB_LOST;
    }
    qv2_buf_free(out);
    b->bytes -= s->rec.cap;
    *out = s->rec;
    out->len = len;
    s->rec = qv2_buf{};
    s->nrec = 0;
    s->last_rec = 0;
    return QV2_HUB_RECORDS;
}

int32_t qv2_hub_watch_count(void) {
    std::lock_guard<std::mutex> guard(g.lock);
    return g.nwatch;
}
