// CHANGE_NOTIFY (MS-SMB2 3.3.5.19): a request on an open folder that is
// answered when the host changes something in it (or, with WATCH_TREE,
// below it). Changes already waiting are answered at once; otherwise the
// request gets an interim STATUS_PENDING response with an AsyncId and waits,
// until a change, a CANCEL, the CLOSE of its folder, or the end of its
// session or connection. The records come from the hub, as the folder's
// watch collected them.
#include "engine/qv2_cache.h"

#include "config/qv2_cfg.h"
#include "engine/engine.h"
#include "engine/qv2_hub.h"

#include <cstdlib>

namespace {

enum : uint32_t {
    REQUEST_SIZE = 32,
    WATCH_TREE = 0x0001,
    FILE_LIST_DIRECTORY = 0x00000001,
    ASYNC_COMMAND = 0x00000002,
    RESPONSE_SIZE = 9,
    BUFFER_AT = SMB2_HDR_LEN + 8, // OutputBufferOffset of a response with records
};

// The 9-byte response body with the records (or none). Without records it
// is the same nine bytes as the error body, which is what clients expect of
// NOTIFY_ENUM_DIR, CANCELLED and NOTIFY_CLEANUP.
void put_body(qv2_buf *b, const qv2_buf *records) {
    bool any = records && records->len > 0;
    w16(b, RESPONSE_SIZE);
    w16(b, any ? uint16_t(BUFFER_AT) : 0);
    w32(b, any ? uint32_t(records->len) : 0);
    if (any)
        qv2_buf_put(b, records->data, records->len);
    else
        qv2_buf_byte(b, 0);
}

void count_completion(uint32_t status) {
    if (status == STATUS_SUCCESS || status == STATUS_NOTIFY_ENUM_DIR)
        qv2_stat_add(QV2_ST_NOTIFIES_COMPLETED, 1);
}

void unlink_wait(qv2_conn *c, qv2_notify_wait *w) {
    for (qv2_notify_wait **link = &c->cache.waits; *link; link = &(*link)->next) {
        if (*link == w) {
            *link = w->next;
            c->cache.wait_count--;
            break;
        }
    }
    free(w);
}

// The final response of a request that went async (MS-SMB2 3.3.4.2): its
// MessageId and AsyncId, no credits (the interim granted them), signed when
// the request was. Frees the wait.
void complete(qv2_conn *c, qv2_notify_wait *w, uint32_t status, const qv2_buf *records) {
    qv2_buf b{};
    qv2_push_header(&b, SMB2_CHANGE_NOTIFY, status, w->message_id, w->session_id, w->async_id);
    put_body(&b, records);
    qv2_push_send(c, &b, w->sign ? qv2_push_key(c, w->session_id) : nullptr,
                  qv2_push_sealer(c, w->session_id, w->sealed));
    count_completion(status);
    unlink_wait(c, w);
}

bool has_wait(const qv2_conn *c, uint64_t open_id, const qv2_notify_wait *besides) {
    for (const qv2_notify_wait *w = c->cache.waits; w; w = w->next)
        if (w->open_id == open_id && w != besides) return true;
    return false;
}

// Watches an open folder for its CHANGE_NOTIFY requests.
qv2_hub_result subscribe(qv2_conn *c, const qv2_open *o, qv2_grant *g) {
    qv2_hub_box *box = qv2_cache_box(c);
    if (!box) return QV2_HUB_LIMIT;
    return qv2_hub_watch_folder(box, o->host, g->tree, g->filter, &g->watch);
}

// Answers the current request at once (no interim response).
void answer_now(qv2_reply *r, uint32_t status, const qv2_buf *records) {
    rep_set_status(r, status);
    put_body(&r->buf, records);
    count_completion(status);
}

// Gives the oldest request waiting on g's folder what its watch holds.
// True when a request was completed.
bool serve_oldest(qv2_conn *c, qv2_grant *g) {
    qv2_notify_wait *w = c->cache.waits;
    while (w && w->open_id != g->open_id)
        w = w->next;
    if (!w) return false;
    const qv2_open *o = qv2_cache_open(c, g->open_id);
    if (!g->watch && (!o || subscribe(c, o, g) != QV2_HUB_OK)) {
        complete(c, w, STATUS_NOTIFY_ENUM_DIR, nullptr);
        return true;
    }
    qv2_buf records{};
    int32_t got = qv2_hub_take_records(c->cache.box, g->watch, w->out_len, &records);
    if (got == QV2_HUB_RECORDS) complete(c, w, STATUS_SUCCESS, &records);
    if (got == QV2_HUB_LOST) {
        // The client lists the folder again; a later request watches afresh.
        qv2_hub_unwatch(c->cache.box, &g->watch);
        complete(c, w, STATUS_NOTIFY_ENUM_DIR, nullptr);
    }
    qv2_buf_free(&records);
    return got != QV2_HUB_NOTHING;
}

} // namespace

