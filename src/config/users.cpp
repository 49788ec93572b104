// The user table (names and passwords for NTLM logons) and the guest rule.
// Guarded by g_lock. A password never outlives its entry: it is wiped when
// replaced or removed, and the slot freed by a removal is wiped too.
#include "config/cfg_internal.h"
#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "foundation/qv2_util.h"

#include <cstring>

namespace {

qv2_user g_users[QV2_MAX_USERS];
int g_nusers = 0;

bool printable(const char *s) {
    for (const char *p = s; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

// Index of the user called exactly `name`, or -1. Caller holds g_lock.
int find_locked(const char *name) {
    for (int i = 0; i < g_nusers; i++)
        if (strcmp(g_users[i].name, name) == 0) return i;
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
    int i = find_locked(user);
    if (i < 0) {
        if (g_nusers >= QV2_MAX_USERS)
            return qv2_fail(DIRIR2I_EFULL, "add_user: %d users", QV2_MAX_USERS);
        i = g_nusers++;
        g_users[i] = qv2_user{};
        memcpy(g_users[i].name, user, ulen + 1);
    }
    qv2_wipe(g_users[i].password, sizeof g_users[i].password);
    memcpy(g_users[i].password, password, plen + 1);
    return 0;
}

extern "C" DIRIR2I_API int dirir2i_remove_user(const char *user) {
    if (!user) return qv2_fail(DIRIR2I_EARG, "remove_user: NULL user");
    std::lock_guard<std::mutex> guard(g_lock);
    int i = find_locked(user);
    if (i < 0) return qv2_fail(DIRIR2I_ENOENT, "remove_user: no such user");
    qv2_wipe(g_users[i].password, sizeof g_users[i].password);
    memmove(&g_users[i], &g_users[i + 1], size_t(g_nusers - i - 1) * sizeof(qv2_user));
    g_nusers--;
    // The last slot still holds a copy of the entry that moved forward.
    qv2_wipe(&g_users[g_nusers], sizeof(qv2_user));
    return 0;
}

int qv2_user_at(int32_t index, char *name, uint64_t name_cap, char *password, uint64_t pw_cap) {
    // An area of 0 bytes can't even hold the terminator: treated as absent.
    if (!name || !password || name_cap == 0 || pw_cap == 0 || index < 0) return DIRIR2I_EARG;
    std::lock_guard<std::mutex> guard(g_lock);
    if (index >= g_nusers) return DIRIR2I_ENOENT;
    copy_cut(name, name_cap, g_users[index].name);
    copy_cut(password, pw_cap, g_users[index].password);
    return 0;
}

int qv2_user_known(const char *name, char *spelling, uint64_t cap) {
    if (!name || !spelling || cap == 0) return -1;
    std::lock_guard<std::mutex> guard(g_lock);
    for (int i = 0; i < g_nusers; i++) {
        if (qv2_casecmp(g_users[i].name, name) == 0) {
            copy_cut(spelling, cap, g_users[i].name);
            return 0;
        }
    }
    return -1;
}

int qv2_guest_allowed(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_opts.guest == 1) return 1;
    if (g_opts.guest == 0) return 0;
    return g_nusers == 0 ? 1 : 0; // auto
}
