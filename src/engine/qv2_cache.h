// Client caching inside the engine: leases and oplocks granted on CREATE
// and broken when the host changes their file, CHANGE_NOTIFY requests that
// wait for changes, and the server-initiated messages that carry both. The
// functions the rest of the engine calls; the records are in
// qv2_cache_types.h. Everything here runs on the connection's own thread.
#pragma once

#include "engine/qv2_engine_types.h"

// ---- cache.cpp: the connection's caching state ----

// At the connection's start: leases and oplocks are offered only over a
// transport that can be woken, so that a break never waits for the client's
// next request.
void qv2_cache_begin(qv2_conn *c);
// The connection's box at the hub, opened on first use; null without memory.
qv2_hub_box *qv2_cache_box(qv2_conn *c);
// Sends the breaks and notify completions that are due and expires breaks
// whose acknowledgment is overdue. Called after every message, and whenever
// the transport's read comes back woken or empty.
void qv2_cache_poll(qv2_conn *c);
// The open in use with this FileId, whichever session it belongs to (a
// break or a completion is due whatever the request being handled), or null.
qv2_open *qv2_cache_open(qv2_conn *c, uint64_t open_id);
// The grant record of an open; with `make`, created when missing (null
// without memory).
qv2_grant *qv2_cache_grant_of(qv2_conn *c, uint64_t open_id, bool make);
// CLOSE of an open: its waiting CHANGE_NOTIFY requests complete with
// STATUS_NOTIFY_CLEANUP, then its oplock, lease share and watch go.
void qv2_cache_open_closed(qv2_conn *c, const qv2_open *o);
// An open dropped with its session or connection: the same, unanswered.
void qv2_cache_open_dropped(qv2_conn *c, const qv2_open *o);
// TREE_DISCONNECT: requests waiting through the tree are forgotten.
void qv2_cache_tree_gone(qv2_conn *c, uint32_t tree_id);
// The connection's end, once every open was dropped: leaves the hub.
void qv2_cache_end(qv2_conn *c);

// ---- lease.cpp: grants on CREATE, and their breaks ----

// The lease response context's data (version 2 is the longer).
enum : uint32_t { QV2_LEASE_CTX_V1 = 32, QV2_LEASE_CTX_V2 = 52 };

// CREATE, before the open exists: STATUS_INVALID_PARAMETER for a lease key
// this client holds on another file (MS-SMB2 3.3.5.9.8), else 0. `ctx` is
// the "RqLs" context's data (null: none); `host` the file's canonical path.
uint32_t qv2_lease_check(qv2_conn *c, uint8_t level, const uint8_t *ctx, uint32_t len,
                         const char *host);
// CREATE, once the open exists: grants the read-only part of what was asked
// (MS-SMB2 3.3.5.9: a lease of R or RH, or oplock level II; never W, never
// H without R; nothing on folders, the pipe, single-file shares or shares
// whose host gives no events) and watches the file for it. Returns the
// response's OplockLevel; a lease's response context data goes to ctx_out
// (*ctx_len 0: none).
uint8_t qv2_lease_grant(qv2_conn *c, const qv2_open *o, uint8_t level, const uint8_t *ctx,
                        uint32_t len, uint8_t ctx_out[QV2_LEASE_CTX_V2], uint32_t *ctx_len);
// Breaks the leases and oplocks whose file changed (with `news`), and takes
// breaks unacknowledged at `now` as done.
void qv2_lease_poll(qv2_conn *c, bool news, uint64_t now);
// An open's grant goes: its oplock, and its part in a lease (a lease whose
// last open goes is freed, unless its break still awaits an acknowledgment).
void qv2_lease_release(qv2_conn *c, qv2_grant *g);
// The lease with this key, or null.
qv2_lease *qv2_lease_find(qv2_conn *c, const uint8_t key[16]);
// Frees a lease no open holds any more.
void qv2_lease_free(qv2_conn *c, qv2_lease *l);
// Recomputes the earliest break deadline after one was met or dropped.
void qv2_lease_deadlines(qv2_conn *c);

// ---- notify.cpp: CHANGE_NOTIFY requests that wait ----

// Completes the waiting requests whose folder changed.
void qv2_notify_poll(qv2_conn *c);
// CANCEL (MS-SMB2 3.3.5.16): the waiting request it names (by AsyncId when
// the header is async, else by MessageId) completes with STATUS_CANCELLED.
void qv2_notify_cancel(qv2_conn *c, const qv2_hdr *h, const uint8_t *header);
// The waiting requests on an open: completed with NOTIFY_CLEANUP (`answer`)
// or forgotten.
void qv2_notify_open_ends(qv2_conn *c, uint64_t open_id, bool answer);
// Forgets the waiting requests made through a tree.
void qv2_notify_tree_gone(qv2_conn *c, uint32_t tree_id);

// ---- push.cpp: messages the server sends on its own ----

// Starts a server-initiated message in b (emptied first): a 64-byte SMB2
// response header with CreditResponse 0, an async one carrying `async_id`
// when that is not 0, else a sync one with TreeId 0.
void qv2_push_header(qv2_buf *b, uint32_t command, uint32_t status, uint64_t message_id,
                     uint64_t session_id, uint64_t async_id);
// The key a completion for this session is signed with, or null (no such
// session, a guest's, or logged off).
const uint8_t *qv2_push_key(qv2_conn *c, uint64_t session_id);
// The session whose key seals a message for this session (MS-SMB2
// 3.3.4.1.4): it when it encrypts everything, or `asked_sealed` (the
// request came sealed, or the open's tree encrypts) and it can; else null.
qv2_session *qv2_push_sealer(qv2_conn *c, uint64_t session_id, bool asked_sealed);
// The one way a server-initiated message reaches the wire: sealed with
// `seal`'s key when that is not null, else signed with `key` (null:
// unsigned) by the dialect's algorithm; then sent after any reply held back
// for paired signing, through the reply path. Frees b. A message that could
// not be built (b->failed) ends the connection, as a failed reply does.
void qv2_push_send(qv2_conn *c, qv2_buf *b, const uint8_t *key, qv2_session *seal);