// Refuses, in this order: a malformed request (INVALID_PARAMETER), an
// unknown FileId (FILE_CLOSED), an OutputBufferLength past MaxTransactSize
// or its CreditCharge, an open that is no folder (INVALID_PARAMETER), one
// without FILE_LIST_DIRECTORY (ACCESS_DENIED), a share whose host gives no
// events (NOT_SUPPORTED), and a connection with too many waiting requests
// (INSUFFICIENT_RESOURCES). A folder whose watches don't fit the limits is
// answered NOTIFY_ENUM_DIR, as are records that don't fit the buffer.
void cmd_change_notify(qv2_conn *c, qv2_reader *rd, qv2_reply *r) {
    uint16_t size = rd_u16(rd);
    uint16_t flags = rd_u16(rd);
    uint32_t out_len = rd_u32(rd);
    uint64_t fid = rd_u64(rd);
    rd_u64(rd); // the volatile half
    uint32_t filter = rd_u32(rd);
    rd_u32(rd); // Reserved
    if (size != REQUEST_SIZE || rd->bad) {
        err_reply(c, r, SMB2_CHANGE_NOTIFY, STATUS_INVALID_PARAMETER);
        return;
    }
    qv2_open *o = open_find(c, fid);
    if (!o) {
        err_reply(c, r, SMB2_CHANGE_NOTIFY, STATUS_FILE_CLOSED);
        return;
    }
    // max_read is also the MaxTransactSize NEGOTIATE announced.
    if (out_len > c->max_read || !credit_charge_ok(c, out_len) || !o->is_dir) {
        err_reply(c, r, SMB2_CHANGE_NOTIFY, STATUS_INVALID_PARAMETER);
        return;
    }
    if (!(o->access & FILE_LIST_DIRECTORY)) {
        err_reply(c, r, SMB2_CHANGE_NOTIFY, STATUS_ACCESS_DENIED);
        return;
    }
    qv2_grant *g = qv2_cache_box(c) ? qv2_cache_grant_of(c, o->id, true) : nullptr;
    if (!g) {
        err_reply(c, r, SMB2_CHANGE_NOTIFY, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    if (!qv2_hub_share_watchable(&o->share)) {
        err_reply(c, r, SMB2_CHANGE_NOTIFY, STATUS_NOT_SUPPORTED);
        return;
    }
    if (!g->watch) {
        g->tree = (flags & WATCH_TREE) != 0;
        g->filter = filter;
        qv2_hub_result sub = subscribe(c, o, g);
        if (sub == QV2_HUB_NO_EVENTS) {
            err_reply(c, r, SMB2_CHANGE_NOTIFY, STATUS_NOT_SUPPORTED);
            return;
        }
        if (sub != QV2_HUB_OK) {
            // Too many folders to watch, or the folder is gone: the client
            // lists it again, which is all a notify would have led to.
            answer_now(r, STATUS_NOTIFY_ENUM_DIR, nullptr);
            return;
        }
    }
    if (!has_wait(c, o->id, nullptr)) {
        qv2_buf records{};
        int32_t got = qv2_hub_take_records(c->cache.box, g->watch, out_len, &records);
        if (got == QV2_HUB_RECORDS) answer_now(r, STATUS_SUCCESS, &records);
        if (got == QV2_HUB_LOST) {
            qv2_hub_unwatch(c->cache.box, &g->watch);
            answer_now(r, STATUS_NOTIFY_ENUM_DIR, nullptr);
        }
        qv2_buf_free(&records);
        if (got != QV2_HUB_NOTHING) return;
    }
    auto *w = c->cache.wait_count < QV2_NOTIFY_WAITS_MAX
                  ? static_cast<qv2_notify_wait *>(calloc(1, sizeof(qv2_notify_wait)))
                  : nullptr;
    if (!w) {
        err_reply(c, r, SMB2_CHANGE_NOTIFY, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    uint8_t *h = rep_hdr(r);
    w->async_id = ++c->cache.next_async_id;
    w->message_id = qv2_le64(h + 24);
    w->session_id = qv2_le64(h + 40);
    w->tree_id = qv2_le32(h + 36);
    w->open_id = o->id;
    w->out_len = out_len;
    w->sign = c->cur_signed != 0;
    w->sealed = c->enc_sess != nullptr;
    qv2_notify_wait **tail = &c->cache.waits;
    while (*tail)
        tail = &(*tail)->next;
    *tail = w;
    c->cache.wait_count++;
    // The interim response (MS-SMB2 3.3.4.2): PENDING, async, the AsyncId in
    // place of the TreeId, the credits granted, and the error body.
    rep_set_status(r, STATUS_PENDING);
    qv2_put_le32(h + 16, qv2_le32(h + 16) | ASYNC_COMMAND);
    qv2_put_le64(h + 32, w->async_id);
    rep_error_body(&r->buf);
}

void qv2_notify_poll(qv2_conn *c) {
    if (!c->cache.box) return;
    for (qv2_grant *g = c->cache.grants; g; g = g->next)
        while (has_wait(c, g->open_id, nullptr) && serve_oldest(c, g)) {
        }
}

void qv2_notify_cancel(qv2_conn *c, const qv2_hdr *h, const uint8_t *header) {
    bool async = (h->flags & ASYNC_COMMAND) != 0;
    uint64_t async_id = qv2_le64(header + 32);
    for (qv2_notify_wait *w = c->cache.waits; w; w = w->next) {
        // Only the request's own session may cancel it.
        bool named = (async ? w->async_id == async_id : w->message_id == h->message_id) &&
                     w->session_id == h->session_id;
        if (named) {
            complete(c, w, STATUS_CANCELLED, nullptr);
            return;
        }
    }
}

void qv2_notify_open_ends(qv2_conn *c, uint64_t open_id, bool answer) {
    for (qv2_notify_wait *w = c->cache.waits, *next; w; w = next) {
        next = w->next;
        if (w->open_id != open_id) continue;
        if (answer)
            complete(c, w, STATUS_NOTIFY_CLEANUP, nullptr);
        else
            unlink_wait(c, w);
    }
}

void qv2_notify_tree_gone(qv2_conn *c, uint32_t tree_id) {
    for (qv2_notify_wait *w = c->cache.waits, *next; w; w = next) {
        next = w->next;
        if (w->tree_id == tree_id) unlink_wait(c, w);
    }
}
