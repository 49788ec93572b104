// Configuration registry: options, shares, users, allow-list and counters, all
// behind the one configuration lock. Lookups hand out copies, never pointers
// into the tables. The exported setters are declared in include/dirir2i.h.
#pragma once

#include "config/qv2_cfg_types.h"

// Options: a consistent copy of the whole record.
void qv2_opts_get(qv2_opts *out);
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
// its area and NUL-terminated). 0, or 1 when there is no such index or an
// area is missing.
int qv2_user_at(int32_t index, char *name, uint64_t name_cap, char *password, uint64_t pw_cap);
// A configured user whose name equals `name` ignoring ASCII case, as NTLM
// matches names: 0 with its configured spelling in spelling[cap] (no
// password is copied), or -1.
int qv2_user_known(const char *name, char *spelling, uint64_t cap);
// Guest logons admitted? Option `guest` on/off, or auto: only while no user exists.
int qv2_guest_allowed(void);

// Client admission: loopback always; otherwise any matching allow-list entry.
int qv2_client_allowed(const qv2_ip *ip);
