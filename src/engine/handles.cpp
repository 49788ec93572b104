// Lookups in the connection's lists of trees and opens, and their release.
#include "config/qv2_cfg.h"
#include "engine/conn_log.h"
#include "engine/engine.h"
#include "engine/qv2_cache.h"
#include "files/qv2_vfs.h"

#include <cstdlib>
#include <cstring>

// Tree ids are the low 24 bits of the connection's counter, so once the
// counter has gone past 2^24 a drawn id may equal that of an earlier tree.
// Keeping every disconnected tree in the list would prevent that at ~1.2 KB
// per TREE_CONNECT; instead a disconnected tree is freed at once and only its
// id is kept here: a sorted array (4 bytes per id, a few bytes for a normal
// client), which turns into a bitmap of all 2^24 ids (2 MiB) once the array
// would be as large. Memory per connection is thus bounded whatever a client
// does. The ids stay taken until LOGOFF or the end of the connection, as
// they would while their records stayed in the list.
struct qv2_id_set {
    uint32_t *ids; // ascending, no duplicates; null once `bits` is in use
    uint32_t count;
    uint32_t cap;
    uint8_t *bits; // one bit per id
};

namespace {

enum : uint32_t {
    TREE_ID_MASK = 0xFFFFFF,
    TREE_ID_SPACE = 0x1000000,
    BITMAP_BYTES = TREE_ID_SPACE / 8,
    ARRAY_MAX = BITMAP_BYTES / sizeof(uint32_t), // ids the array holds before the bitmap
};

// First position whose id is not below `id`.
uint32_t lower_bound(const qv2_id_set *s, uint32_t id) {
    uint32_t lo = 0, hi = s->count;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (s->ids[mid] < id) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

bool set_has(const qv2_id_set *s, uint32_t id) {
    if (!s) return false;
    if (s->bits) return (s->bits[id >> 3] >> (id & 7)) & 1;
    uint32_t at = lower_bound(s, id);
    return at < s->count && s->ids[at] == id;
}

int set_to_bitmap(qv2_id_set *s) {
    uint8_t *bits = static_cast<uint8_t *>(calloc(BITMAP_BYTES, 1));
    if (!bits) return -1;
    for (uint32_t i = 0; i < s->count; i++) bits[s->ids[i] >> 3] |= uint8_t(1u << (s->ids[i] & 7));
    free(s->ids);
    s->ids = nullptr;
    s->count = s->cap = 0;
    s->bits = bits;
    return 0;
}

// 0, or -1 when there is no memory to remember the id.
int set_add(qv2_conn *c, uint32_t id) {
    qv2_id_set *s = c->freed_tree_ids;
    if (!s) {
        s = static_cast<qv2_id_set *>(calloc(1, sizeof *s));
        if (!s) return -1;
        c->freed_tree_ids = s;
    }
    if (!s->bits) {
        uint32_t at = lower_bound(s, id);
        if (at < s->count && s->ids[at] == id) return 0;
        if (s->count == s->cap && s->cap < ARRAY_MAX) {
            uint32_t cap = s->cap ? s->cap * 2 : 8;
            if (cap > ARRAY_MAX) cap = ARRAY_MAX;
            uint32_t *ids = static_cast<uint32_t *>(realloc(s->ids, cap * sizeof *ids));
            if (!ids) return -1;
            s->ids = ids;
            s->cap = cap;
        }
        if (s->count < s->cap) {
            memmove(s->ids + at + 1, s->ids + at, (s->count - at) * sizeof *s->ids);
            s->ids[at] = id;
            s->count++;
            return 0;
        }
        if (set_to_bitmap(s) != 0) return -1;
    }
    s->bits[id >> 3] |= uint8_t(1u << (id & 7));
    return 0;
}

void set_free(qv2_conn *c) {
    if (!c->freed_tree_ids) return;
    free(c->freed_tree_ids->ids);
    free(c->freed_tree_ids->bits);
    free(c->freed_tree_ids);
    c->freed_tree_ids = nullptr;
}

// Held by a tree in the list (live, or disconnected but kept because its id
// could not be remembered otherwise) or by a freed one.
bool tree_id_taken(const qv2_conn *c, uint32_t id) {
    for (const qv2_tree *t = c->tree_list; t; t = t->next)
        if (t->id == id) return true;
    return set_has(c->freed_tree_ids, id);
}

} // namespace

qv2_open *open_find(qv2_conn *c, uint64_t id) {
    for (qv2_open *o = c->open_list; o; o = o->next)
        if (o->in_use && o->id == id) return o->sess == c->sess ? o : nullptr;
    return nullptr;
}

qv2_tree *tree_find(qv2_conn *c, uint32_t id) {
    for (qv2_tree *t = c->tree_list; t; t = t->next)
        if (!t->disconnected && t->id == id && t->sess == c->sess) return t;
    return nullptr;
}

// What an open holds besides its record: a directory listing, and the
// pipe's pending answer.
void open_release(qv2_open *o) {
    if (o->has_listing) qv2_vfs_free(o->listing, o->listing_count);
    o->has_listing = 0;
    o->listing = nullptr;
    qv2_buf_free(&o->pipe_out);
}

void free_trees_opens(qv2_conn *c, const qv2_session *s) {
    for (qv2_tree **link = &c->tree_list; *link;) {
        qv2_tree *t = *link;
        if (s && t->sess != s) {
            link = &t->next;
            continue;
        }
        *link = t->next;
        if (!t->disconnected) qv2_stat_add(QV2_ST_TREES, -1);
        free(t);
    }
    for (qv2_open **link = &c->open_list; *link;) {
        qv2_open *o = *link;
        if (s && o->sess != s) {
            link = &o->next;
            continue;
        }
        *link = o->next;
        log_close(c, o);
        qv2_cache_open_dropped(c, o);
        open_release(o);
        c->open_count--;
        free(o);
    }
    // The ids of freed trees stay taken while any tree of the connection
    // could still collide with a drawn one.
    if (!c->tree_list) set_free(c);
}

int tree_id_draw(qv2_conn *c, uint32_t *id) {
    for (uint32_t tries = 0; tries < TREE_ID_SPACE; tries++) {
        c->next_id++;
        uint32_t v = uint32_t(c->next_id) & TREE_ID_MASK;
        // Below 2^24 every drawn value is new, so the lists need no scan.
        if (c->next_id <= TREE_ID_MASK || !tree_id_taken(c, v)) {
            *id = v;
            return 0;
        }
    }
    return -1;
}

void tree_release(qv2_conn *c, qv2_tree *t) {
    qv2_tree **link = &c->tree_list;
    while (*link && *link != t) link = &(*link)->next;
    if (!*link) return;
    // Without memory to remember the id, the record itself keeps it taken.
    if (set_add(c, t->id) != 0) return;
    *link = t->next;
    free(t);
}

void open_close(qv2_conn *c, qv2_open *o) {
    qv2_open **link = &c->open_list;
    while (*link && *link != o) link = &(*link)->next;
    if (!*link) return;
    log_close(c, o);
    qv2_cache_open_closed(c, o);
    open_release(o);
    o->in_use = 0;
    c->open_count--;
    *link = o->next;
    free(o);
}
