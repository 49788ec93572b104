// The access log's connection lines: accept, logon, tree, refused opens,
// closes of files that were read, and the disconnect.
#include "engine/conn_log.h"

#include "config/qv2_alog.h"
#include "config/qv2_cfg.h"
#include "engine/engine.h"
#include "files/qv2_fs.h"
#include "platform/qv2_platform.h"
#include "security/qv2_ntlm.h"

#include <cstdio>
#include <cstring>

namespace {

enum : int32_t {
    WIRE_USER_CAP = 400,  // a user name as a client may send it, cut for the log
    WIRE_NAME_CAP = 3200, // a CREATE name of up to 2054 bytes of UTF-16LE, as UTF-8
};

// Starts a line of this connection: its number, the client, and, for a line
// about session `s`, its user (once it has logged on) and its SessionId.
bool begin(const qv2_conn *c, qv2_logline *l, const char *event, const qv2_session *s,
           bool who = true) {
    if (!qv2_alog_begin(l, event)) return false;
    qv2_logline_num(l, "conn", int64_t(c->log_id));
    qv2_logline_str(l, "client", c->peer_text);
    if (!s) return true;
    if (who && s->valid && s->guest) qv2_logline_bool(l, "guest", true);
    else if (who && s->valid) qv2_logline_str(l, "user", s->log_user);
    char id[17];
    snprintf(id, sizeof id, "%016llx", (unsigned long long)s->id);
    qv2_logline_str(l, "session", id);
    return true;
}

// The tree the current request names, or null.
const char *current_share(qv2_conn *c) {
    const qv2_tree *t = tree_find(c, c->cur_tree_id);
    return t ? t->name : nullptr;
}

// The open's file as a path inside its share ("" for a single-file share).
const char *share_relative(const qv2_open *o) {
    size_t n = strlen(o->share.path);
    if (n == 0 || strncmp(o->host, o->share.path, n) != 0) return o->host;
    const char *rest = o->host + n;
    while (*rest == qv2_fs_sep()) rest++;
    return rest;
}

} // namespace

void log_accept(qv2_conn *c) {
    c->log_id = qv2_alog_next_conn();
    qv2_logline l;
    if (!begin(c, &l, "accept", nullptr)) return;
    qv2_logline_str(&l, "result", "ok");
    qv2_alog_emit(&l);
}

void log_logon(qv2_conn *c, qv2_session *s, const uint8_t *auth, uint64_t len,
               const char *outcome) {
    char wire[WIRE_USER_CAP];
    qv2_ntlm_user_name(auth, len, wire, sizeof wire);
    // NTLM matches names ignoring case: the session's user is the configured
    // spelling (the first one, should two differ in case only).
    char known[QV2_USER_NAME_MAX + 1] = "";
    bool is_user = qv2_user_known(wire, known, sizeof known) == 0;
    bool user = strcmp(outcome, "user") == 0, guest = strcmp(outcome, "guest") == 0;
    if (user || guest) snprintf(s->log_user, sizeof s->log_user, "%s", user ? known : "");
    qv2_logline l;
    if (!begin(c, &l, "logon", s, false)) return;
    qv2_logline_str(&l, "user", user ? s->log_user : wire);
    if (user || guest) {
        qv2_logline_str(&l, "result", "ok");
        qv2_logline_str(&l, "type", outcome);
        qv2_logline_str(&l, "signing", guest ? "none" : s->must_sign ? "required" : "optional");
    } else {
        qv2_logline_str(&l, "result", "refused");
        const char *why = strcmp(outcome, "invalid") == 0   ? "invalid"
                          : strcmp(outcome, "bad_mic") == 0 ? "bad_mic"
                          : wire[0] == 0                  ? "guest_refused"
                          : is_user                       ? "bad_password"
                                                          : "unknown_user";
        qv2_logline_str(&l, "reason", why);
    }
    qv2_alog_emit(&l);
}

