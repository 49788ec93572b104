// The access log's file on the host, which the server itself writes.
// Opened for appending, written a whole line at a time, and reopened by path
// when the log is rotated.
#pragma once

#include <cstddef>

struct qv2_logfile; // owned by the opener

// Opens `path` for appending, creating it (mode 0640) when missing; "-" is
// the process's standard error, which is used but never closed. A FIFO
// without a reader is refused rather than waited for. Null on failure, with
// the system's reason in why[cap].
qv2_logfile *qv2_logfile_open(const char *path, char *why, size_t cap);
// Writes all n bytes, normally in one system call, so lines written by
// several threads (or processes) to one file don't mix. 0, or -1 when the
// write failed (the rest of the line is dropped).
int qv2_logfile_write(qv2_logfile *f, const char *data, size_t n);
void qv2_logfile_close(qv2_logfile *f); // null is ignored
