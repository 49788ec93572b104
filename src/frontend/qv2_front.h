// What the dirir2i command uses besides the sixteen exports: users from a
// users file or from a password source, and the counters line of the log.
#pragma once

#include <cstddef>

// Adds the users of a users file: NAME:PASSWORD a line (split at the first
// colon); blank lines and lines whose first non-blank is '#' are skipped; a
// CR before the line feed is dropped. The file must be private to its owner
// (chmod 600) unless it lies in the folder systemd hands credentials over in
// ($CREDENTIALS_DIRECTORY), and must name at least one user. 0, or -1 with
// the message in msg[cap], which names the file and the line but never a
// password. Users of the lines before a bad one stay added.
int qv2_users_file_load(const char *path, char *msg, size_t cap);

// The password for `--user NAME` given without one: the environment
// variable DIRIR2I_PASSWORD when it is set, else asked for on the terminal.
// 0 with the password in out[cap], or -1 with the message in msg[mcap].
int qv2_password_for(const char *user, char *out, size_t cap, char *msg, size_t mcap);

// Writes one `stats` line to the access log: what dirir2i_stats_json says.
void qv2_stats_log(void);

// Appends the metrics in the Prometheus text format: dirir2i_running and
// dirir2i_clients, every counter of dirir2i_stats_json as
// dirir2i_NAME_total (the two that say what is open now, connections and
// trees, as gauges without _total), and dirir2i_share_opens_total and
// dirir2i_share_read_bytes_total with a `share` label.
struct qv2_buf;
void qv2_metrics_text(qv2_buf *b);
