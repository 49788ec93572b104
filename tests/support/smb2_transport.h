// Driving the session loop directly: a transport that plays a fixed list of
// read results and records what the engine writes, for what a simulation
// script cannot express (time-outs, read errors, failing writes). Also a
// counter watcher and an environment override for tests of any layer (and,
// through options_snapshot.h, the option restores).
//
//   smb2::ScriptedIo io;
//   io.data(smb2::nbss(smb2::echo(1))).timeouts(3).eof();
//   io.run();                        // qv2_sess_run over it, peer 127.0.0.1
//   EXPECT_EQ(io.writes().size(), 2u); // session header, then the reply
#pragma once

#include "support/options_snapshot.h"
#include "support/smb2_frames.h"

#include "engine/qv2_engine_types.h"

#include <string>
#include <vector>

namespace smb2 {

class ScriptedIo {
  public:
    // Read results, played in order. Once the list is exhausted every read
    // returns 0 (peer closed).
    ScriptedIo &data(const Bytes &bytes); // handed out as the reads ask for them
    // `n` reads that report a time-out (-2), each after sleeping `sleep_ms`
    // of real time, as a socket's 100 ms wait would.
    ScriptedIo &timeouts(int n, int sleep_ms = 0);
    // Time-outs without end (until the read limit below).
    ScriptedIo &silence(int sleep_ms);
    ScriptedIo &eof(int n = 1);   // n reads that return 0
    ScriptedIo &error();          // one read that returns -1
    // The write with this index (0-based, every write call counts) fails.
    ScriptedIo &fail_write(int index);
    // Safety net: after this many read calls every read returns -1 and
    // read_limit_hit() says so, so a loop that never ends fails instead.
    ScriptedIo &read_limit(int n);
    // No log callback: the engine then behaves as over a socket (the
    // simulation's transcript hooks are what a log stands for).
    ScriptedIo &without_log() {
        log_ = false;
        return *this;
    }

    qv2_io io();
    void run(const char *peer = "127.0.0.1", int conn_id = 0);

    // Every write call's bytes, in order (failed ones included).
    const std::vector<Bytes> &writes() const { return writes_; }
    // Messages told to the log callback, by direction.
    const std::vector<Bytes> &logged_in() const { return logged_in_; }
    const std::vector<Bytes> &logged_out() const { return logged_out_; }
    int read_calls() const { return read_calls_; }
    bool read_limit_hit() const { return limit_hit_; }
    // The timeout_ms arguments the engine passed to read.
    const std::vector<int> &read_timeouts() const { return read_timeouts_; }

  private:
    struct Step {
        enum Kind { Data, Timeout, Silence, Eof, Error } kind;
        Bytes bytes;
        size_t pos = 0;
        int count = 0;
        int sleep_ms = 0;
    };
    static int read_cb(void *user, uint8_t *buf, int max, int timeout_ms);
    static int write_cb(void *user, const uint8_t *data, int len);
    static void log_cb(void *user, const char *dir, const uint8_t *data, int len);

    std::vector<Step> steps_;
    size_t step_ = 0;
    std::vector<int> failing_writes_;
    std::vector<Bytes> writes_, logged_in_, logged_out_;
    std::vector<int> read_timeouts_;
    int read_calls_ = 0;
    int max_reads_ = 100000;
    bool limit_hit_ = false;
    bool log_ = true;
};

// A connection record driven through frame_in directly, for state the
// simulation can't reach yet (an authenticated session, prepared trees or
// opens). Lone error replies that frame_in writes at once land in
// transport().writes().
class DirectConn {
  public:
    DirectConn();
    ~DirectConn(); // frees trees and opens
    DirectConn(const DirectConn &) = delete;
    DirectConn &operator=(const DirectConn &) = delete;

    qv2_conn &conn() { return c_; }
    ScriptedIo &transport() { return io_; }
    // Adds a session that has logged on with this signing key.
    qv2_session *authenticate(const uint8_t key[16], uint64_t session_id = 0x1001);
    // Runs frame_in on a copy of msg (kept in last_message(), since frame_in
    // modifies it). Returns the reply builder's content.
    Reply process(const Bytes &msg, int *send = nullptr);
    const Bytes &last_message() const { return msg_; }

  private:
    ScriptedIo io_;
    qv2_io t_{};
    qv2_conn c_{};
    Bytes msg_;
};

// The connection's open or live tree with this id, whichever session holds
// it (open_find and tree_find see only the current request's session).
qv2_open *any_open(qv2_conn &c, uint64_t id);
qv2_tree *any_tree(qv2_conn &c, uint32_t id);

// Counter snapshot: delta(QV2_ST_...) is how far a counter moved since.
class CounterWatch {
  public:
    CounterWatch();
    long long delta(int index) const;

  private:
    std::vector<long long> start_;
};

// Sets (or, with null, removes) an environment variable for the lifetime of
// the object and restores the previous state after.
// Sets the trace level (qv2_trace_set_level) for the lifetime of the object.
class ScopedTraceLevel {
  public:
    explicit ScopedTraceLevel(int level);
    ~ScopedTraceLevel();
    ScopedTraceLevel(const ScopedTraceLevel &) = delete;
    ScopedTraceLevel &operator=(const ScopedTraceLevel &) = delete;

  private:
    int saved_;
};

class ScopedEnv {
  public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

  private:
    std::string name_, old_;
    bool had_ = false;
};

} // namespace smb2
