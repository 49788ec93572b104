// The access log's lines about one connection. Each call writes one line
// when the log is on and costs a flag test when it is off. Every line names
// the connection (conn, client) and, on lines about a session, its SessionId
// and (once it has logged on) its user. Lines about a request are about the
// session it names (c->sess).
#pragma once

#include "engine/qv2_engine_types.h"

// The connection is being served (started_ms is set): numbers it.
void log_accept(qv2_conn *c);
// The outcome of an AUTHENTICATE message: "user", "guest", "refused",
// "bad_mic" (the password was right, a MIC over the messages was not) or
// "invalid" (malformed, NTLMv1, or outside the time window). "user" and
// "guest" name session `s` for the lines that follow. The password is
// never in the message, and never logged.
void log_logon(qv2_conn *c, qv2_session *s, const uint8_t *auth, uint64_t len,
               const char *outcome);
// A SESSION_SETUP refused before any AUTHENTICATE (no NTLM token to use).
void log_logon_refused(qv2_conn *c, const char *reason);
// TREE_CONNECT of `share` as the client wrote it; `refusal` null when connected.
void log_tree(qv2_conn *c, const char *share, const char *refusal);
// CREATE refused by the share namespace: `name` is the client's path
// (UTF-8), `reason` "bad_name" or "outside_share".
void log_open_refused(qv2_conn *c, const char *name, const char *reason);
// CREATE refused because it asked to create, change or delete: the name is
// taken from the request (name_off, name_len as sent).
void log_write_refused(qv2_conn *c, const qv2_reader *rd, uint16_t name_off, uint16_t name_len,
                       uint32_t access, uint32_t disposition);
// An open ends (CLOSE, LOGOFF or the connection's end): one line for a file
// that was read, with what was read.
void log_close(qv2_conn *c, const qv2_open *o);
// A break was sent because the host changed an open's file: `kind` "lease"
// or "oplock", `from` the state taken away ("R", "RH", "II"), and whether
// the client must acknowledge it.
void log_break(qv2_conn *c, const qv2_open *o, const char *kind, const char *from, bool ack);
// The connection ends: how long it lasted and what it was sent.
void log_disconnect(qv2_conn *c);
