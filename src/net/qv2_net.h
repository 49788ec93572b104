// Network service pieces the engine uses: the stop flag and the clocks.
// The exported start/stop/port/client-count are declared in include/dirir2i.h.
#pragma once

#include <cstdint>

// 1 once dirir2i_stop has begun; session loops end when they see it.
int qv2_server_stopping(void);
// Milliseconds of a monotonic clock, for time-outs.
uint64_t qv2_now_ms(void);
// Whole seconds since 1970-01-01 UTC from the system clock (ignores the
// `clock` option; callers apply it).
int64_t qv2_unix_now(void);
