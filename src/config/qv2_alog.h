// The access log: who connected, logged on, connected to which share, read
// what and how much, and what was refused. Off until asked for (the options
// `log` and `log_format`); then one line per event. Separate from the
// protocol trace, which shows bytes for developers.
#pragma once

#include "foundation/qv2_logline.h"
#include "foundation/qv2_types.h"

// The `log` option: a path (appended to, created when missing), "-" for
// standard error, or "off" (or empty) for no log. Giving the same path again
// reopens it, which is what log rotation needs. 0, or a negative code with
// the message; a failure leaves the current log as it was.
int qv2_alog_set_path(const char *value);
// The `log_format` option: "logfmt" or "json". 0 or -1 with the message.
int qv2_alog_set_format(const char *value);

// Starts a line for `event` when the log is on: true with *l begun (add the
// fields, then qv2_alog_emit), false when the log is off (nothing to free).
bool qv2_alog_begin(qv2_logline *l, const char *event);
// Ends the line, writes it whole and frees it.
void qv2_alog_emit(qv2_logline *l);

// Numbers connections for the log's lines: 1, 2, ... for the process.
uint64_t qv2_alog_next_conn(void);
// A client turned away before it is served: `reason` is "allow" (not on the
// allow-list) or "full" (max_clients connections are open).
void qv2_alog_refused(const qv2_ip *peer, const char *reason);
// The server started listening, or stopped.
void qv2_alog_server(const char *event, const char *bind, int port);
