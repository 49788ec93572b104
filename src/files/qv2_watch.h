// Host change events: one inotify descriptor and one thread for the whole
// process, which hands every batch of events it reads to the sink it was
// started with. Nothing here knows about clients or messages: the sink
// decides who is told, and must not block for long (the next batch waits).
#pragma once

#include "foundation/qv2_types.h"

// What an event says (several bits may be set).
enum : uint32_t {
    QV2_WATCH_WRITTEN = 0x001,    // data written, or the size changed (a truncate)
    QV2_WATCH_ATTRIB = 0x002,     // times, mode, owner or link count (a replaced file too)
    QV2_WATCH_ADDED = 0x004,      // `name` was created in the watched folder
    QV2_WATCH_REMOVED = 0x008,    // `name` was deleted from the watched folder
    QV2_WATCH_MOVED_FROM = 0x010, // `name` was renamed away; `cookie` pairs it with...
    QV2_WATCH_MOVED_TO = 0x020,   // ...the name it got (or a name moved in from elsewhere)
    QV2_WATCH_GONE = 0x040,       // the watched object itself was deleted or renamed
    QV2_WATCH_IS_DIR = 0x080,     // `name` (or the watched object) is a folder
    QV2_WATCH_ENDED = 0x100,      // the watch no longer exists; its wd may be handed out again
    QV2_WATCH_LOST = 0x200,       // the kernel dropped events (wd is -1): assume anything changed
};

struct qv2_watch_event {
    int32_t wd;      // as qv2_watch_add gave it
    uint32_t what;   // QV2_WATCH_* bits
    uint32_t cookie; // the same for the two halves of a rename, else 0
    const char
        *name; // an entry of a watched folder, "" for the object itself; valid during the call
};

// Called on the watcher thread with the events of one read, in the order
// the kernel reported them.
typedef void (*qv2_watch_sink)(void *user, const qv2_watch_event *events, int32_t n);

// Starts the watcher thread (once; later calls while it runs change
// nothing). 0, or -1 when the host gives no events (no inotify, out of
// descriptors) or the thread can't start.
int qv2_watch_start(qv2_watch_sink sink, void *user);
// Stops the thread and forgets every watch. Joins the thread, so never call
// it while holding a lock the sink takes.
void qv2_watch_stop(void);
// Watches a file (folder 0) or a folder (folder 1) at a canonical host path,
// following no final link. The kernel gives one wd per object, so watching
// an object twice gives the same wd. 0 with *wd, or -1 (missing, not of that
// kind, a kernel limit, or the watcher isn't running).
int qv2_watch_add(const char *path, int32_t folder, int32_t *wd);
// Ends a watch; its last events may still arrive, followed by ENDED.
void qv2_watch_remove(int32_t wd);

// Whether changes made to the file system holding `path` reach this host's
// watches: 1 for a local file system; 0 for a network, cluster or FUSE one,
// whose other clients change files unseen (`kind` then names it: "nfs",
// "smb", "fuse", ...); -1 when the path can't be examined.
int qv2_fs_reports_changes(const char *path, char *kind, int32_t cap);
