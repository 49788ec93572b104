// The hub: where the host watcher's thread meets the connection threads.
//
// A connection opens a mailbox (a box) with its transport's wake callback
// and subscribes to files (each lease or oplock covers one) and folders
// (each watched by CHANGE_NOTIFY, alone or with everything below it). The
// watcher thread, under the hub's one lock, marks files changed and appends
// FILE_NOTIFY_INFORMATION records (MS-FSCC 2.4.42) to folder subscriptions,
// then wakes the box's connection; it never builds or sends a message. The
// connection thread takes what happened and answers on its own. Boxes and
// subscriptions belong to their connection thread: only it creates, reads
// and ends them, and nothing of them is touched after qv2_hub_close.
#pragma once

#include "config/qv2_cfg_types.h"
#include "foundation/qv2_types.h"

struct qv2_hub_box;
struct qv2_hub_sub;

enum : int32_t {
    QV2_HUB_WATCHES_MAX = 8192,      // host objects watched at once, whole server
    QV2_HUB_CONN_WATCHES_MAX = 1024, // per connection; a watched tree counts each folder
    QV2_HUB_EVENTS_MAX = 256,        // records a folder subscription holds before ENUM_DIR
    QV2_HUB_CONN_BYTES_MAX = 262144, // record bytes a connection's subscriptions hold together
};

// Why a subscription was not made.
enum qv2_hub_result : int32_t {
    QV2_HUB_OK = 0,
    QV2_HUB_NO_EVENTS = 1, // the host reports no changes there (no inotify, a network file system)
    QV2_HUB_LIMIT = 2,     // a watch limit of the connection, the server or the kernel
    QV2_HUB_MISSING = 3,   // the object is gone, or is not of the kind asked for
};

// What qv2_hub_take_records found.
enum : int32_t {
    QV2_HUB_NOTHING = 0,
    QV2_HUB_RECORDS = 1, // records moved out
    QV2_HUB_LOST = 2,    // records were lost, didn't fit, or the watched tree changed shape
};

// Opens a connection's box. `wake(user)` may be null (the connection then
// learns of news only when it asks); otherwise it is called from the watcher
// thread, under the hub's lock, when the box gets news it didn't have, and
// must return at once. Null when out of memory.
qv2_hub_box *qv2_hub_open(void (*wake)(void *), void *user);
// Ends every subscription of the box and frees it; the watcher thread stops
// with the last box.
void qv2_hub_close(qv2_hub_box *b);

// Whether changes under a share reach the hub (the watcher runs and the
// share's file system is local). Says why not in the access log, once per
// share name for the life of the process.
bool qv2_hub_share_watchable(const qv2_share *share);

// Subscribes to a file: any write, truncate, attribute change, replacement,
// rename or deletion of it marks the subscription changed.
qv2_hub_result qv2_hub_watch_file(qv2_hub_box *b, const char *host, qv2_hub_sub **out);
// Subscribes to a folder (with `tree`, to every folder below it too, which
// must all fit the limits) for the changes `filter` selects (MS-FSCC 2.7.1
// CompletionFilter bits).
qv2_hub_result qv2_hub_watch_folder(qv2_hub_box *b, const char *host, bool tree, uint32_t filter,
                                    qv2_hub_sub **out);
// Ends a subscription; *s is reset. Null is ignored.
void qv2_hub_unwatch(qv2_hub_box *b, qv2_hub_sub **s);

// Whether the box got news since the last call; clears the flag. A lock-free
// read, cheap enough to ask after every message.
bool qv2_hub_take_news(qv2_hub_box *b);
// Whether a file subscription's file has changed since it was made.
bool qv2_hub_changed(qv2_hub_box *b, const qv2_hub_sub *s);
// Moves a folder subscription's records into out (replacing its content)
// when they fit `cap` bytes: QV2_HUB_RECORDS. QV2_HUB_LOST when they don't
// fit, some were lost, or the watched tree changed in a way the watches
// can't follow (the records are dropped; answer STATUS_NOTIFY_ENUM_DIR and
// subscribe afresh). QV2_HUB_NOTHING when none are waiting.
int32_t qv2_hub_take_records(qv2_hub_box *b, qv2_hub_sub *s, uint32_t cap, qv2_buf *out);

// For tests: watched host objects, server-wide.
int32_t qv2_hub_watch_count(void);
