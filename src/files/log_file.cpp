// The access log's file: append-only writes of whole lines to a path or to
// standard error.
#include "files/qv2_logfile.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

struct qv2_logfile {
    int fd;
    bool owned; // false for standard error
};

namespace {

// The system's text for an errno value, for both strerror_r flavours.
[[maybe_unused]] const char *pick_text(int rc, const char *buf) { return rc == 0 ? buf : ""; }
[[maybe_unused]] const char *pick_text(const char *text, const char *) { return text ? text : ""; }

void reason(char *why, size_t cap, int err) {
    if (!why || cap == 0) return;
    char text[128] = "";
    snprintf(why, cap, "%s", pick_text(strerror_r(err, text, sizeof text), text));
}

} // namespace

qv2_logfile *qv2_logfile_open(const char *path, char *why, size_t cap) {
    if (why && cap) why[0] = 0;
    int fd;
    bool owned = strcmp(path, "-") != 0;
    if (!owned) {
        fd = STDERR_FILENO;
    } else {
        // O_NONBLOCK only for the open itself: a FIFO nobody reads fails
        // with ENXIO instead of holding the caller.
        fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0640);
        if (fd < 0) {
            reason(why, cap, errno);
            return nullptr;
        }
        struct stat st;
        int flags = fcntl(fd, F_GETFL);
        if (fstat(fd, &st) != 0 || flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            reason(why, cap, errno);
            close(fd);
            return nullptr;
        }
        if (S_ISDIR(st.st_mode)) {
            reason(why, cap, EISDIR);
            close(fd);
            return nullptr;
        }
    }
    auto *f = static_cast<qv2_logfile *>(malloc(sizeof(qv2_logfile)));
    if (!f) {
        reason(why, cap, ENOMEM);
        if (owned) close(fd);
        return nullptr;
    }
    f->fd = fd;
    f->owned = owned;
    return f;
}

int qv2_logfile_write(qv2_logfile *f, const char *data, size_t n) {
    if (!f) return -1;
    // A log on a pipe whose reader has gone must not end the process with
    // SIGPIPE: the signal is held back for this thread during the write and
    // taken off again if the write raised it.
    sigset_t pipe_only, saved;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &saved);
    int rc = 0;
    while (n > 0) {
        ssize_t put = write(f->fd, data, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (put < 0 && errno == EPIPE) {
                timespec none{0, 0};
                sigtimedwait(&pipe_only, nullptr, &none);
            }
            rc = -1;
            break;
        }
        data += put;
        n -= size_t(put);
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return rc;
}

void qv2_logfile_close(qv2_logfile *f) {
    if (!f) return;
    if (f->owned) close(f->fd);
    free(f);
}
