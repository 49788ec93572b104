// The command answered with a fixed reply: ECHO. (CHANGE_NOTIFY is in
// notify.cpp, OPLOCK_BREAK in oplock_break.cpp.)
#include "engine/engine.h"

// ECHO: always SUCCESS with the 4-byte body (StructureSize 4, Reserved 0).
void cmd_echo(qv2_conn *, qv2_reader *, qv2_reply *r) { w32(&r->buf, 4); }
