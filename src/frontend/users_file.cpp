// Users for the command line without passwords on it: the users file, and
// the password of `--user NAME` from the environment or the terminal.
#include "frontend/qv2_front.h"

#include "config/qv2_cfg_types.h"
#include "dirir2i.h"
#include "files/qv2_secret_input.h"
#include "security/qv2_crypto.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// 256 users of 128-byte names and 256-byte passwords, with room for comments.
constexpr size_t kFileMax = 1 << 20;

// Files in the folder systemd passes credentials in are private to the
// service already, and may show group bits: systemd grants the service's
// user read access through an ACL, whose mask the group bits then mirror.
bool in_credentials_folder(const char *path) {
    const char *dir = getenv("CREDENTIALS_DIRECTORY");
    if (!dir || !*dir) return false;
    size_t n = strlen(dir);
    while (n > 1 && dir[n - 1] == '/') n--;
    return strncmp(path, dir, n) == 0 && path[n] == '/';
}

// Adds the user of one line (NUL-terminated, CR dropped). 0 for a user
// added or a line without one, else -1 with the message.
int add_line(char *line, const char *path, int number, int *users, char *msg, size_t cap) {
    const char *p = line;
    while (*p == ' ' || *p == '\t') p++;
    if (*p == 0 || *p == '#') return 0;
    char *colon = strchr(line, ':');
    if (!colon) {
        snprintf(msg, cap, "--users-file: %.200s line %d: needs NAME:PASSWORD", path, number);
        return -1;
    }
    *colon = 0;
    // An empty password would be a mistake more often than a choice, and a
    // user anyone can log on as.
    if (colon[1] == 0) {
        snprintf(msg, cap, "--users-file: %.200s line %d: empty password", path, number);
        return -1;
    }
    if (dirir2i_add_user(line, colon + 1) != 0) {
        snprintf(msg, cap, "--users-file: %.200s line %d: %s", path, number, dirir2i_last_error());
        return -1;
    }
    (*users)++;
    return 0;
}

} // namespace

int qv2_users_file_load(const char *path, char *msg, size_t cap) {
    char *text = static_cast<char *>(malloc(kFileMax));
    if (!text) {
        snprintf(msg, cap, "--users-file: out of memory");
        return -1;
    }
    size_t len = 0;
    char why[160];
    int rc = qv2_secret_file_read(path, !in_credentials_folder(path), text, kFileMax, &len, why,
                                  sizeof why);
    if (rc != 0) snprintf(msg, cap, "--users-file: %.200s: %s", path, why);
    int number = 0, users = 0;
    for (char *line = text; rc == 0 && line < text + len;) {
        char *end = static_cast<char *>(memchr(line, '\n', size_t(text + len - line)));
        if (!end) end = text + len;
        *end = 0;
        if (end > line && end[-1] == '\r') end[-1] = 0;
        rc = add_line(line, path, ++number, &users, msg, cap);
        line = end + 1;
    }
    if (rc == 0 && users == 0) {
        // Without users the server would admit guests: not what a users
        // file is given for.
        snprintf(msg, cap, "--users-file: %.200s names no user", path);
        rc = -1;
    }
    qv2_wipe(text, kFileMax);
    free(text);
    return rc;
}

int qv2_password_for(const char *user, char *out, size_t cap, char *msg, size_t mcap) {
    const char *env = getenv("DIRIR2I_PASSWORD");
    if (env) {
        // Set but empty is most likely a variable that was meant to hold
        // one; an empty password would let anyone in as this user.
        if (!*env) {
            snprintf(msg, mcap, "--user %.128s: DIRIR2I_PASSWORD is empty", user);
            return -1;
        }
        if (strlen(env) >= cap) {
            snprintf(msg, mcap, "--user %.128s: the password is longer than %zu bytes", user, cap - 1);
            return -1;
        }
        memcpy(out, env, strlen(env) + 1);
        return 0;
    }
    char prompt[160];
    snprintf(prompt, sizeof prompt, "Password for %.128s: ", user);
    int rc = qv2_secret_tty_read(prompt, out, cap);
    if (rc == -2) {
        snprintf(msg, mcap, "--user %.128s: the password is longer than %zu bytes", user, cap - 1);
        return -1;
    }
    if (rc != 0) {
        snprintf(msg, mcap,
                 "--user %.128s: no password (give NAME:PASSWORD, set DIRIR2I_PASSWORD or run on a "
                 "terminal)",
                 user);
        return -1;
    }
    if (!*out) {
        snprintf(msg, mcap, "--user %.128s: empty password", user);
        return -1;
    }
    return 0;
}
