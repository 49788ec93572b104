// How replies leave the session loop: a transport with a paired write gets
// each reply and its session-service header in one call, with the same bytes
// a transport without one gets in two; a failed paired write ends the
// connection; and the reply storage a connection keeps between messages (up
// to a 64 KiB READ's) is given back once the connection waits idle.
#include "support/memory_probe.h"
#include "support/smb2_file_requests.h"
#include "support/smb2_frames.h"
#include "support/smb2_requests.h"
#include "support/smb2_session.h"
#include "support/smb2_transport.h"
#include "support/builders/tempdir.h"

#include "files/scoped_share.h"

#include "config/qv2_cfg.h"
#include "engine/engine.h"
#include "engine/qv2_sess.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using smb2::Bytes;

namespace {

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
    // Records only the size of each paired write, so that the recording
    // itself doesn't hold on to heap while the engine's use of it is probed.
    PairIo &sizes_only() {
        sizes_only_ = true;
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
    // The (head, body) of each paired write; with sizes_only, their sizes.
    std::vector<std::pair<Bytes, Bytes>> pairs;
    std::vector<size_t> pair_sizes;
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
        io->pair_sizes.push_back(size_t(hlen) + size_t(blen));
        if (io->sizes_only_) return io->fail_pairs_ ? -1 : 0;
        io->pairs.push_back({Bytes(head, head + hlen), Bytes(body, body + blen)});
        io->stream.insert(io->stream.end(), head, head + hlen);
        io->stream.insert(io->stream.end(), body, body + blen);
        return io->fail_pairs_ ? -1 : 0;
    }

    bool with_pair_;
    bool fail_pairs_ = false;
    bool sizes_only_ = false;
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

// The storage of a 64 KiB READ's reply is kept for the next message while
// the client keeps the connection busy, and given back as soon as the
// connection waits idle; a 1 MiB READ's is not kept past its message at all
// (many connections holding a megabyte at once would grow the allocator's
// pools for good).
TEST(ReplySending, ReplyStorageIsKeptOnlyWhileBusyAndNeverForAMegabyteReply) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedOption guest("guest", "on");
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
    auto open_and_read = [&](uint32_t length) {
        return smb2::nbss(smb2::compound(
            {smb2::create(s.header(SMB2_CREATE, tid), {.name = "big.bin"}),
             smb2::read(s.header(SMB2_READ, tid), {.fid = ~0ull, .length = length})},
            /*related=*/true));
    };

    PairIo io(true);
    io.sizes_only();
    for (const Bytes &r : s.requests) io.packet(smb2::nbss(r));
    io.packet(smb2::nbss(tcon));
    const size_t first = s.requests.size() + 1;
    io.packet(open_and_read(64 << 10));               // first
    io.packet(smb2::nbss(smb2::echo(s.next_mid++)));  // first + 1: busy
    io.timeout();                                     // first + 2: idle from here
    io.packet(open_and_read(1 << 20));                // first + 3
    io.packet(smb2::nbss(smb2::echo(s.next_mid++)));  // first + 4

    std::vector<size_t> heap(first + 5, 0);
    io.probe = [&](size_t step) {
        if (step < heap.size()) heap[step] = probe::heap_in_use();
    };
    io.run();

    // Header, the CREATE's reply, the READ's 80 bytes and its data.
    ASSERT_EQ(io.pair_sizes.size(), first + 4);
    EXPECT_GT(io.pair_sizes[first], size_t(4 + 80) + (64 << 10));
    EXPECT_GT(io.pair_sizes[first + 2], size_t(4 + 80) + (1 << 20));
    ASSERT_TRUE(io.step_started(first + 4));

    const size_t kept = size_t(64) << 10;
    EXPECT_GE(heap[first + 1], heap[first] + kept);     // kept for the next message
    EXPECT_LE(heap[first + 3] + kept, heap[first + 2]); // given back after the idle wait
    EXPECT_LT(heap[first + 4], heap[first + 3] + (size_t(256) << 10)); // the megabyte's: never kept
}
