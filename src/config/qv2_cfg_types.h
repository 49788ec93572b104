// Configuration records: options, shares, users, and the counter indices.
#pragma once

#include "foundation/qv2_types.h"

// Server options. Always copied whole (qv2_opts_get), never field by field.
struct qv2_opts {
    int32_t guest;              // -1 auto, 1 on, 0 off
    int32_t signing;            // 0 enabled, 1 required
    int32_t ntlm_timecheck;     // 1 on, 0 off
    int32_t max_clients;        // simultaneous client connections
    int32_t idle_timeout_ms;    // a connection may stay silent this long
    int32_t io_timeout_ms;      // bound on a write to a peer that stops reading
    int32_t max_login_failures; // failed logons tolerated on a connection
    int32_t max_credits;        // validated and kept
    int32_t max_handles;        // open handles per connection
    int64_t max_message;        // largest message a client may send (never above 4 MiB)
    int64_t clock;              // Unix seconds used as "now"; 0 = system clock
    char server_name[64];
    int32_t logon_timeout_ms; // a connection must complete a logon within this long
    int32_t max_dialect;      // the highest dialect chosen: 0x0202, 0x0210, 0x0300, 0x0302, 0x0311
    int32_t encryption;       // QV2_ENCRYPT_...
};

// What the `encryption` option allows or asks of SMB 3 sessions.
enum : int32_t {
    QV2_ENCRYPT_OFF = 0,      // never: no cipher is offered
    QV2_ENCRYPT_ENABLED = 1,  // a client may encrypt; its encrypted requests get encrypted replies
    QV2_ENCRYPT_DESIRED = 2,  // SMB 3 sessions are told to encrypt; 2.x clients are served in clear
    QV2_ENCRYPT_REQUIRED = 3, // unencrypted requests, 2.x clients and guests are refused
};

// One key of dirir2i_set_option as help texts show it.
struct qv2_opt_doc {
    const char *key;
    const char *values;
    const char *default_text;
    const char *what;
};

enum : int {
    QV2_SHARE_NAME_MAX = 80,
    QV2_SHARE_PATH_MAX = 1024,
    QV2_USER_NAME_MAX = 128,
    QV2_PASSWORD_MAX = 256,
    QV2_MAX_SHARES = 256,
    QV2_MAX_USERS = 256,
    QV2_MAX_CIDRS = 64,
    QV2_SHARE_USERS_MAX = 1024, // a share's `users` list, names joined by commas
};

// A published folder or file. IPC$ is built in: empty path, is_file 0.
struct qv2_share {
    char name[QV2_SHARE_NAME_MAX + 1];
    char path[QV2_SHARE_PATH_MAX + 1]; // canonical host path, resolved when added
    int32_t is_file;
    // The share's own `encryption` key (QV2_ENCRYPT_ENABLED, _DESIRED or
    // _REQUIRED), or 0: the option's. Filled in by qv2_share_find_for.
    int32_t encryption;
};

struct qv2_user {
    char name[QV2_USER_NAME_MAX + 1];
    char password[QV2_PASSWORD_MAX + 1];
};

// Counter indices, in the order of the JSON text.
enum qv2_stat_index : int {
    QV2_ST_CONNECTIONS = 0,
    QV2_ST_REFUSED_ALLOW,
    QV2_ST_REFUSED_FULL,
    QV2_ST_NEGOTIATE,
    QV2_ST_SESSIONS,
    QV2_ST_GUEST_SESSIONS,
    QV2_ST_LOGON_FAILED,
    QV2_ST_TREES,
    QV2_ST_TREE_REFUSED,
    QV2_ST_OPENS,
    QV2_ST_OPEN_REFUSED,
    QV2_ST_READS,
    QV2_ST_BYTES_SENT,
    QV2_ST_LISTINGS_SENT,
    QV2_ST_MUTATING_REFUSED,
    QV2_ST_IOCTL_REFUSED,
    QV2_ST_BAD_SIGNATURE,
    QV2_ST_PROTOCOL_ERRORS,
    QV2_ST_TIMEOUTS,
    QV2_ST_SIGN_REQUIRED_SESSIONS,
    QV2_ST_SRVSVC_QUERIES,
    QV2_ST_PATH_REFUSED,
    QV2_ST_GRANTS,             // opens given an oplock or a lease
    QV2_ST_BREAKS_SENT,        // oplock and lease break notifications sent
    QV2_ST_BREAKS_ACKED,       // acknowledgments of breaks accepted
    QV2_ST_NOTIFIES_COMPLETED, // CHANGE_NOTIFY requests answered with changes or NOTIFY_ENUM_DIR
    QV2_ST_COUNT
};
