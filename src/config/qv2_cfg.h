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

// Shares. Found by name ignoring ASCII case; IPC$ is always found. `out` may
// be null. 0 found, -1 not found.
int qv2_share_find(const char *name, qv2_share *out);
// IPC$ first, then every share sorted by name (ASCII case folded). The caller
// frees *list with free(). 0, or -1 when the array can't be allocated.
int qv2_share_list(qv2_share **list, int32_t *count);

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
