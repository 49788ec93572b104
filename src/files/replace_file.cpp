// Replacing a whole file by write and rename.
#include "files/qv2_replace_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[maybe_unused]] const char *pick_text(int rc, const char *buf) { return rc == 0 ? buf : ""; }
[[maybe_unused]] const char *pick_text(const char *text, const char *) { return text ? text : ""; }

int fail(char *why, size_t cap, const char *what, int err) {
    char text[128] = "";
    snprintf(why, cap, "%s: %s", what, pick_text(strerror_r(err, text, sizeof text), text));
    return -1;
}

} // namespace

int qv2_file_replace(const char *path, const void *data, size_t len, char *why, size_t cap) {
    size_t n = strlen(path);
    if (n == 0 || n > 4000) {
        snprintf(why, cap, "bad path");
        return -1;
    }
    char tmp[4096];
    snprintf(tmp, sizeof tmp, "%s.XXXXXX", path);
    int fd = mkstemp(tmp);
    if (fd < 0) return fail(why, cap, "create", errno);
    const char *p = static_cast<const char *>(data);
    size_t done = 0;
    int err = 0;
    while (done < len && !err) {
        ssize_t w = write(fd, p + done, len - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) err = w < 0 ? errno : EIO;
        else done += size_t(w);
    }
    // mkstemp makes the file private; collectors run as other users.
    if (!err && fchmod(fd, 0644) != 0) err = errno;
    if (close(fd) != 0 && !err) err = errno;
    if (!err && rename(tmp, path) != 0) err = errno;
    if (err) {
        unlink(tmp);
        return fail(why, cap, "write", err);
    }
    return 0;
}
