// Random and mutated input through the whole engine: every run must end in a
// transcript or a clean error. Run under the sanitizer build, this is where
// out-of-bounds reads, leaks and hangs on hostile input show up.
#include "support/smb2_frames.h"
#include "support/smb2_transport.h"

#include "dirir2i.h"
#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using smb2::Bytes;
using smb2::Header;

namespace {

class Gen {
  public:
    explicit Gen(uint32_t seed) : rng_(seed) {}
    uint32_t next() { return uint32_t(rng_()); }
    uint32_t below(uint32_t n) { return n ? next() % n : 0; }
    bool chance(uint32_t percent) { return below(100) < percent; }
    uint8_t byte() { return uint8_t(next()); }
    Bytes bytes(size_t n) {
        Bytes b(n);
        for (uint8_t &v : b) v = byte();
        return b;
    }

    // A plausible request for any command, with a random body.
    Bytes request() {
        Header h;
        h.command = uint16_t(chance(80) ? below(20) : below(0x10000));
        h.mid = chance(80) ? below(100) : next();
        h.sid = chance(50) ? 0 : (chance(50) ? 0xFFFFFFFFFFFFFFFFull : next());
        h.tid = chance(50) ? 0 : (chance(50) ? 0xFFFFFFFFu : next());
        h.flags = chance(70) ? below(16) : next();
        h.credit_charge = uint16_t(below(8));
        h.credit_request = uint16_t(chance(80) ? below(300) : next());
        Bytes body = h.command == SMB2_ECHO ? smb2::echo_body() : bytes(below(120));
        if (chance(20)) std::fill(body.begin(), body.end(), 0xFF);
        return smb2::request(h, body);
    }

    Bytes message() {
        switch (below(6)) {
        case 0: return request();
        case 1: { // compound, often past the 64-command limit
            std::vector<Bytes> reqs;
            uint32_t n = chance(20) ? 60 + below(10) : 1 + below(6);
            for (uint32_t i = 0; i < n; i++) reqs.push_back(chance(50) ? smb2::echo(i) : request());
            return smb2::compound(reqs, chance(50));
        }
        case 2: { // signed
            Bytes r = request();
            uint8_t key[16] = {};
            smb2::sign(r, key);
            return r;
        }
        case 3: { // SMB1
            Bytes b = {0xFF, 'S', 'M', 'B', uint8_t(chance(50) ? 0x72 : byte())};
            Bytes tail = bytes(below(80));
            b.insert(b.end(), tail.begin(), tail.end());
            return b;
        }
        case 4: return bytes(below(100)); // junk
        default: return smb2::echo(below(10));
        }
    }

    void mutate(Bytes &b) {
        uint32_t rounds = below(4);
        for (uint32_t i = 0; i < rounds && !b.empty(); i++) {
            switch (below(5)) {
            case 0: b[below(uint32_t(b.size()))] ^= uint8_t(1u << below(8)); break;
            case 1: b[below(uint32_t(b.size()))] = byte(); break;
            case 2: b.resize(below(uint32_t(b.size()) + 1)); break;
            case 3: {
                Bytes tail = bytes(below(64));
                b.insert(b.end(), tail.begin(), tail.end());
                break;
            }
            default: // a NextCommand somewhere plausible
                if (b.size() >= 24) smb2::put_u32(b, 20, below(uint32_t(b.size()) + 128));
                break;
            }
        }
    }

    // One packet of the byte stream: usually a well-framed message, sometimes
    // a lying length, a session request or another packet type.
    Bytes packet() {
        Bytes msg = message();
        if (chance(60)) mutate(msg);
        Bytes p = smb2::nbss(msg);
        switch (below(10)) {
        case 0: p[0] = chance(50) ? 0x81 : byte(); break;
        case 1: {
            uint32_t len = chance(50) ? below(0x1000000) : below(200);
            p[1] = uint8_t(len >> 16);
            p[2] = uint8_t(len >> 8);
            p[3] = uint8_t(len);
            break;
        }
        default: break;
        }
        return p;
    }

