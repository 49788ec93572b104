// Signed replies to requests a client has queued are built two at a time
// and signed side by side. Nothing of that may show on the wire: the byte
// stream must be the one the engine writes answering each message alone
// (as it does while a transcript is written), in the same order, with
// every signature valid.
#include "support/smb2_file_requests.h"
#include "support/smb2_frames.h"
#include "support/smb2_requests.h"
#include "support/smb2_session.h"
#include "support/smb2_transport.h"
#include "support/builders/tempdir.h"

#include "files/scoped_share.h"

#include "config/qv2_cfg.h"
#include "engine/engine.h"

#include <gtest/gtest.h>

#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <ctime>

using smb2::Bytes;

namespace {

const uint8_t kKey[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe,
                          0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};

// Everything one run wrote, as one stream.
Bytes stream_of(const smb2::ScriptedIo &io) {
    Bytes all;
    for (const Bytes &w : io.writes()) all.insert(all.end(), w.begin(), w.end());
    return all;
}

// The reply messages of a stream of session-service packets.
std::vector<smb2::Reply> replies_in(const Bytes &stream) {
    std::vector<smb2::Reply> out;
    size_t at = 0;
    while (at + 4 <= stream.size()) {
        size_t n = (size_t(stream[at + 1]) << 16) | (size_t(stream[at + 2]) << 8) | stream[at + 3];
        EXPECT_EQ(stream[at], 0x00);
        if (at + 4 + n > stream.size()) {
            ADD_FAILURE() << "a packet runs past the end of the stream";
            break;
        }
        out.emplace_back(Bytes(stream.begin() + long(at + 4), stream.begin() + long(at + 4 + n)));
        at += 4 + n;
    }
    EXPECT_EQ(at, stream.size());
    return out;
}

// A user logged on in a share holding a file of random bytes, with the file
// opened. Knows the packets that got it there, to replay them.
struct OpenFile {
    smb2::ScopedOption clock{"clock", "1700000000"};
    smb2::ScopedUser alice{"alice", "secret"};
    TempDir dir;
    Bytes content;
    std::unique_ptr<ScopedShare> share;
    smb2::Session s;
    std::vector<Bytes> setup; // logon, TREE_CONNECT, CREATE: as packets
    uint32_t tid = 0;
    uint64_t fid = 0;

    OpenFile() {
        std::mt19937 rng(5);
        content.resize(300000);
        for (auto &b : content) b = uint8_t(rng());
        dir.write("data.bin", std::string(content.begin(), content.end()));
        // The CREATE reply carries the access time. Put it after the write
        // time so that relatime leaves it alone when the first run reads the
        // file; otherwise the second run's CREATE may differ by a clock tick.
        const std::string file = dir.path() + "/data.bin";
        const struct timespec times[2] = {{time(nullptr) + 3600, 0}, {0, UTIME_OMIT}};
        EXPECT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
        share = std::make_unique<ScopedShare>("pairs", dir.path());
        // Client signing required: every reply after the logon is signed.
        s = smb2::logon_script({.user = "alice", .password = "secret", .security_mode = 0x02});
        if (!s.ok) return;
        smb2::Script learn = s.script();
        Bytes tcon = s.sign(smb2::tree_connect(s.header(SMB2_TREE_CONNECT), "\\\\h\\pairs"));
        learn.send(tcon);
        smb2::Transcript t = smb2::run(learn);
        if (t.replies.size() != s.requests.size() + 1) return;
        tid = t.replies.back().tid();
        Bytes open = s.sign(smb2::create(s.header(SMB2_CREATE, tid), {.name = "data.bin"}));
        learn.send(open);
        t = smb2::run(learn);
        if (t.replies.size() != s.requests.size() + 2) return;
        fid = smb2::create_fid(t.replies.back());
        for (const Bytes &r : s.requests) setup.push_back(smb2::nbss(r));
        setup.push_back(smb2::nbss(tcon));
        setup.push_back(smb2::nbss(open));
    }
    bool ok() const { return s.ok && tid != 0 && fid != 0; }

    Bytes signed_read(uint64_t offset, uint32_t length) {
        return smb2::nbss(s.sign(smb2::read(s.header(SMB2_READ, tid),
                                            {.fid = fid, .length = length, .offset = offset})));
    }

    // Runs the setup and then `queued`, all sent at once, through the session
    // loop: without a log (replies may be paired) or with one (never).
    Bytes run(const std::vector<Bytes> &queued, bool with_log) {
        Bytes all;
        for (const Bytes &p : setup) all.insert(all.end(), p.begin(), p.end());
        for (const Bytes &p : queued) all.insert(all.end(), p.begin(), p.end());
        smb2::ScriptedIo io;
        if (!with_log) io.without_log();
        io.data(all).eof(3).read_limit(10000);
        io.run();
        EXPECT_FALSE(io.read_limit_hit());
        return stream_of(io);
    }
};

} // namespace

