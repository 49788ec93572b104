// Records shared by the listener and the socket transport (src/net only).
#pragma once

#include "engine/qv2_engine_types.h"
#include "platform/qv2_platform.h"

// One accepted connection, from accept until its thread has been joined.
// Zero-filled when created.
struct net_conn {
    int sock; // the connected, non-blocking socket; -1 once closed
    // An eventfd that x_wake writes and x_read polls beside the socket; -1
    // when none could be made (the connection then has no wake callback).
    int wake_fd = -1;
    qv2_io io;
    qv2_ip peer; // IPv4-mapped IPv6 already folded to IPv4
    qv2_thread thread;
    int finished; // set under the service lock once the thread's work is done
    // The admission rule's view, under the service lock: when the
    // connection was accepted, whether a logon has succeeded on it, and
    // whether it was closed to make room for a newcomer.
    uint64_t started_ms;
    int logged_on;
    int evicted;
    net_conn *next;
};

// Options of every connected socket: no Nagle delay, and little unsent data
// queued in the kernel (TCP_NOTSENT_LOWAT). Failures are ignored: both only
// make sending faster.
void net_tune_stream(int fd);

// The qv2_io operations over a net_conn (user = the net_conn).
// x_read: 1..max bytes, 0 peer closed, -2 nothing within timeout_ms, -1 error.
int x_read(void *user, uint8_t *buf, int max, int timeout_ms);
// x_write: 0 once all n bytes are sent; -1 on a socket error, when the peer
// has taken nothing for io_timeout_ms, or when the server is stopping and the
// peer is not reading.
int x_write(void *user, const uint8_t *data, int n);
// x_write_pair: the same for head and then body, sent as one stream with
// gathered writes, so a reply doesn't leave as a 4-byte segment and the rest.
int x_write_pair(void *user, const uint8_t *head, int hlen, const uint8_t *body, int blen);
// x_random: n bytes from the system's random source; 0, or -1 on failure.
int x_random(void *user, uint8_t *out, int n);
// x_wake: makes the connection's read in progress, or its next, return -3.
// Safe from any thread while the connection's thread runs.
void x_wake(void *user);
// An eventfd for x_wake (non-blocking, close-on-exec), or -1.
int net_wake_fd(void);