    // A script of a few packets, cut into frame and raw lines at random.
    std::string script() {
        Bytes stream;
        uint32_t n = 1 + below(5);
        for (uint32_t i = 0; i < n; i++) {
            Bytes p = packet();
            stream.insert(stream.end(), p.begin(), p.end());
        }
        smb2::Script s;
        size_t pos = 0;
        while (pos < stream.size()) {
            size_t take = std::min<size_t>(stream.size() - pos, 1 + below(400));
            Bytes piece(stream.begin() + pos, stream.begin() + pos + take);
            if (piece.size() < 4 || chance(30)) s.raw(piece);
            else s.packet(piece);
            if (chance(5)) s.comment("noise");
            pos += take;
        }
        return s.text();
    }

    // Text that is mostly not a valid script.
    std::string noise() {
        static const char alphabet[] = "0123456789abcdefABCDEF \t\r\n!#xz";
        std::string t;
        uint32_t n = below(300);
        for (uint32_t i = 0; i < n; i++) t.push_back(alphabet[below(sizeof alphabet - 1)]);
        return t;
    }

  private:
    std::mt19937 rng_;
};

void expect_clean_end(const std::string &script) {
    const char *out = dirir2i_simulate(script.c_str(), nullptr);
    if (!out) {
        EXPECT_STRNE(dirir2i_last_error(), "") << script;
        return;
    }
    std::string text = out;
    size_t at = text.rfind("RESULT ok (");
    ASSERT_NE(at, std::string::npos) << script;
    EXPECT_EQ(text.back(), '\n');
}

} // namespace

TEST(RandomFrames, MutatedScriptsEndInATranscriptOrACleanError) {
    smb2::ScopedOption idle("idle_timeout_ms", "100"); // no run may wait long
    Gen g(20240611);
    for (int i = 0; i < 3000; i++) {
        std::string script = g.script();
        SCOPED_TRACE(i);
        expect_clean_end(script);
        if (HasFatalFailure()) return;
    }
}

TEST(RandomFrames, RandomTextEndsInATranscriptOrACleanError) {
    Gen g(7);
    for (int i = 0; i < 2000; i++) {
        SCOPED_TRACE(i);
        expect_clean_end(g.noise());
        if (HasFatalFailure()) return;
    }
}

TEST(RandomFrames, EveryTruncationOfAValidCompoundIsHandled) {
    Bytes msg = smb2::compound({smb2::echo(1), smb2::echo(2), smb2::echo(3)}, true);
    for (size_t n = 0; n <= msg.size(); n++) {
        SCOPED_TRACE(n);
        smb2::Script s;
        // The header announces the full length; only n bytes follow.
        s.raw(smb2::nbss_header(uint32_t(msg.size())));
        if (n) s.raw(Bytes(msg.begin(), msg.begin() + long(n)));
        smb2::Transcript t = smb2::run(s);
        ASSERT_TRUE(t.ok) << t.error;
        EXPECT_EQ(t.replies.empty(), n < msg.size());
    }
}

TEST(RandomFrames, MutatedMessagesOnASignedSessionAreHandled) {
    // Straight into the dispatcher with a session set up, so that signature
    // checks and reply signing see hostile chains too.
    const uint8_t key[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1};
    Gen g(99);
    smb2::DirectConn dc;
    dc.authenticate(key);
    for (int i = 0; i < 2000; i++) {
        SCOPED_TRACE(i);
        std::vector<Bytes> reqs;
        uint32_t n = 1 + g.below(5);
        for (uint32_t k = 0; k < n; k++) reqs.push_back(g.chance(50) ? smb2::echo(k) : g.request());
        Bytes msg = smb2::compound(reqs, g.chance(50), g.chance(70) ? key : nullptr);
        if (g.chance(70)) g.mutate(msg);
        dc.conn().closing = 0;
        int send = 0;
        smb2::Reply r = dc.process(msg, &send);
        EXPECT_EQ(send, r.size() != 0 ? 1 : send);
        for (const smb2::Reply &part : r.parts()) ASSERT_GE(part.size(), 64u);
    }
}
