// The commands answered with fixed replies.
#include "engine/engine.h"

// ECHO: always SUCCESS with the 4-byte body (StructureSize 4, Reserved 0).
void cmd_echo(qv2_conn *, qv2_reader *, qv2_reply *r) { w32(&r->buf, 4); }

// CHANGE_NOTIFY and OPLOCK_BREAK: no change notification and no oplocks.
void cmd_change_notify(qv2_conn *, qv2_reader *, qv2_reply *r) {
    rep_set_status(r, STATUS_NOT_SUPPORTED);
    rep_error_body(&r->buf);
}

void cmd_oplock_break(qv2_conn *, qv2_reader *, qv2_reply *r) {
    rep_set_status(r, STATUS_NOT_SUPPORTED);
    rep_error_body(&r->buf);
}