TEST(PairedSigning, QueuedSignedReadsGetExactlyTheRepliesTheyGetOneByOne) {
    OpenFile f;
    ASSERT_TRUE(f.ok()) << f.s.error;
    // An odd number of READs of different sizes (the last one alone, pairs
    // of unequal lengths, one past the end of the file), then an ECHO.
    std::vector<Bytes> queued = {f.signed_read(0, 65536),      f.signed_read(65536, 65536),
                                 f.signed_read(131072, 1000),  f.signed_read(140000, 65536),
                                 f.signed_read(299000, 65536), f.signed_read(400000, 10),
                                 f.signed_read(7, 3)};
    queued.push_back(smb2::nbss(f.s.sign(smb2::echo(f.s.next_mid++, 1, f.s.session_id))));

    Bytes paired = f.run(queued, false);
    Bytes alone = f.run(queued, true);
    ASSERT_EQ(paired.size(), alone.size());
    EXPECT_TRUE(paired == alone) << "the paired replies differ from the ones built alone";

    std::vector<smb2::Reply> replies = replies_in(paired);
    ASSERT_EQ(replies.size(), f.setup.size() + queued.size());
    const std::vector<std::pair<size_t, size_t>> ranges = {
        {0, 65536}, {65536, 65536}, {131072, 1000}, {140000, 65536}, {299000, 1000}, {0, 0},
        {7, 3}};
    for (size_t i = 0; i < ranges.size(); i++) {
        const smb2::Reply &r = replies[f.setup.size() + i];
        ASSERT_EQ(r.status(), i == 5 ? STATUS_END_OF_FILE : STATUS_SUCCESS) << "READ " << i;
        EXPECT_TRUE(r.signed_with(f.s.key)) << "READ " << i;
        auto [at, n] = ranges[i];
        EXPECT_TRUE(smb2::read_data(r) ==
                    Bytes(f.content.begin() + long(at), f.content.begin() + long(at + n)))
            << "READ " << i;
    }
    EXPECT_EQ(replies.back().command(), SMB2_ECHO);
    EXPECT_TRUE(replies.back().signed_with(f.s.key));
}

// A message answered while the previous reply is held back may end the
// connection without a reply of its own (an SMB1 NEGOTIATE once the dialect
// is settled does): the held reply still goes out first, and nothing after.
TEST(PairedSigning, AReplyHeldBackGoesOutBeforeTheNextMessageEndsTheConnection) {
    OpenFile f;
    ASSERT_TRUE(f.ok()) << f.s.error;
    Bytes smb1 = smb2::from_hex("ff534d4272000000001843c8000000000000000000000000ffff0000"
                                "000000000000220002504320574f524b47524f555020312e3000"
                                "024c414e4d414e312e3000");
    // Which message waits depends on how the queue pairs up: with one READ
    // or with two in front of the SMB1 one, one of them does.
    for (size_t reads = 1; reads <= 2; reads++) {
        std::vector<Bytes> queued;
        for (size_t i = 0; i < reads; i++) queued.push_back(f.signed_read(1000 * i, 65536));
        queued.push_back(smb2::nbss(smb1));
        queued.push_back(f.signed_read(100, 50));

        Bytes paired = f.run(queued, false);
        Bytes alone = f.run(queued, true);
        EXPECT_TRUE(paired == alone) << reads << " READs first";
        std::vector<smb2::Reply> replies = replies_in(paired);
        ASSERT_EQ(replies.size(), f.setup.size() + reads);
        for (size_t i = 0; i < reads; i++) {
            const smb2::Reply &read = replies[f.setup.size() + i];
            EXPECT_EQ(read.command(), SMB2_READ);
            EXPECT_TRUE(read.signed_with(f.s.key));
        }
    }
}

// frame_in leaves the final signature to its caller when asked, with the
// flag set and the field zeroed; the recorded jobs, computed two at once,
// give the signatures the replies get when signed one by one.
TEST(PairedSigning, DeferredSignaturesComputedTogetherMatchTheImmediateOnes) {
    constexpr uint64_t sid = 0x1001; // DirectConn::authenticate's session
    Bytes echo = smb2::echo(1, 1, sid);
    smb2::sign(echo, kKey);
    std::vector<Bytes> reqs = {
        echo, smb2::compound({smb2::echo(2, 1, sid), smb2::echo(3, 1, sid)}, false, kKey)};

    smb2::DirectConn one_by_one;
    one_by_one.authenticate(kKey);
    std::vector<smb2::Reply> immediate;
    for (const Bytes &r : reqs) immediate.push_back(one_by_one.process(r));

    smb2::DirectConn dc;
    dc.authenticate(kKey);
    qv2_conn &c = dc.conn();
    qv2_reply built[2] = {};
    qv2_sign_job jobs[2] = {};
    for (int i = 0; i < 2; i++) {
        Bytes msg = reqs[size_t(i)];
        int send = 0;
        c.defer_sign = 1;
        frame_in(&c, msg.data(), msg.size(), &built[i], &send);
        c.defer_sign = 0;
        jobs[i] = c.sign_job;
        c.sign_job = qv2_sign_job{};
        ASSERT_EQ(jobs[i].pending, 1) << i;
        Bytes last(built[i].buf.data + jobs[i].hdr_off + 48,
                   built[i].buf.data + jobs[i].hdr_off + 64);
        EXPECT_EQ(last, Bytes(16, 0)) << "the final signature waits for the caller";
        EXPECT_EQ(jobs[i].hdr_off + jobs[i].len, built[i].buf.len);
    }
    sign_jobs(&built[0], &jobs[0], &built[1], &jobs[1]);
    EXPECT_EQ(jobs[0].pending, 0);
    EXPECT_EQ(jobs[1].pending, 0);
    EXPECT_EQ(jobs[1].key[0], 0) << "the key copies are wiped";
    for (int i = 0; i < 2; i++) {
        Bytes got(built[i].buf.data, built[i].buf.data + built[i].buf.len);
        EXPECT_TRUE(got == immediate[size_t(i)].bytes()) << "reply " << i;
        qv2_buf_free(&built[i].buf);
    }
}
