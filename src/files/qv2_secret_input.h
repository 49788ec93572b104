// Secrets from the host for the command line: a private file (the users
// file) and a password typed at the terminal. Callers wipe what they get.
#pragma once

#include <cstddef>

// Reads the whole file at `path` (links followed) into out[cap] and
// NUL-terminates it; *len gets its length. It must be a regular file of
// fewer than cap bytes and, with `private_only`, one that neither group nor
// others may read or write (the configuration file is read without that
// check). 0, or -1 with the reason in why[why_cap] (the content is never
// part of it).
int qv2_secret_file_read(const char *path, bool private_only, char *out, size_t cap, size_t *len,
                         char *why, size_t why_cap);

// Writes `prompt` to the controlling terminal, reads one line from it with
// echo off and puts it in out[cap] without its line feed. 0; -1 when the
// process has no terminal or reading failed; -2 when the line does not fit.
int qv2_secret_tty_read(const char *prompt, char *out, size_t cap);
