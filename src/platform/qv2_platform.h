// The platform's services that the layers above share: the stop flag, the
// clocks, threads and the random source. Everything here touches the
// operating system; the engine reaches it only through this header, so the
// network service can run the engine without the engine depending on it.
#pragma once

#include <cstdint>

// 1 once dirir2i_stop has begun; session loops end when they see it.
int qv2_server_stopping(void);
// Set by the network service as a stop begins (1) and once it is over (0).
void qv2_stop_flag_set(int stopping);
// Milliseconds of a monotonic clock, for time-outs.
uint64_t qv2_now_ms(void);
// Fills out with n bytes from the system's random source. 0, or -1 when the
// source fails (then out must not be used).
int qv2_random_bytes(uint8_t *out, uint64_t n);
// Whole seconds since 1970-01-01 UTC from the system clock (ignores the
// `clock` option; callers apply it).
int64_t qv2_unix_now(void);
// Milliseconds since 1970-01-01 UTC from the system clock, for log lines.
int64_t qv2_unix_now_ms(void);

// A started thread, to be joined exactly once. Opaque outside src/platform.
struct qv2_thread {
    uint64_t handle;
};

// Starts a thread with a 1 MiB stack running routine(arg). 0 with *out set,
// or -1 (nothing started, nothing to join).
int qv2_thread_start(qv2_thread *out, void (*routine)(void *), void *arg);
// Waits for a thread started by qv2_thread_start to end and releases it.
void qv2_thread_join(qv2_thread *t);
// Sleeps the calling thread for about ms milliseconds.
void qv2_sleep_ms(int ms);
