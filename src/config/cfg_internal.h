// Shared by the configuration sources only: the configuration lock, the
// option record it guards, a share's access rules, and the hooks through
// which a staged configuration replaces the live one. Nothing outside
// src/config includes this.
#pragma once

#include "config/qv2_cfg_types.h"
#include "foundation/qv2_util.h"

#include <mutex>
#include <new>

// Guards g_opts, the share/user/allow-list tables and the counters. Always
// taken exclusively, for one copy, one table scan or one counter update.
extern std::mutex g_lock;
extern qv2_opts g_opts;

// Who may open a share and whether it is listed. All zero is the default:
// every session may open it (guests too) and it is listed.
struct qv2_share_rules {
    // "alice,bob": only these users (names compared exactly, as configured);
    // empty: every user.
    char users[QV2_SHARE_USERS_MAX + 1];
    int32_t guest;  // QV2_RULE_DEFAULT (guests unless `users` is set), _YES or _NO
    int32_t hidden; // 1: left out of share lists (browseable = no)
    int32_t encryption; // 0: as the `encryption` option says; else QV2_ENCRYPT_...
};
enum : int32_t { QV2_RULE_DEFAULT = 0, QV2_RULE_YES = 1, QV2_RULE_NO = 2 };

// share_access.cpp. Sets one attribute ("users", "guest", "browseable",
// "encryption") of
// the rules of share `share` from its option text. 0, or DIRIR2I_EARG with
// a message that names the key; a failure leaves *r as it was.
int qv2_rules_set(qv2_share_rules *r, const char *share, const char *attr, const char *value);
// Whether a session may open a share with these rules: user is the
// configured name of a user session, empty for a guest; guest 1 for a guest.
bool qv2_rules_admit(const qv2_share_rules *r, const char *user, int guest);

// shares.cpp: dirir2i_set_option for "share.NAME.KEY" (rest is "NAME.KEY"):
// the access keys above, and `path`, which moves the share to another folder
// or file. 0 or a code with the message.
int qv2_share_set_option(const char *rest, const char *value);

// A staged configuration (staging.cpp): each table keeps a second copy
// beside the live one while a stage is open, and the exported setters
// change that copy. Every hook but the swap is called without g_lock.
enum qv2_stage_step : int {
    QV2_STAGE_OPEN,  // make an empty copy (default options); -1 without memory
    QV2_STAGE_SWAP,  // g_lock held: the copy becomes the live table
    QV2_STAGE_CLOSE, // free the copy (wiping secrets)
};
// The hook of a table kept as `live` beside its copy `staged`: OPEN makes
// an empty copy, SWAP copies it over the live one, CLOSE frees it (wiped
// first when it holds secrets).
template <class Table>
int qv2_stage_table(qv2_stage_step step, Table &live, Table *&staged, bool secret = false) {
    if (step == QV2_STAGE_OPEN) {
        staged = new (std::nothrow) Table();
        return staged ? 0 : -1;
    }
    if (step == QV2_STAGE_SWAP) {
        live = *staged;
        return 0;
    }
    if (staged && secret) qv2_wipe(staged, sizeof *staged);
    delete staged;
    staged = nullptr;
    return 0;
}
int qv2_shares_stage(qv2_stage_step step);
int qv2_users_stage(qv2_stage_step step);
int qv2_allow_stage(qv2_stage_step step);
int qv2_opts_stage(qv2_stage_step step);
// Whether a stage is open; changes only under g_lock.
extern bool g_staging;
// The user called exactly `name` of the live table copied into the stage.
// 0, or DIRIR2I_ENOENT. Caller holds g_lock.
int qv2_users_keep_locked(const char *name);
// Where a staged `log` and `log_format` wait for the commit (options.cpp):
// copies of the texts last set, or empty.
void qv2_opts_staged_log(char *path, size_t path_cap, char *format, size_t format_cap);
