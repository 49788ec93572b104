// The one process-wide text result of dirir2i_simulate, dirir2i_stats_json
// and dirir2i_selftest (g_out).
#pragma once

#include "foundation/qv2_types.h"

// Takes over b->data as the new g_out, frees the previous text, resets *b
// and returns the new text. The caller has checked that b is not failed.
const char *qv2_out_take(qv2_buf *b);
