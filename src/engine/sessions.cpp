// The session table of a connection: finding, creating and ending the
// sessions that several users (or several logons of one) hold on it.
#include "engine/engine.h"
#include "platform/qv2_platform.h"

#include <cstdlib>

qv2_session *session_find(qv2_conn *c, uint64_t id) {
    if (id == 0) return nullptr;
    for (qv2_session *s = c->sessions; s; s = s->next)
        if (s->id == id) return s;
    return nullptr;
}

qv2_session *session_create(qv2_conn *c, uint64_t id) {
    // A logon in progress counts: otherwise a client could hold any number
    // of half-made sessions, each with its NTLM exchange.
    if (c->session_count >= SESSIONS_MAX || id == 0 || session_find(c, id)) return nullptr;
    auto *s = static_cast<qv2_session *>(calloc(1, sizeof(qv2_session)));
    if (!s) return nullptr;
    s->id = id;
    s->client_sign_required = c->client_sign_required;
    s->started_ms = qv2_now_ms();
    s->next = c->sessions;
    c->sessions = s;
    c->session_count++;
    c->sessions_made++;
    return s;
}

namespace {

void destroy(qv2_session *s) {
    smb3_session_free(s);
    qv2_wipe(s->signing_key, sizeof s->signing_key);
    qv2_wipe(s, sizeof *s);
    free(s);
}

} // namespace

void session_remove(qv2_conn *c, qv2_session *s) {
    qv2_session **link = &c->sessions;
    while (*link && *link != s)
        link = &(*link)->next;
    if (!*link) return;
    *link = s->next;
    c->session_count--;
    free_trees_opens(c, s);
    session_auth_end(s);
    if (c->sess == s) c->sess = nullptr;
    if (s == c->enc_sess) {
        // The reply to the message it sealed (its LOGOFF, say) still goes
        // out sealed with its key.
        s->next = c->retired;
        c->retired = s;
        return;
    }
    destroy(s);
}

void sessions_free_retired(qv2_conn *c) {
    while (qv2_session *s = c->retired) {
        c->retired = s->next;
        if (c->enc_sess == s) c->enc_sess = nullptr;
        destroy(s);
    }
}

void sessions_free_all(qv2_conn *c) {
    c->enc_sess = nullptr;
    while (c->sessions)
        session_remove(c, c->sessions);
    sessions_free_retired(c);
    free_trees_opens(c, nullptr);
}

bool session_any_valid(const qv2_conn *c) {
    for (const qv2_session *s = c->sessions; s; s = s->next)
        if (s->valid) return true;
    return false;
}
