// Per-share access: the `users`, `guest` and `browseable` keys of a share
// (dirir2i_set_option("share.NAME.KEY", ...)) and the decision they make
// for a session at TREE_CONNECT and in share lists.
#include "config/cfg_internal.h"
#include "dirir2i.h"
#include "foundation/qv2_util.h"

#include <cstring>
#include <iterator>

namespace {

struct yes_no {
    const char *text;
    bool yes;
};
const yes_no kYesNo[] = {{"yes", true}, {"on", true},  {"1", true}, {"true", true},
                         {"no", false}, {"off", false}, {"0", false}, {"false", false}};

int parse_yes_no(const char *value, bool *yes) {
    for (const yes_no &w : kYesNo) {
        if (strcmp(w.text, value) == 0) {
            *yes = w.yes;
            return 0;
        }
    }
    return -1;
}

bool blank(char c) { return c == ' ' || c == '\t'; }

// "alice, bob" -> "alice,bob": names split at commas, blanks around them
// dropped, each one a name dirir2i_add_user would take. An empty text is
// the empty list. 0, or -1 with the message.
int normalise_users(const char *share, const char *value, char *out) {
    size_t at = 0;
    const char *p = value;
    while (*p && blank(*p)) p++;
    if (*p == 0) {
        out[0] = 0;
        return 0;
    }
    for (;;) {
        while (blank(*p)) p++;
        const char *end = p;
        while (*end && *end != ',') end++;
        const char *last = end;
        while (last > p && blank(last[-1])) last--;
        size_t n = size_t(last - p);
        if (n == 0)
            return qv2_fail(DIRIR2I_EARG, "share.%s.users: an empty name in the list", share);
        if (n > size_t(QV2_USER_NAME_MAX))
            return qv2_fail(DIRIR2I_EARG, "share.%s.users: a name longer than %d bytes", share,
                            QV2_USER_NAME_MAX);
        for (const char *c = p; c < last; c++) {
            unsigned char u = static_cast<unsigned char>(*c);
            if (u < 0x20 || u == 0x7F || u == '\\' || u == '/')
                return qv2_fail(DIRIR2I_EARG,
                                "share.%s.users: names are printable, without \\ or /", share);
        }
        if (at + (at ? 1 : 0) + n > size_t(QV2_SHARE_USERS_MAX))
            return qv2_fail(DIRIR2I_EARG, "share.%s.users: longer than %d bytes", share,
                            QV2_SHARE_USERS_MAX);
        if (at) out[at++] = ',';
        memcpy(out + at, p, n);
        at += n;
        if (*end == 0) break;
        p = end + 1;
    }
    out[at] = 0;
    return 0;
}

// Whether `user` is one of the comma-joined names of `list`.
bool listed(const char *list, const char *user) {
    size_t n = strlen(user);
    for (const char *p = list; *p;) {
        const char *end = strchr(p, ',');
        size_t len = end ? size_t(end - p) : strlen(p);
        if (len == n && memcmp(p, user, n) == 0) return true;
        if (!end) break;
        p = end + 1;
    }
    return false;
}

} // namespace

int qv2_rules_set(qv2_share_rules *r, const char *share, const char *attr, const char *value) {
    if (strcmp(attr, "users") == 0) {
        char list[QV2_SHARE_USERS_MAX + 1];
        if (normalise_users(share, value, list) != 0) return DIRIR2I_EARG;
        memcpy(r->users, list, strlen(list) + 1);
        return 0;
    }
    bool yes = false;
    if (strcmp(attr, "guest") == 0) {
        if (parse_yes_no(value, &yes) != 0)
            return qv2_fail(DIRIR2I_EARG, "share.%s.guest: yes or no", share);
        r->guest = yes ? QV2_RULE_YES : QV2_RULE_NO;
        return 0;
    }
    if (strcmp(attr, "browseable") == 0) {
        if (parse_yes_no(value, &yes) != 0)
            return qv2_fail(DIRIR2I_EARG, "share.%s.browseable: yes or no", share);
        r->hidden = yes ? 0 : 1;
        return 0;
    }
    if (strcmp(attr, "encryption") == 0) {
        static const struct {
            const char *text;
            int32_t value;
        } kinds[] = {{"enabled", QV2_ENCRYPT_ENABLED},
                     {"desired", QV2_ENCRYPT_DESIRED},
                     {"required", QV2_ENCRYPT_REQUIRED}};
        for (const auto &k : kinds)
            if (strcmp(value, k.text) == 0) {
                r->encryption = k.value;
                return 0;
            }
        return qv2_fail(DIRIR2I_EARG, "share.%s.encryption: enabled, desired or required", share);
    }
    return qv2_fail(DIRIR2I_EARG, "unknown option share.%s.%.64s", share, attr);
}

bool qv2_rules_admit(const qv2_share_rules *r, const char *user, int guest) {
    if (guest) return r->guest == QV2_RULE_YES || (r->guest == QV2_RULE_DEFAULT && !r->users[0]);
    return !r->users[0] || listed(r->users, user ? user : "");
}
