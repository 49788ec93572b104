// Reading secrets from the host: a file only its owner may read, and a
// password typed at the controlling terminal without echo.
#include "files/qv2_secret_input.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The system's text for an errno value, for both strerror_r flavours.
[[maybe_unused]] const char *pick_text(int rc, const char *buf) { return rc == 0 ? buf : ""; }
[[maybe_unused]] const char *pick_text(const char *text, const char *) { return text ? text : ""; }

int fail(char *why, size_t cap, const char *text) {
    snprintf(why, cap, "%s", text);
    return -1;
}

int fail_errno(char *why, size_t cap, int err) {
    char text[128] = "";
    return fail(why, cap, pick_text(strerror_r(err, text, sizeof text), text));
}

} // namespace

int qv2_secret_file_read(const char *path, bool private_only, char *out, size_t cap, size_t *len,
                         char *why, size_t why_cap) {
    *len = 0;
    if (cap == 0) return fail(why, why_cap, "no room");
    out[0] = 0;
    // O_NONBLOCK: a FIFO put in the file's place fails the checks below
    // instead of holding the command until someone writes to it.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return fail_errno(why, why_cap, errno);
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        return fail_errno(why, why_cap, err);
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return fail(why, why_cap, "not a regular file");
    }
    if (private_only && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        close(fd);
        return fail(why, why_cap, "group or others may access it (chmod 600 it)");
    }
    if (uint64_t(st.st_size) >= cap) {
        close(fd);
        snprintf(why, why_cap, "larger than %zu bytes", cap - 1);
        return -1;
    }
    size_t got = 0;
    while (got < cap - 1) {
        ssize_t n = read(fd, out + got, cap - 1 - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            close(fd);
            memset(out, 0, got);
            return fail_errno(why, why_cap, err);
        }
        if (n == 0) break;
        got += size_t(n);
    }
    close(fd);
    out[got] = 0;
    *len = got;
    return 0;
}

int qv2_secret_tty_read(const char *prompt, char *out, size_t cap) {
    if (cap == 0) return -2;
    out[0] = 0;
    int fd = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    termios saved;
    if (tcgetattr(fd, &saved) != 0) {
        close(fd);
        return -1;
    }
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    quiet.c_lflag |= ECHONL | ICANON;
    // Echo goes off (and what was typed ahead is dropped) before the prompt
    // shows: whatever is typed after the prompt is kept, and not echoed.
    if (tcsetattr(fd, TCSAFLUSH, &quiet) != 0) {
        close(fd);
        return -1;
    }
    if (write(fd, prompt, strlen(prompt)) < 0) {
        tcsetattr(fd, TCSAFLUSH, &saved);
        close(fd);
        return -1;
    }
    // One byte at a time up to the line feed, so nothing after the line
    // is taken from the terminal.
    size_t n = 0;
    int rc = -1;
    for (;;) {
        char ch;
        ssize_t got = read(fd, &ch, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break; // end of input before a line feed
        if (ch == '\n') {
            rc = n <= cap - 1 ? 0 : -2;
            break;
        }
        if (n < cap - 1) out[n] = ch;
        n++;
    }
    tcsetattr(fd, TCSAFLUSH, &saved);
    close(fd);
    if (rc != 0) {
        memset(out, 0, cap);
        return rc;
    }
    out[n] = 0;
    return 0;
}
