// Access-log lines: one event a line, as logfmt (key=value pairs) or as one
// JSON object. Text values are escaped so that nothing a client sends (a
// user name, a path) can end the line, start another field or break the
// JSON: a client can't forge a log line.
#pragma once

#include "foundation/qv2_types.h"

enum : int32_t {
    QV2_LOG_LOGFMT = 0,
    QV2_LOG_JSON = 1,
    QV2_LOG_VALUE_MAX = 1024, // bytes of one text value kept; longer ones end in "..."
};

// A line being built. All-zero is not a valid start: use qv2_logline_begin.
struct qv2_logline {
    qv2_buf buf;
    int32_t format;
};

// Starts a line with its time (UTC, to the millisecond) and event name. Keys
// and event names are the program's own words (letters, digits, '_').
void qv2_logline_begin(qv2_logline *l, int32_t format, int64_t unix_ms, const char *event);
// A text value, escaped as the format needs; null is written as empty.
void qv2_logline_str(qv2_logline *l, const char *key, const char *value);
void qv2_logline_num(qv2_logline *l, const char *key, int64_t value);
void qv2_logline_bool(qv2_logline *l, const char *key, bool value);
// Closes the line and adds its line feed. The text is in l->buf (check
// l->buf.failed); the caller frees it.
void qv2_logline_end(qv2_logline *l);
