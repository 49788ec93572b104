// A file other programs read whole while the server rewrites it (the
// metrics file): replaced in one step, so a reader sees the old content or
// the new, never a part.
#pragma once

#include <cstddef>

// Writes data[len] to a new file in the folder of `path` (named after it,
// with a random suffix, so collectors that look for names ending in the
// path's extension skip it), makes it readable by everyone (0644), and
// renames it over `path`. 0, or -1 with the system's reason in why[cap];
// nothing is left behind on failure.
int qv2_file_replace(const char *path, const void *data, size_t len, char *why, size_t cap);
