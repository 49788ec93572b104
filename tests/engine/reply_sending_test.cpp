// How replies leave the session loop: a transport with a paired write gets
// each reply and its session-service header in one call, with the same bytes
// a transport without one gets in two; a failed paired write ends the
// connection; and the reply storage a connection keeps between messages is
// given back once the connection waits idle.
#include "support/smb2_file_requests.h"
#include "support/smb2_frames.h"
#include "support/smb2_requests.h"
#include "support/smb2_session.h"
#include "support/smb2_transport.h"
#include "support/tempdir.h"

#include "files/scoped_share.h"

#include "config/qv2_cfg.h"
#include "engine/engine.h"
#include "engine/qv2_sess.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#if defined(__SANITIZE_ADDRESS__)
#define REPLY_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define REPLY_TEST_ASAN 1
#endif
#endif
#ifdef REPLY_TEST_ASAN
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#else
#include <malloc.h>
#endif

using smb2::Bytes;

namespace {

// Bytes of heap in use now (freed blocks excluded, also under ASan).
size_t heap_in_use() {
#ifdef REPLY_TEST_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

// A transport that plays packets and time-outs in order, then reports the
// peer closed. It records every write and paired write, and calls `probe`
// with a step's index when the engine first asks for that step (for a packet:
// once the previous message has been answered).
class PairIo {
  public:
    explicit PairIo(bool with_pair) : with_pair_(with_pair) {}

    PairIo &packet(const Bytes &bytes) {
        steps_.push_back({bytes, false});
        return *this;
    }
    PairIo &timeout() {
        steps_.push_back({{}, true});
        return *this;
    }
    PairIo &fail_pairs() {
        fail_pairs_ = true;
        return *this;
    }
    std::function<void(size_t step)> probe;

    void run() {
        qv2_io io{};
        io.user = this;
        io.read = read_cb;
        io.write = write_cb;
        io.log = nullptr;
        if (with_pair_) io.write_pair = pair_cb;
        qv2_ip ip{};
        ASSERT_EQ(qv2_ip_parse("127.0.0.1", &ip), 0);
        qv2_sess_run(&io, &ip, 0);
    }

    // Everything written, in order, as one byte stream.
    Bytes stream;
    int write_calls = 0;
    // The (head, body) of each paired write.
    std::vector<std::pair<Bytes, Bytes>> pairs;
    bool step_started(size_t i) const { return i < steps_.size() && steps_[i].probed; }

  private:
    struct Step {
        Bytes bytes;
        bool timeout;
        size_t pos = 0;
        bool probed = false;
    };

    static int read_cb(void *user, uint8_t *buf, int max, int) {
        auto *io = static_cast<PairIo *>(user);
        while (io->step_ < io->steps_.size()) {
            Step &s = io->steps_[io->step_];
            if (!s.probed) {
                s.probed = true;
                if (io->probe) io->probe(io->step_);
            }
            if (s.timeout) {
                io->step_++;
                return -2;
            }
            if (s.pos < s.bytes.size()) {
                size_t n = std::min(size_t(max), s.bytes.size() - s.pos);
                memcpy(buf, s.bytes.data() + s.pos, n);
                s.pos += n;
                return int(n);
            }
            io->step_++;
        }
        return 0;
    }
    static int write_cb(void *user, const uint8_t *data, int len) {
        auto *io = static_cast<PairIo *>(user);
        io->write_calls++;
        io->stream.insert(io->stream.end(), data, data + len);
        return 0;
    }
    static int pair_cb(void *user, const uint8_t *head, int hlen, const uint8_t *body, int blen) {
        auto *io = static_cast<PairIo *>(user);
        io->pairs.push_back({Bytes(head, head + hlen), Bytes(body, body + blen)});
        io->stream.insert(io->stream.end(), head, head + hlen);
        io->stream.insert(io->stream.end(), body, body + blen);
        return io->fail_pairs_ ? -1 : 0;
    }

    bool with_pair_;
    bool fail_pairs_ = false;
    std::vector<Step> steps_;
    size_t step_ = 0;
};

// A session request, an ECHO, a READ of a handle nobody opened (an error
// reply), a compound of two ECHOs (one reply message) and an unknown command
// (NOT_SUPPORTED with a body).
std::vector<Bytes> mixed_packets() {
    return {
        smb2::session_request(10),
        smb2::nbss(smb2::echo(1)),
        smb2::nbss(smb2::read({.command = SMB2_READ, .mid = 2}, {.fid = 77, .length = 10})),
        smb2::nbss(smb2::compound({smb2::echo(3), smb2::echo(4)})),
        smb2::nbss(smb2::request({.command = 0x33, .mid = 5}, smb2::echo_body())),
    };
}

} // namespace

TEST(ReplySending, APairedWriteCarriesEachReplyWithItsHeaderAndTheSameBytesAsTwoWrites) {
    PairIo two(false), one(true);
    for (const Bytes &p : mixed_packets()) {
        two.packet(p);
        one.packet(p);
    }
    smb2::CounterWatch w;
    two.run();
    long long sent_by_two = w.delta(QV2_ST_BYTES_SENT);
    one.run();
    EXPECT_EQ(w.delta(QV2_ST_BYTES_SENT), 2 * sent_by_two);

    EXPECT_EQ(smb2::hex(one.stream), smb2::hex(two.stream));
    EXPECT_TRUE(two.pairs.empty());
    // Four reply messages; the session response 82 00 00 00 has no message
    // to pair with and stays a write.
    ASSERT_EQ(one.pairs.size(), 4u);
    EXPECT_EQ(one.write_calls, 1);
    EXPECT_EQ(two.write_calls, 1 + 2 * 4);
    for (const auto &[head, body] : one.pairs) {
        ASSERT_EQ(head.size(), 4u);
        EXPECT_EQ(head[0], 0x00);
        EXPECT_EQ((size_t(head[1]) << 16) | (size_t(head[2]) << 8) | head[3], body.size());
        EXPECT_GE(body.size(), 64u);
    }
}

TEST(ReplySending, AFailedPairedWriteEndsTheConnectionAfterThatMessage) {
    PairIo io(true);
    io.fail_pairs();
    io.packet(smb2::nbss(smb2::echo(1))).packet(smb2::nbss(smb2::echo(2)));
    io.run();
    EXPECT_EQ(io.pairs.size(), 1u);
    EXPECT_FALSE(io.step_started(1)); // the second ECHO was never read
}

// A connection that has answered a 1 MiB READ keeps the reply's storage for
// the next message while the client keeps it busy, and gives it back as
// soon as it waits idle: idle clients that once copied a file don't hold a
// megabyte each.
TEST(ReplySending, AnIdleConnectionGivesBackTheStorageOfALargeReply) {
    smb2::ScopedOption clock("clock", "1700000000", "0");
    smb2::ScopedOption guest("guest", "on", "auto");
    TempDir dir;
    dir.write("big.bin", std::string(1 << 20, 'x'));
    ScopedShare share("replydata", dir.path());

    // Large MTU (capability 4), so a READ may ask for 1 MiB.
    smb2::Session s = smb2::logon_script({.capabilities = 4});
    ASSERT_TRUE(s.ok) << s.error;
    Bytes tcon = smb2::tree_connect(s.header(SMB2_TREE_CONNECT), "\\\\h\\replydata");
    smb2::Script learn = s.script();
    learn.send(tcon);
    smb2::Transcript t = smb2::run(learn);
    ASSERT_EQ(t.replies.size(), s.requests.size() + 1);
    ASSERT_EQ(t.replies.back().status(), STATUS_SUCCESS);
    uint32_t tid = t.replies.back().tid();

    PairIo io(true);
    for (const Bytes &r : s.requests) io.packet(smb2::nbss(r));
    io.packet(smb2::nbss(tcon));
    const size_t read_step = s.requests.size() + 1;
    io.packet(smb2::nbss(smb2::compound(
        {smb2::create(s.header(SMB2_CREATE, tid), {.name = "big.bin"}),
         smb2::read(s.header(SMB2_READ, tid), {.fid = ~0ull, .length = 1 << 20})},
        /*related=*/true)));
    io.timeout();
    io.packet(smb2::nbss(smb2::echo(s.next_mid++)));

    std::vector<size_t> heap(read_step + 3, 0);
    io.probe = [&](size_t step) {
        if (step < heap.size()) heap[step] = heap_in_use();
    };
    io.run();

    ASSERT_EQ(io.pairs.size(), read_step + 2);
    std::vector<smb2::Reply> parts = smb2::Reply(io.pairs[read_step].second).parts();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[1].status(), STATUS_SUCCESS);
    EXPECT_EQ(smb2::read_data(parts[1]).size(), size_t(1) << 20);

    ASSERT_TRUE(io.step_started(read_step + 2));
    const size_t before_read = heap[read_step];
    const size_t after_read = heap[read_step + 1]; // the next read, before any wait
    const size_t after_wait = heap[read_step + 2]; // after one 100 ms wait with nothing
    EXPECT_GE(after_read, before_read + (size_t(1) << 20));
    EXPECT_LE(after_wait + (size_t(1) << 20), after_read);
}
