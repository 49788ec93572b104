// The protocol trace: one switch and one way to write a line, for every
// layer. The configuration sets the switch once from the environment
// (DIRIR2I_TRACE); tests may set it themselves.
#pragma once

#include "foundation/qv2_util.h"

// Levels: 0 off; 1 only the NTLM verifier's ("t3", "t3field") and the
// configuration's ("cfg") lines; 2 every line; -1 unset (nothing is traced,
// and the configuration may still set it from the environment).
void qv2_trace_set_level(int level);
// The level, or -1 while nobody has set it (which traces nothing).
int qv2_trace_level(void);
// Whether lines of this area are written now.
bool qv2_trace_on(const char *area);
// Writes one line to standard error in one piece: "[dirir2i CONN] " for the
// area "dirir2i", "[AREA] " for any other, nothing for a null area (a
// continuation of the line before), then the formatted text as given
// (callers end it with "\n"). Never a key, password or hash: say that one
// exists, or print a fingerprint.
void qv2_trace(int conn, const char *area, const char *fmt, ...) QV2_PRINTF(3, 4);
