// Configuration registry: options, shares, users, allow-list and counters, all
// behind the one configuration lock. Lookups hand out copies, never pointers
// into the tables. The exported setters are declared in include/dirir2i.h.
#pragma once

#include "config/qv2_cfg_types.h"

// Options: a consistent copy of the whole record.
void qv2_opts_get(qv2_opts *out);
// Sets the trace switch from DIRIR2I_TRACE, once per process, unless it is
// set already: "1..." traces everything, any other value the verifier's and
// the configuration's lines only. qv2_opts_get calls it.
void qv2_cfg_trace_init(void);
// The level a value of DIRIR2I_TRACE gives (null: the variable is unset).
int qv2_cfg_trace_level_of(const char *value);

// The NEGOTIATE response's security token, chosen by diagnostic environment
// switches (read at each call, so that a client's reaction can be tried
// without a restart).
enum : int {
    QV2_NEGO_TOKEN_DEFAULT = 0, // the negTokenInit offering NTLMSSP, no mechToken
    QV2_NEGO_TOKEN_RAW_NTLM,    // DIRIR2I_RAW_NTLM_NEGO: a bare CHALLENGE
    QV2_NEGO_TOKEN_SHORT,       // DIRIR2I_SHORT_MECHTOK: a malformed mechToken
    QV2_NEGO_TOKEN_EMPTY,       // DIRIR2I_EMPTY_MECHTOK: an empty mechToken
    QV2_NEGO_TOKEN_NONE,        // DIRIR2I_NO_MECHTOK: the default, asked for
    QV2_NEGO_TOKEN_SAMBA,       // DIRIR2I_SAMBA_TOKEN: the default as one fixed string
};
int qv2_cfg_nego_token(void);
// The keys dirir2i_set_option takes, with their values and defaults, for
// help texts; *count gets the number of entries.
const qv2_opt_doc *qv2_opt_docs(int *count);

// Counters.
void qv2_stat_add(int index, int64_t delta);
int64_t qv2_stat_get(int index);
// JSON name of a counter ("connections", ...); null for an unknown index.
const char *qv2_stat_name(int index);
// Whether a counter says what is open now (and may fall) instead of only
// growing: `connections` and `trees`.
bool qv2_stat_is_gauge(int index);
// One line saying what a counter counts, for metrics readers.
const char *qv2_stat_help(int index);

// Opens and bytes read per share, for the metrics file. Kept by the
// share's name (as configured; "IPC$" for the pipe) for the life of the
// process, also after the share is removed, for at most
// QV2_SHARE_STATS_MAX names; what names beyond those do is not counted.
struct qv2_share_stat {
    char name[QV2_SHARE_NAME_MAX + 1];
    int64_t opens;
    int64_t bytes_read;
};
enum : int { QV2_SHARE_STATS_MAX = 4 * QV2_MAX_SHARES };
void qv2_share_stat_add(const char *share, int64_t opens, int64_t bytes_read);
// Every configured share (IPC$ first; zeros where nothing was counted yet),
// then every other name counted. The caller frees *list with free(). 0, or
// -1 when memory runs out.
int qv2_share_stats(qv2_share_stat **list, int32_t *count);

// Shares. Found by name ignoring ASCII case; IPC$ is always found. `out` may
// be null. 0 found, -1 not found.
int qv2_share_find(const char *name, qv2_share *out);
// IPC$ first, then every share sorted by name (ASCII case folded). The caller
// frees *list with free(). 0, or -1 when the array can't be allocated.
int qv2_share_list(qv2_share **list, int32_t *count);

// Shares as one session sees them, by the access keys of each share
// (share.NAME.users, .guest, .browseable). `user` is the configured name of
// a user session, empty for a guest; `guest` is 1 for a guest session. Each
// call reads the share and its rules in one section under the lock, so a
// configuration put in place meanwhile is seen whole or not at all.
// qv2_share_find_for: as qv2_share_find, or QV2_SHARE_REFUSED when the share
// exists but this session may not open it (IPC$ is open to every session).
enum : int { QV2_SHARE_REFUSED = -2 };
int qv2_share_find_for(const char *name, const char *user, int guest, qv2_share *out);
// qv2_share_list_for: as qv2_share_list, without the shares the session may
// not open and those that are not browseable.
int qv2_share_list_for(const char *user, int guest, qv2_share **list, int32_t *count);

// A whole configuration put in place at once, for a reload. Between
// qv2_cfg_stage_begin and the commit, the exported setters (add and remove
// share and user, allow_cidr, set_option) change a staged configuration
// that starts from the defaults (no share, user or allow-list entry, every
// option at its default, the log off), while connections keep using the
// live one. Counters are never staged. One stage at a time.
// 0, DIRIR2I_ERUNNING when a stage is open already, DIRIR2I_ESYS without memory.
int qv2_cfg_stage_begin(void);
// The live user `name`, password and all, copied into the stage: a user
// whose password was typed at the start can't be asked for again. 0, or
// DIRIR2I_ENOENT.
int qv2_cfg_stage_keep_user(const char *name);
// Opens the staged log (a failure drops the stage and changes nothing:
// the code and message of dirir2i_set_option("log")), then replaces shares,
// users, allow-list and options in one section under the lock: a
// TREE_CONNECT or logon sees the old configuration or the new one, never a
// mix. The same log path given again is reopened. 0 or the log's failure.
int qv2_cfg_stage_commit(void);
// Drops the stage; nothing live changes.
void qv2_cfg_stage_abort(void);

// Users, by position in table order. Copies name and password (each cut to
// its area and NUL-terminated). 0, DIRIR2I_ENOENT past the last user, or
// DIRIR2I_EARG for a negative index or a missing or empty area.
int qv2_user_at(int32_t index, char *name, uint64_t name_cap, char *password, uint64_t pw_cap);
// A configured user whose name equals `name` ignoring ASCII case, as NTLM
// matches names: 0 with its configured spelling in spelling[cap] (no
// password is copied), or -1.
int qv2_user_known(const char *name, char *spelling, uint64_t cap);
// Guest logons admitted? Option `guest` on/off, or auto: only while no user exists.
int qv2_guest_allowed(void);

// Client admission: loopback always; otherwise any matching allow-list entry.
int qv2_client_allowed(const qv2_ip *ip);
