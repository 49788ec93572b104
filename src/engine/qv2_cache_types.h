// What a connection holds so that its client may cache: leases, oplocks,
// the folder watches its CHANGE_NOTIFY requests read, and the requests
// waiting for changes. Records only; qv2_cache.h has the functions.
#pragma once

#include "foundation/qv2_types.h"

struct qv2_hub_box;
struct qv2_hub_sub;

// Lease states (MS-SMB2 2.2.13.2.8) and oplock levels (2.2.13).
enum : uint32_t {
    QV2_LEASE_R = 0x01, // read caching
    QV2_LEASE_H = 0x02, // handle caching
    QV2_LEASE_W = 0x04, // write caching: never granted here
};
enum : uint8_t {
    QV2_OPLOCK_NONE = 0x00,
    QV2_OPLOCK_II = 0x01,
    QV2_OPLOCK_EXCLUSIVE = 0x08,
    QV2_OPLOCK_BATCH = 0x09,
    QV2_OPLOCK_LEASE = 0xFF,
};

enum : int32_t {
    QV2_LEASES_MAX = 1024,     // leases per connection; past it, opens get none
    QV2_NOTIFY_WAITS_MAX = 64, // CHANGE_NOTIFY requests waiting per connection
    QV2_BREAK_ACK_MS = 35000,  // an unacknowledged break is taken as done after this
};

// One lease (MS-SMB2 3.3.1.12): the client's key for one file, shared by
// every open it made with that key. Lives while an open holds it, or while
// a break of it awaits its acknowledgment.
struct qv2_lease {
    uint8_t key[16];
    uint32_t state;    // QV2_LEASE_R, with or without QV2_LEASE_H; 0 once broken
    uint32_t break_to; // while `breaking`
    bool breaking;     // a break was sent and its acknowledgment is due
    bool v2;           // asked for with the version 2 context: answered so, with an epoch
    uint16_t epoch;
    uint64_t deadline_ms; // while breaking: when the break is taken as acknowledged
    // The file it covers, by name as MS-SMB2 3.3.5.9.8 has it (a replaced
    // file is still the same file): FNV-1a of the canonical host path.
    uint64_t name_hash;
    int32_t opens;
    qv2_hub_sub *watch; // while `state` has R and no break is under way
    qv2_lease *next;
};

// What one open holds: an oplock, or its part in a lease, or (an open
// folder) the watch its CHANGE_NOTIFY requests read.
struct qv2_grant {
    uint64_t open_id;
    uint64_t session_id; // the open's, for an oplock break's header
    uint8_t oplock;      // QV2_OPLOCK_II, or QV2_OPLOCK_NONE
    bool oplock_breaking;
    uint64_t deadline_ms; // while oplock_breaking
    qv2_lease *lease;
    qv2_hub_sub *watch; // the file an oplock covers, or the folder notifies read
    // A folder's watch, as its first CHANGE_NOTIFY asked for it: later
    // requests on the open keep it (as the document's notify buffer is kept).
    bool tree;
    uint32_t filter;
    qv2_grant *next;
};

// A CHANGE_NOTIFY answered with an interim response and not completed yet.
struct qv2_notify_wait {
    uint64_t async_id;
    uint64_t message_id;
    uint64_t session_id;
    uint32_t tree_id;
    uint64_t open_id;
    uint32_t out_len;      // OutputBufferLength: records that don't fit give ENUM_DIR
    bool sign;             // the request was signed, so is its final response
    bool sealed;           // the request came sealed, so does its final response
    qv2_notify_wait *next; // oldest first
};

// A connection's caching state; all-zero is a connection with none.
struct qv2_cache {
    qv2_hub_box *box; // opened with the first watch
    bool leasing;     // leases and oplocks are offered (the transport can be woken)
    qv2_lease *leases;
    int32_t lease_count;
    qv2_grant *grants;
    qv2_notify_wait *waits;
    int32_t wait_count;
    uint64_t next_async_id;
    uint64_t next_deadline_ms; // the earliest break deadline; 0: none
};
