// File-access records: host stat records, resolved share paths, listings.
#pragma once

#include "config/qv2_cfg_types.h"

// Kinds reported by the host file-system layer.
enum : int32_t {
    QV2_FS_FILE = 0,  // regular file
    QV2_FS_DIR = 1,   // directory
    QV2_FS_LINK = 2,  // symbolic link (qv2_fs_lstat only)
    QV2_FS_OTHER = 3, // device, FIFO, socket, anything else
};

// What the host reports about an object. Cleared before filling, so a field
// the host can't supply reads 0. Times are whole Unix seconds.
struct qv2_fs_info {
    int32_t kind;
    uint64_t size;
    int64_t mtime;
    int64_t atime;
    int64_t crtime;
    uint64_t dev; // volume identifier
    uint64_t ino; // file identifier within the volume
    // Status-change time in nanoseconds: it moves with every write, truncate,
    // attribute or link change, so two stats that agree on it (and on ino)
    // saw the same content.
    uint64_t change_ns;
};

// Open directory listing and open read-only file; owned by the opener.
struct qv2_dir;
struct qv2_file;

// Kinds of a resolved share path.
enum : int32_t {
    QV2_V_NONE = 0, // failed resolution
    QV2_V_DIR = 1,
    QV2_V_FILE = 2,
    QV2_V_PIPE = 3, // the pipe namespace of IPC$ (no host object)
};

enum : int {
    QV2_HOST_PATH_CAP = 2050, // resolved host path with terminator
    QV2_REL_PATH_CAP = 1025,  // share-relative path with terminator
    QV2_LISTING_MAX = 100000, // entries kept from one directory
    QV2_ENTRY_NAME_MAX = 255, // bytes of one entry name
};

// What a failed resolution could not find: the last component in a folder
// that exists, or something on the way to it (a missing or unservable
// folder, a file where a folder should be). A name that would lead out of
// the share counts as missing at the component where it leaves.
enum : int32_t {
    QV2_MISSING_NONE = 0,
    QV2_MISSING_LEAF = 1,
    QV2_MISSING_PATH = 2,
};

// A share-relative path resolved to one canonical host object.
struct qv2_vres {
    int32_t kind;
    char host[QV2_HOST_PATH_CAP]; // empty for the pipe
    qv2_share share;              // copy of the share entry
    qv2_fs_info info;             // stat of host (links followed); zero for the pipe
    // The share-relative path ('/' between components) with each component
    // spelled as the host has it, which may differ in case from the request.
    char rel[QV2_REL_PATH_CAP];
    int32_t missing; // after a failure: QV2_MISSING_LEAF or QV2_MISSING_PATH
    int32_t outside; // set on a refusal: the path led out of the share
};

// One directory entry of a listing; `name` is owned by the entry.
struct qv2_vent {
    char *name;
    int32_t kind;        // what the entry is: 0 file, 1 directory, 2 link
    int32_t target_kind; // what it presents as: a link's target kind, else kind
    uint64_t size;       // of the target, for a link
    int64_t mtime;
    int64_t atime;
    int64_t crtime;
    uint64_t dev; // of the entry itself (a link's own, not its target's)
    uint64_t ino;
};
