// The host watcher: one inotify descriptor and one thread that reads it and
// hands each batch of events to the sink; and the file-system check that
// says whether a share's files can be watched at all.
//
// The thread waits in poll on the inotify descriptor and on an eventfd that
// qv2_watch_stop writes, so a stop never waits for a host event. The state
// lock is held only to start, stop, add or remove, never while the sink runs
// or the thread is joined: the sink may call qv2_watch_add itself.
#include "files/qv2_watch.h"

#include "foundation/qv2_util.h"
#include "platform/qv2_platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// One read of events: with names of up to 255 bytes, at least 200 events.
constexpr size_t kReadArea = 65536;
constexpr int32_t kBatchMax = int32_t(kReadArea / sizeof(inotify_event));

constexpr uint32_t kFileMask =
    IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW;
constexpr uint32_t kFolderMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                 IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                 IN_DONT_FOLLOW | IN_EXCL_UNLINK;

struct watcher {
    std::mutex lock;
    int running = 0;
    int ino_fd = -1;
    int stop_fd = -1;
    qv2_thread thread{};
    qv2_watch_sink sink = nullptr;
    void *user = nullptr;
};

watcher g;

uint32_t translate(uint32_t mask) {
    uint32_t what = 0;
    if (mask & IN_MODIFY) what |= QV2_WATCH_WRITTEN;
    if (mask & IN_ATTRIB) what |= QV2_WATCH_ATTRIB;
    if (mask & IN_CREATE) what |= QV2_WATCH_ADDED;
    if (mask & IN_DELETE) what |= QV2_WATCH_REMOVED;
    if (mask & IN_MOVED_FROM) what |= QV2_WATCH_MOVED_FROM;
    if (mask & IN_MOVED_TO) what |= QV2_WATCH_MOVED_TO;
    if (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) what |= QV2_WATCH_GONE;
    if (mask & IN_ISDIR) what |= QV2_WATCH_IS_DIR;
    if (mask & IN_IGNORED) what |= QV2_WATCH_ENDED;
    if (mask & IN_Q_OVERFLOW) what |= QV2_WATCH_LOST;
    return what;
}

struct thread_args {
    int ino_fd;
    int stop_fd;
    qv2_watch_sink sink;
    void *user;
};

// Reads and delivers events until the stop descriptor is written. The
// descriptors belong to whoever joins this thread.
void watch_main(void *p) {
    thread_args a = *static_cast<thread_args *>(p);
    free(p);
    // On the heap: a batch and the read area are too big for a thread's stack.
    struct areas {
        alignas(inotify_event) char read[kReadArea];
        qv2_watch_event batch[kBatchMax];
    };
    auto *mem = static_cast<areas *>(malloc(sizeof(areas)));
    if (!mem) return; // the descriptors stay with the joiner; no event is ever delivered
    char *area = mem->read;
    qv2_watch_event *batch = mem->batch;
    for (;;) {
        pollfd fds[2] = {{a.ino_fd, POLLIN, 0}, {a.stop_fd, POLLIN, 0}};
        int ready = poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;
        if (!(fds[0].revents & POLLIN)) {
            if (fds[0].revents & (POLLERR | POLLNVAL)) break;
            continue;
        }
        ssize_t got = read(a.ino_fd, area, kReadArea);
        if (got <= 0) continue; // EAGAIN, EINTR: poll again
        int32_t n = 0;
        for (size_t at = 0; at + sizeof(inotify_event) <= size_t(got) && n < kBatchMax;) {
            const auto *e = reinterpret_cast<const inotify_event *>(area + at);
            batch[n].wd = e->wd;
            batch[n].what = translate(e->mask);
            batch[n].cookie = e->cookie;
            batch[n].name = e->len ? e->name : "";
            n++;
            at += sizeof(inotify_event) + e->len;
        }
        if (n > 0) a.sink(a.user, batch, n);
    }
    free(mem);
}

// The f_type values of file systems whose files other machines (or a
// user-space daemon) change without this host's kernel seeing it.
struct remote_fs {
    uint32_t magic;
    const char *kind;
};
constexpr remote_fs kRemote[] = {
    {0x6969, "nfs"},       {0x517B, "smb"},      {0xFF534D42, "cifs"},   {0xFE534D42, "smb2"},
    {0x65735546, "fuse"},  {0x01021997, "9p"},   {0x00C36400, "ceph"},   {0x5346414F, "afs"},
    {0x6B414653, "afs"},   {0x73757245, "coda"}, {0x564C, "ncp"},        {0x01161970, "gfs2"},
    {0x7461636F, "ocfs2"}, {0x47504653, "gpfs"}, {0x0BD00BD0, "lustre"}, {0x19830326, "fhgfs"},
};

} // namespace

int qv2_watch_start(qv2_watch_sink sink, void *user) {
    if (!sink) return -1;
    std::lock_guard<std::mutex> guard(g.lock);
    if (g.running) return 0;
    int ino = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (ino < 0) return -1;
    int stop = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    auto *args = static_cast<thread_args *>(malloc(sizeof(thread_args)));
    if (stop < 0 || !args) {
        free(args);
        if (stop >= 0) close(stop);
        close(ino);
        return -1;
    }
    *args = thread_args{ino, stop, sink, user};
    if (qv2_thread_start(&g.thread, watch_main, args) != 0) {
        free(args);
        close(stop);
        close(ino);
        return -1;
    }
    g.ino_fd = ino;
    g.stop_fd = stop;
    g.sink = sink;
    g.user = user;
    g.running = 1;
    return 0;
}

void qv2_watch_stop(void) {
    int ino, stop;
    qv2_thread t;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        if (!g.running) return;
        ino = g.ino_fd;
        stop = g.stop_fd;
        t = g.thread;
        g.ino_fd = g.stop_fd = -1;
        g.running = 0;
    }
    uint64_t one = 1;
    while (write(stop, &one, sizeof one) < 0 && errno == EINTR) {
    }
    qv2_thread_join(&t);
    close(stop);
    close(ino); // every watch ends with the descriptor
}

int qv2_watch_add(const char *path, int32_t folder, int32_t *wd) {
    if (!path || !*path || !wd) return -1;
    std::lock_guard<std::mutex> guard(g.lock);
    if (!g.running) return -1;
    int w = inotify_add_watch(g.ino_fd, path, folder ? kFolderMask : kFileMask);
    if (w < 0) return -1;
    *wd = w;
    return 0;
}

void qv2_watch_remove(int32_t wd) {
    std::lock_guard<std::mutex> guard(g.lock);
    if (g.running) inotify_rm_watch(g.ino_fd, wd);
}

int qv2_fs_reports_changes(const char *path, char *kind, int32_t cap) {
    if (kind && cap > 0) kind[0] = 0;
    struct statfs sf;
    if (!path || statfs(path, &sf) != 0) return -1;
    uint32_t magic = uint32_t(sf.f_type);
    for (const remote_fs &r : kRemote) {
        if (r.magic != magic) continue;
        if (kind && cap > 0) snprintf(kind, size_t(cap), "%s", r.kind);
        return 0;
    }
    return 1;
}