void log_logon_refused(qv2_conn *c, const char *reason) {
    qv2_logline l;
    if (!begin(c, &l, "logon", c->sess)) return;
    qv2_logline_str(&l, "result", "refused");
    qv2_logline_str(&l, "reason", reason);
    qv2_alog_emit(&l);
}

void log_tree(qv2_conn *c, const char *share, const char *refusal) {
    qv2_logline l;
    if (!begin(c, &l, "tree", c->sess)) return;
    qv2_logline_str(&l, "share", share);
    qv2_logline_str(&l, "result", refusal ? "refused" : "ok");
    if (refusal) qv2_logline_str(&l, "reason", refusal);
    qv2_alog_emit(&l);
}

void log_open_refused(qv2_conn *c, const char *name, const char *reason) {
    qv2_logline l;
    if (!begin(c, &l, "open", c->sess)) return;
    qv2_logline_str(&l, "share", current_share(c));
    qv2_logline_str(&l, "path", name);
    qv2_logline_str(&l, "result", "refused");
    qv2_logline_str(&l, "reason", reason);
    qv2_alog_emit(&l);
}

void log_write_refused(qv2_conn *c, const qv2_reader *rd, uint16_t name_off, uint16_t name_len,
                       uint32_t access, uint32_t disposition) {
    qv2_logline l;
    if (!begin(c, &l, "open", c->sess)) return;
    // The name is decoded here only; CREATE refused before looking at it.
    char name[WIRE_NAME_CAP] = "";
    bool inside = name_off >= SMB2_HDR_LEN && uint64_t(name_off - SMB2_HDR_LEN) + name_len <= rd->size;
    if (!inside || qv2_utf16_to_utf8(rd->data + (name_off - SMB2_HDR_LEN), name_len, name,
                                     sizeof name) < 0)
        name[0] = 0;
    char hex[16];
    snprintf(hex, sizeof hex, "0x%08x", unsigned(access));
    qv2_logline_str(&l, "share", current_share(c));
    qv2_logline_str(&l, "path", name);
    qv2_logline_str(&l, "access", hex);
    qv2_logline_num(&l, "disposition", disposition);
    qv2_logline_str(&l, "result", "refused");
    qv2_logline_str(&l, "reason", "read_only");
    qv2_alog_emit(&l);
}

void log_close(qv2_conn *c, const qv2_open *o) {
    if (o->is_pipe || o->is_dir || o->reads == 0) return;
    qv2_logline l;
    if (!begin(c, &l, "close", o->sess)) return;
    qv2_logline_str(&l, "share", o->share_name);
    qv2_logline_str(&l, "path", share_relative(o));
    qv2_logline_num(&l, "reads", o->reads);
    qv2_logline_num(&l, "bytes_read", int64_t(o->bytes_read));
    qv2_alog_emit(&l);
}

void log_break(qv2_conn *c, const qv2_open *o, const char *kind, const char *from, bool ack) {
    qv2_logline l;
    if (!begin(c, &l, "break", o->sess)) return;
    qv2_logline_str(&l, "share", o->share_name);
    qv2_logline_str(&l, "path", share_relative(o));
    qv2_logline_str(&l, kind, from);
    qv2_logline_str(&l, "to", "none");
    qv2_logline_str(&l, "ack", ack ? "required" : "none");
    qv2_alog_emit(&l);
}

void log_disconnect(qv2_conn *c) {
    qv2_logline l;
    if (!begin(c, &l, "disconnect", nullptr)) return;
    uint64_t now = qv2_now_ms();
    qv2_logline_num(&l, "duration_ms", int64_t(now > c->started_ms ? now - c->started_ms : 0));
    qv2_logline_num(&l, "bytes_sent", int64_t(c->bytes_out));
    if (c->io && c->io->evicted && c->io->evicted(c->io_user))
        qv2_logline_str(&l, "reason", "evicted");
    qv2_alog_emit(&l);
}
