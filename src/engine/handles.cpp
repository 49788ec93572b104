// Lookups in the connection's lists of trees and opens, and their release.
#include "engine/engine.h"
#include "files/qv2_vfs.h"

#include <cstdlib>

qv2_open *open_find(qv2_conn *c, uint64_t id) {
    for (qv2_open *o = c->open_list; o; o = o->next)
        if (o->in_use && o->id == id) return o;
    return nullptr;
}

qv2_tree *tree_find(qv2_conn *c, uint32_t id) {
    for (qv2_tree *t = c->tree_list; t; t = t->next)
        if (!t->disconnected && t->id == id) return t;
    return nullptr;
}

void conn_free_trees_opens(qv2_conn *c) {
    qv2_tree *t = c->tree_list;
    c->tree_list = nullptr;
    while (t) {
        qv2_tree *next = t->next;
        free(t);
        t = next;
    }
    qv2_open *o = c->open_list;
    c->open_list = nullptr;
    while (o) {
        qv2_open *next = o->next;
        if (o->has_listing) qv2_vfs_free(o->listing, o->listing_count);
        free(o);
        o = next;
    }
    c->open_count = 0;
}
