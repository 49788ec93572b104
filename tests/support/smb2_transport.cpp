#include "support/smb2_transport.h"

#include "foundation/qv2_trace.h"

#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "engine/engine.h"
#include "engine/qv2_cache.h"
#include "engine/qv2_sess.h"
#include "foundation/qv2_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace smb2 {

ScriptedIo &ScriptedIo::data(const Bytes &bytes) {
    steps_.push_back({Step::Data, bytes});
    return *this;
}
ScriptedIo &ScriptedIo::timeouts(int n, int sleep_ms) {
    steps_.push_back({Step::Timeout, {}, 0, n, sleep_ms});
    return *this;
}
ScriptedIo &ScriptedIo::silence(int sleep_ms) {
    steps_.push_back({Step::Silence, {}, 0, 0, sleep_ms});
    return *this;
}
ScriptedIo &ScriptedIo::eof(int n) {
    steps_.push_back({Step::Eof, {}, 0, n});
    return *this;
}
ScriptedIo &ScriptedIo::error() {
    steps_.push_back({Step::Error, {}, 0, 1});
    return *this;
}
ScriptedIo &ScriptedIo::fail_write(int index) {
    failing_writes_.push_back(index);
    return *this;
}
ScriptedIo &ScriptedIo::read_limit(int n) {
    max_reads_ = n;
    return *this;
}

int ScriptedIo::read_cb(void *user, uint8_t *buf, int max, int timeout_ms) {
    ScriptedIo *io = static_cast<ScriptedIo *>(user);
    io->read_timeouts_.push_back(timeout_ms);
    if (++io->read_calls_ > io->max_reads_) {
        io->limit_hit_ = true;
        return -1;
    }
    while (io->step_ < io->steps_.size()) {
        Step &s = io->steps_[io->step_];
        switch (s.kind) {
        case Step::Data: {
            if (s.pos >= s.bytes.size()) break;
            size_t n = std::min(size_t(max), s.bytes.size() - s.pos);
            memcpy(buf, s.bytes.data() + s.pos, n);
            s.pos += n;
            return int(n);
        }
        case Step::Silence:
            std::this_thread::sleep_for(std::chrono::milliseconds(s.sleep_ms));
            return -2;
        case Step::Timeout:
        case Step::Eof:
        case Step::Error:
            if (s.count <= 0) break;
            s.count--;
            if (s.kind == Step::Timeout) {
                std::this_thread::sleep_for(std::chrono::milliseconds(s.sleep_ms));
                return -2;
            }
            return s.kind == Step::Eof ? 0 : -1;
        }
        io->step_++;
    }
    return 0;
}

int ScriptedIo::write_cb(void *user, const uint8_t *data, int len) {
    ScriptedIo *io = static_cast<ScriptedIo *>(user);
    int index = int(io->writes_.size());
    io->writes_.emplace_back(data, data + len);
    return std::find(io->failing_writes_.begin(), io->failing_writes_.end(), index) !=
                   io->failing_writes_.end()
               ? -1
               : 0;
}

void ScriptedIo::log_cb(void *user, const char *dir, const uint8_t *data, int len) {
    ScriptedIo *io = static_cast<ScriptedIo *>(user);
    Bytes b(data, data + len);
    if (strcmp(dir, ">>") == 0) io->logged_in_.push_back(b);
    else io->logged_out_.push_back(b);
}

qv2_io ScriptedIo::io() { return qv2_io{this, write_cb, read_cb, log_ ? log_cb : nullptr}; }

void ScriptedIo::run(const char *peer, int conn_id) {
    qv2_ip ip{};
    ASSERT_EQ(qv2_ip_parse(peer, &ip), 0) << peer;
    qv2_io t = io();
    qv2_sess_run(&t, &ip, conn_id);
}

DirectConn::DirectConn() {
    t_ = io_.io();
    c_.io = &t_;
    c_.io_user = t_.user;
    qv2_opts_get(&c_.opts);
}

// What the session loop's end frees: the sessions with their trees and
// opens, the logon state a challenge leg leaves waiting, and the caching
// state.
DirectConn::~DirectConn() {
    sessions_free_all(&c_);
    session_drop_nego(&c_);
    qv2_cache_end(&c_);
}

qv2_session *DirectConn::authenticate(const uint8_t key[16], uint64_t session_id) {
    qv2_session *s = session_create(&c_, session_id);
    EXPECT_NE(s, nullptr);
    if (!s) return nullptr;
    s->valid = 1;
    memcpy(s->signing_key, key, 16);
    return s;
}

Reply DirectConn::process(const Bytes &msg, int *send) {
    msg_ = msg;
    qv2_reply r{};
    int flag = 0;
    frame_in(&c_, msg_.data(), msg_.size(), &r, &flag);
    if (send) *send = flag;
    Bytes out = r.buf.data ? Bytes(r.buf.data, r.buf.data + r.buf.len) : Bytes();
    EXPECT_FALSE(r.buf.failed);
    qv2_buf_free(&r.buf);
    return Reply(out);
}

qv2_open *any_open(qv2_conn &c, uint64_t id) {
    for (qv2_open *o = c.open_list; o; o = o->next)
        if (o->in_use && o->id == id) return o;
    return nullptr;
}

qv2_tree *any_tree(qv2_conn &c, uint32_t id) {
    for (qv2_tree *t = c.tree_list; t; t = t->next)
        if (!t->disconnected && t->id == id) return t;
    return nullptr;
}

CounterWatch::CounterWatch() {
    for (int i = 0; i < QV2_ST_COUNT; i++) start_.push_back(qv2_stat_get(i));
}
long long CounterWatch::delta(int index) const { return qv2_stat_get(index) - start_.at(index); }

ScopedTraceLevel::ScopedTraceLevel(int level) : saved_(qv2_trace_level()) {
    qv2_trace_set_level(level);
}
ScopedTraceLevel::~ScopedTraceLevel() { qv2_trace_set_level(saved_); }

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name) {
    const char *old = getenv(name);
    had_ = old != nullptr;
    if (old) old_ = old;
    if (value) setenv(name, value, 1);
    else unsetenv(name);
}
ScopedEnv::~ScopedEnv() {
    if (had_) setenv(name_.c_str(), old_.c_str(), 1);
    else unsetenv(name_.c_str());
}

} // namespace smb2
