// Host file-system layer: the only code that touches the host's files.
// Paths are NUL-terminated UTF-8; a path that is not valid UTF-8 fails.
// Nothing here writes the error slot: every failure is -1 or null, and
// callers treat it as a missing object. Nothing here creates, writes,
// renames or deletes anything.
//
// On Linux: crtime is the birth time where the file system reports one (else
// the modification time), dev is st_dev widened to 64 bits, ino is st_ino,
// and a directory reports size 0.
#pragma once

#include "files/qv2_fs_types.h"

// Stat without following a final link (kind 2 for a link). 0 or -1.
int qv2_fs_lstat(const char *path, qv2_fs_info *info);
// Stat following links (kind never 2). 0 or -1.
int qv2_fs_stat(const char *path, qv2_fs_info *info);
// Canonical absolute path of an existing object, every link resolved, into
// out[cap]. -1 when missing or when the result does not fit (length >= cap).
int qv2_fs_realpath(const char *path, char *out, int32_t cap);
// The host's path separator.
char qv2_fs_sep(void);

// Directory listing; never yields "." or "..", nor names whose UTF-8 form
// with terminator exceeds 1024 bytes. The returned name lives in the
// qv2_dir until the next call on it.
qv2_dir *qv2_fs_opendir(const char *path);
// The same for a canonical path (absolute, no "." or ".."), following no
// link on any of its components: a folder swapped for a link since the path
// was resolved fails the open instead of leading elsewhere.
qv2_dir *qv2_fs_opendir_nofollow(const char *path);
const char *qv2_fs_readdir(qv2_dir *dir);
// Stat of the entry `name` (a plain name, no separator) of the open
// directory, relative to the directory itself; a link is reported as kind 2,
// not followed. 0 or -1.
int qv2_fs_lstatat(qv2_dir *dir, const char *name, qv2_fs_info *info);
void qv2_fs_closedir(qv2_dir *dir); // null is ignored

// Opens a regular file for reading (links followed); null for anything else.
// Never blocks and has no side effects on special files. `info` may be null.
qv2_file *qv2_fs_open_ro(const char *path, qv2_fs_info *info);
// The same for a canonical path, following no link on any component (the
// last one included): a link met anywhere gives null.
qv2_file *qv2_fs_open_ro_nofollow(const char *path, qv2_fs_info *info);
// One positional read (no shared file offset): bytes read, 0 at or past the
// end, -1 on error.
int32_t qv2_fs_pread(qv2_file *file, uint64_t offset, void *buf, int32_t len);
void qv2_fs_close(qv2_file *file); // null is ignored

// For tests: with `on` set, the no-follow opens walk the path one component
// at a time, as they do on kernels without openat2; 0 restores the default.
void qv2_fs_force_walk(int on);
