// A connection's caching state through its life: whether it is offered
// leases, its box at the hub, the grant record of each open that has an
// oplock, a lease or a folder watch, the poll that sends what is due, and
// what goes when an open, a tree or the connection ends.
#include "engine/qv2_cache.h"

#include "engine/engine.h"
#include "engine/qv2_hub.h"
#include "platform/qv2_platform.h"

#include <cstdlib>

namespace {

// Frees an open's grant record; nothing may point at it any more.
void grant_free(qv2_conn *c, qv2_grant *g) {
    for (qv2_grant **link = &c->cache.grants; *link; link = &(*link)->next) {
        if (*link == g) {
            *link = g->next;
            break;
        }
    }
    free(g);
}

void open_ends(qv2_conn *c, const qv2_open *o, bool answer) {
    qv2_notify_open_ends(c, o->id, answer);
    qv2_grant *g = qv2_cache_grant_of(c, o->id, false);
    if (!g) return;
    qv2_lease_release(c, g);
    grant_free(c, g);
    qv2_lease_deadlines(c);
}

} // namespace

void qv2_cache_begin(qv2_conn *c) {
    c->cache.leasing = c->io->wake != nullptr;
}

qv2_hub_box *qv2_cache_box(qv2_conn *c) {
    if (!c->cache.box) c->cache.box = qv2_hub_open(c->io->wake, c->io_user);
    return c->cache.box;
}

void qv2_cache_poll(qv2_conn *c) {
    qv2_cache &k = c->cache;
    if (!k.box) return; // nothing was ever watched
    bool news = qv2_hub_take_news(k.box);
    if (!news && k.next_deadline_ms == 0) return;
    uint64_t now = qv2_now_ms();
    qv2_lease_poll(c, news, now);
    if (news) qv2_notify_poll(c);
}

qv2_open *qv2_cache_open(qv2_conn *c, uint64_t open_id) {
    for (qv2_open *o = c->open_list; o; o = o->next)
        if (o->in_use && o->id == open_id) return o;
    return nullptr;
}

qv2_grant *qv2_cache_grant_of(qv2_conn *c, uint64_t open_id, bool make) {
    for (qv2_grant *g = c->cache.grants; g; g = g->next)
        if (g->open_id == open_id) return g;
    if (!make) return nullptr;
    auto *g = static_cast<qv2_grant *>(calloc(1, sizeof(qv2_grant)));
    if (!g) return nullptr;
    g->open_id = open_id;
    g->next = c->cache.grants;
    c->cache.grants = g;
    return g;
}

void qv2_cache_open_closed(qv2_conn *c, const qv2_open *o) {
    open_ends(c, o, true);
}

void qv2_cache_open_dropped(qv2_conn *c, const qv2_open *o) {
    open_ends(c, o, false);
}

void qv2_cache_tree_gone(qv2_conn *c, uint32_t tree_id) {
    qv2_notify_tree_gone(c, tree_id);
}

void qv2_cache_end(qv2_conn *c) {
    qv2_cache &k = c->cache;
    while (k.waits)
        qv2_notify_open_ends(c, k.waits->open_id, false);
    while (k.grants) {
        qv2_lease_release(c, k.grants);
        grant_free(c, k.grants);
    }
    // Leases whose break was still awaiting its acknowledgment.
    while (k.leases)
        qv2_lease_free(c, k.leases);
    qv2_hub_close(k.box);
    k = qv2_cache{};
}
