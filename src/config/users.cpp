// The user table (names and passwords for NTLM logons) and the guest rule.
// Guarded by g_lock. A password never outlives its entry: it is wiped when
// replaced or removed, and the slot freed by a removal is wiped too.
#include "config/cfg_internal.h"
#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "foundation/qv2_util.h"

#include <cstring>

namespace {

struct user_table {
    qv2_user users[QV2_MAX_USERS];
    int n;
};

user_table g_live;
user_table *g_staged = nullptr; // while a stage is open

// The table the setters change. Caller holds g_lock.
user_table &target() { return g_staging ? *g_staged : g_live; }

bool printable(const char *s) {
    for (const char *p = s; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

// Index of the user called exactly `name`, or -1. Caller holds g_lock.
int find_locked(const user_table &t, const char *name) {
    for (int i = 0; i < t.n; i++)
        if (strcmp(t.users[i].name, name) == 0) return i;
    return -1;
}

void copy_cut(char *dst, uint64_t cap, const char *src) {
    size_t len = strlen(src);
    if (len > cap - 1) len = size_t(cap - 1);
    memcpy(dst, src, len);
    dst[len] = 0;
}

} // namespace

extern "C" DIRIR2I_API int dirir2i_add_user(const char *user, const char *password) {
    if (!user || !password) return qv2_fail(DIRIR2I_EARG, "add_user: NULL argument");
    size_t ulen = strlen(user);
    if (ulen == 0 || ulen > size_t(QV2_USER_NAME_MAX) || !printable(user))
        return qv2_fail(DIRIR2I_EARG, "add_user: user must be 1..%d printable bytes", QV2_USER_NAME_MAX);
    if (strchr(user, '\\') || strchr(user, '/'))
        return qv2_fail(DIRIR2I_EARG,
                        "add_user: the user name carries no domain (the domain is ignored)");
    size_t plen = strlen(password);
    if (plen > size_t(QV2_PASSWORD_MAX) || !printable(password))
        return qv2_fail(DIRIR2I_EARG, "add_user: password must be 0..%d printable bytes",
                        QV2_PASSWORD_MAX);

    std::lock_guard<std::mutex> guard(g_lock);
    user_table &t = target();
    int i = find_locked(t, user);
    if (i < 0) {
        if (t.n >= QV2_MAX_USERS)
            return qv2_fail(DIRIR2I_EFULL, "add_user: %d users", QV2_MAX_USERS);
        i = t.n++;
        t.users[i] = qv2_user{};
        memcpy(t.users[i].name, user, ulen + 1);
    }
    qv2_wipe(t.users[i].password, sizeof t.users[i].password);
    memcpy(t.users[i].password, password, plen + 1);
    return 0;
}

extern "C" DIRIR2I_API int dirir2i_remove_user(const char *user) {
    if (!user) return qv2_fail(DIRIR2I_EARG, "remove_user: NULL user");
    std::lock_guard<std::mutex> guard(g_lock);
    user_table &t = target();
    int i = find_locked(t, user);
    if (i < 0) return qv2_fail(DIRIR2I_ENOENT, "remove_user: no such user");
    qv2_wipe(t.users[i].password, sizeof t.users[i].password);
    memmove(&t.users[i], &t.users[i + 1], size_t(t.n - i - 1) * sizeof(qv2_user));
    t.n--;
    // The last slot still holds a copy of the entry that moved forward.
    qv2_wipe(&t.users[t.n], sizeof(qv2_user));
    return 0;
}

int qv2_user_at(int32_t index, char *name, uint64_t name_cap, char *password, uint64_t pw_cap) {
    // An area of 0 bytes can't even hold the terminator: treated as absent.
    if (!name || !password || name_cap == 0 || pw_cap == 0 || index < 0) return DIRIR2I_EARG;
    std::lock_guard<std::mutex> guard(g_lock);
    if (index >= g_live.n) return DIRIR2I_ENOENT;
    copy_cut(name, name_cap, g_live.users[index].name);
    copy_cut(password, pw_cap, g_live.users[index].password);
    return 0;
}

int qv2_user_known(const char *name, char *spelling, uint64_t cap) {
    if (!name || !spelling || cap == 0) return -1;
    std::lock_guard<std::mutex> guard(g_lock);
    for (int i = 0; i < g_live.n; i++) {
        if (qv2_casecmp(g_live.users[i].name, name) == 0) {
            copy_cut(spelling, cap, g_live.users[i].name);
            return 0;
        }
    }
    return -1;
}

int qv2_guest_allowed(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_opts.guest == 1) return 1;
    if (g_opts.guest == 0) return 0;
    return g_live.n == 0 ? 1 : 0; // auto
}

int qv2_users_keep_locked(const char *name) {
    int i = find_locked(g_live, name);
    if (i < 0 || !g_staging) return DIRIR2I_ENOENT;
    user_table &t = *g_staged;
    int k = find_locked(t, name);
    if (k < 0) {
        if (t.n >= QV2_MAX_USERS) return DIRIR2I_EFULL;
        k = t.n++;
    }
    t.users[k] = g_live.users[i];
    return 0;
}

// The swap copies the whole array, so every password of the old table is
// overwritten; the staged copy is wiped before it is freed.
int qv2_users_stage(qv2_stage_step step) {
    return qv2_stage_table(step, g_live, g_staged, true);
}
