// Share namespace: the wall between client paths and the host file system.
// Containment is decided on canonical paths, so neither ".." nor links can
// lead out of a share.
#pragma once

#include "files/qv2_fs_types.h"

// Resolves a share name and a normalised share-relative path (as qv2_vpath
// gives it; null or "" for the root). A component that does not exist as
// written matches the entry of its folder that differs only in case (the
// first in byte order when several do); out->rel then spells the path as
// the host does. 0, or -1 with "The file cannot be found." whatever the
// reason (missing, outside the share, too long...), out->missing saying
// whether the last component or one before it failed and
// out->outside telling an escape from the rest (for the access log only).
int qv2_vfs_resolve(const char *share_name, const char *path, qv2_vres *out);
// Lists a directory (res->kind 1, host and share set) as entries sorted by
// byte-wise name. 0 with the listing (possibly empty), or -1 with "Not a
// directory." / "The file cannot be found.". Free with qv2_vfs_free.
int qv2_vfs_list(const qv2_vres *res, qv2_vent **entries, int32_t *count);
void qv2_vfs_free(qv2_vent *entries, int32_t count); // null is ignored
