// Leases and oplocks through the engine: what CREATE grants for what is
// asked (MS-SMB2 3.3.5.9), the break each holder gets when the host changes
// its file (3.3.4.6, 3.3.4.7), and the checks of the acknowledgments
// (3.3.5.22). Real files, real inotify; the breaks are what the connection
// sends once its poll sees the change.
#include "support/builders/tempdir.h"
#include "support/loopback_client.h"
#include "support/smb2_client.h"
#include "support/smb3_client.h"

#include "engine/qv2_cache.h"
#include "engine/qv2_hub.h"
#include "files/scoped_share.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kNoMid = ~uint64_t(0);

// The client's view of a CREATE reply's oplock and lease.
struct granted {
    uint32_t status;
    uint8_t oplock;
    int32_t lease = -1; // the lease context's state; -1: no context
    uint32_t lease_flags = 0;
};

granted grant_of(const smb2::Reply &r) {
    granted g{r.status(), r.status() == 0 ? r.u8(66) : uint8_t(0)};
    if (r.status() != 0 || r.u32(148) == 0) return g;
    for (size_t at = r.u32(144);;) {
        if (std::string(r.bytes().begin() + long(at + 16), r.bytes().begin() + long(at + 20)) ==
            "RqLs") {
            size_t data = at + r.u16(at + 10);
            g.lease = int32_t(r.u32(data + 16));
            g.lease_flags = r.u32(data + 20);
        }
        if (r.u32(at) == 0) return g;
        at += r.u32(at);
    }
}

class Leases : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char *f : {"a.txt", "b.txt", "c.txt", "d.txt"})
            dir_.write(f, "content");
        dir_.mkdir("sub");
        cl_.conn().cache.leasing = true; // as over a transport that can be woken
        tid_ = cl_.connect("docs");
    }
    smb2::Reply create(const smb2::CreateParams &p) { return cl_.create(tid_, p); }
    // Waits (bounded) until the connection has sent `n` messages of its own.
    std::vector<smb2::Reply> pushed(size_t n) {
        std::vector<smb2::Reply> out;
        nettest::wait_until(
            [&] {
                qv2_cache_poll(&cl_.conn());
                out.clear();
                for (const smb2::Bytes &w : cl_.direct().transport().writes())
                    if (w.size() >= 64 && w[0] == 0xFE) out.emplace_back(w);
                return out.size() >= n;
            },
            10000);
        return out;
    }
    void append(const std::string &name) {
        ASSERT_EQ(system(("echo more >> '" + dir_.join(name) + "'").c_str()), 0);
    }

    smb2::ScopedOption guest_{"guest", "on"};
    TempDir dir_;
    ScopedShare share_{"docs", dir_.path()};
    smb2::Client cl_;
    uint32_t tid_ = 0;
};

} // namespace

TEST_F(Leases, CreateGrantsTheReadOnlyPartOfWhatIsAsked) {
    struct row {
        const char *what;
        smb2::CreateParams p;
        granted expect;
    };
    const row rows[] = {
        {"RWH asked: RH", smb2::with_lease({.name = "a.txt"}, 1, 7), {0, 0xFF, 3}},
        {"the same key: the same lease", smb2::with_lease({.name = "a.txt"}, 1, 1), {0, 0xFF, 3}},
        {"R asked: R", smb2::with_lease({.name = "b.txt"}, 2, 1), {0, 0xFF, 1}},
        {"H alone: nothing", smb2::with_lease({.name = "c.txt"}, 3, 2), {0, 0}},
        {"a key held on another file",
         smb2::with_lease({.name = "c.txt"}, 1, 1),
         {STATUS_INVALID_PARAMETER, 0}},
        {"the version 2 form at 2.1: answered in version 1",
         smb2::with_lease({.name = "c.txt"}, 4, 3, true),
         {0, 0xFF, 3}},
        {"batch oplock: level II", {.name = "d.txt", .oplock = 0x09}, {0, 0x01}},
        {"exclusive oplock: level II", {.name = "d.txt", .oplock = 0x08}, {0, 0x01}},
        {"a folder: nothing", smb2::with_lease({.name = "sub"}, 5, 7), {0, 0}},
        {"a folder's oplock: nothing", {.name = "sub", .oplock = 0x09}, {0, 0}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        smb2::Reply reply = create(r.p);
        granted g = grant_of(reply);
        EXPECT_EQ(g.status, r.expect.status);
        EXPECT_EQ(g.oplock, r.expect.oplock);
        EXPECT_EQ(g.lease, r.expect.lease);
        if (g.lease >= 0) {
            EXPECT_EQ(reply.u32(148), 24u + 32u) << "the version 1 context alone";
        }
    }

    // A file the host replaced is still the file its name names: its lease
    // key is not "held on another file".
    ASSERT_EQ(system(("cd '" + dir_.path() + "' && echo new > tmp && mv tmp a.txt").c_str()), 0);
    EXPECT_EQ(grant_of(create(smb2::with_lease({.name = "a.txt"}, 1, 3))).status, 0u);

    // The pipe, a 2.0.2 connection (no leases), and a transport that can't
    // be woken get what the table says.
    uint32_t ipc = cl_.connect("IPC$");
    EXPECT_EQ(grant_of(cl_.create(ipc, {.name = "srvsvc", .oplock = 0x09})).oplock, 0);
    smb2::Client old({.dialects = {0x0202}});
    old.conn().cache.leasing = true;
    uint32_t t = old.connect("docs");
    EXPECT_EQ(grant_of(old.create(t, smb2::with_lease({.name = "a.txt"}, 9, 3))).oplock, 0);
    EXPECT_EQ(grant_of(old.create(t, {.name = "a.txt", .oplock = 0x09})).oplock, 0x01);
    smb2::Client plain;
    t = plain.connect("docs");
    EXPECT_EQ(grant_of(plain.create(t, {.name = "a.txt", .oplock = 0x09})).oplock, 0);
}

TEST_F(Leases, AHostChangeBreaksEachHolderAndTheAcknowledgmentsAreChecked) {
    smb2::CounterWatch w;
    int32_t watches = qv2_hub_watch_count();
    ASSERT_EQ(grant_of(create(smb2::with_lease({.name = "a.txt"}, 1, 3))).lease, 3);
    ASSERT_EQ(grant_of(create(smb2::with_lease({.name = "b.txt"}, 2, 1))).lease, 1);
    uint64_t c_fid = smb2::create_fid(create({.name = "c.txt", .oplock = 0x01}));
    EXPECT_EQ(qv2_hub_watch_count(), watches + 3);
    append("a.txt");
    append("b.txt");
    append("c.txt");
    std::vector<smb2::Reply> breaks = pushed(3);
    ASSERT_EQ(breaks.size(), 3u);
    EXPECT_EQ(qv2_hub_watch_count(), watches) << "a broken grant watches nothing";
    for (const smb2::Reply &b : breaks) {
        EXPECT_EQ(b.command(), SMB2_OPLOCK_BREAK);
        EXPECT_EQ(b.mid(), kNoMid);
        EXPECT_EQ(b.flags(), 0x1u) << "a response, unsigned";
        EXPECT_EQ(b.tid(), 0u);
        if (b.u16(64) == 44) { // a lease break: no session, to none
            uint8_t key = b.u8(72);
            EXPECT_EQ(b.sid(), 0u);
            EXPECT_EQ(b.u32(88), key == 1 ? 3u : 1u) << "CurrentLeaseState";
            EXPECT_EQ(b.u32(92), 0u) << "NewLeaseState";
            EXPECT_EQ(b.u32(68), key == 1 ? 1u : 0u) << "ACK_REQUIRED only when H goes";
        } else {
            EXPECT_EQ(b.u16(64), 24u);
            EXPECT_EQ(b.sid(), cl_.session().session_id);
            EXPECT_EQ(b.u8(66), 0u);
            EXPECT_EQ(b.u64(72), c_fid);
        }
    }
    EXPECT_EQ(w.delta(QV2_ST_GRANTS), 3);
    EXPECT_EQ(w.delta(QV2_ST_BREAKS_SENT), 3);

    struct row {
        const char *what;
        smb2::Bytes req;
        uint32_t status;
    };
    const row rows[] = {
        {"unknown lease key", smb2::lease_ack(cl_.header(18, tid_), 7, 0),
         STATUS_OBJECT_NAME_NOT_FOUND},
        {"a state the break does not leave", smb2::lease_ack(cl_.header(18, tid_), 1, 1),
         STATUS_REQUEST_NOT_ACCEPTED},
        {"the lease break", smb2::lease_ack(cl_.header(18, tid_), 1, 0), STATUS_SUCCESS},
        {"the same again", smb2::lease_ack(cl_.header(18, tid_), 1, 0), STATUS_UNSUCCESSFUL},
        {"a break that needed none", smb2::lease_ack(cl_.header(18, tid_), 2, 0),
         STATUS_UNSUCCESSFUL},
        {"unknown FileId", smb2::oplock_ack(cl_.header(18, tid_), 0x999, 0), STATUS_FILE_CLOSED},
        {"to level II", smb2::oplock_ack(cl_.header(18, tid_), c_fid, 1),
         STATUS_INVALID_OPLOCK_PROTOCOL},
        {"after that, no break", smb2::oplock_ack(cl_.header(18, tid_), c_fid, 0),
         STATUS_INVALID_DEVICE_STATE},
        {"neither size", smb2::request(cl_.header(18, tid_), smb2::Body().u16(30).u16(0)),
         STATUS_INVALID_PARAMETER},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        smb2::Reply reply = cl_.send(r.req);
        EXPECT_EQ(reply.status(), r.status);
        if (r.status == 0) {
            EXPECT_EQ(reply.u16(64), 36u);
        }
    }
    EXPECT_EQ(w.delta(QV2_ST_BREAKS_ACKED), 1);
}

// MS-SMB2 3.3.6.5: a break never acknowledged ends at its deadline, and the
// lease can be had again, watched afresh.
TEST_F(Leases, AnUnacknowledgedBreakEndsAtItsDeadline) {
    ASSERT_EQ(grant_of(create(smb2::with_lease({.name = "a.txt"}, 1, 3))).lease, 3);
    append("a.txt");
    ASSERT_EQ(pushed(1).size(), 1u);
    qv2_lease *l = qv2_lease_find(&cl_.conn(), smb2::lease_key(1).data());
    ASSERT_NE(l, nullptr);
    EXPECT_TRUE(l->breaking);
    granted again = grant_of(create(smb2::with_lease({.name = "a.txt"}, 1, 3)));
    EXPECT_EQ(again.lease, 3);
    EXPECT_EQ(again.lease_flags, 0x2u) << "BREAK_IN_PROGRESS";
    l->deadline_ms = 1;
    qv2_lease_deadlines(&cl_.conn());
    qv2_cache_poll(&cl_.conn());
    EXPECT_FALSE(l->breaking);
    EXPECT_EQ(cl_.send(smb2::lease_ack(cl_.header(18, tid_), 1, 0)).status(), STATUS_UNSUCCESSFUL);
    int32_t watches = qv2_hub_watch_count();
    EXPECT_EQ(grant_of(create(smb2::with_lease({.name = "a.txt"}, 1, 3))).lease, 3);
    EXPECT_EQ(qv2_hub_watch_count(), watches + 1);
}

// At 3.x a lease is asked for and answered with the version 2 context, whose
// epoch moves with each change of state; and a break for a session that
// encrypts everything goes out sealed with its key, as its replies do.
TEST_F(Leases, At3xTheVersion2EpochMovesAndABreakGoesSealedWhenTheSessionEncrypts) {
    smb2::ScopedOption dialect("max_dialect", "3.0");
    smb2::ScopedUser alice("alice", "pw");
    smb2::Client cl(
        {.user = "alice", .password = "pw", .dialects = {0x0300}, .capabilities = 0x40});
    cl.conn().cache.leasing = true;
    uint32_t tid = cl.connect("docs");
    smb2::Reply r = cl.create(tid, smb2::with_lease({.name = "a.txt"}, 1, 3, true));
    ASSERT_EQ(grant_of(r).lease, 3);
    EXPECT_EQ(r.u32(148), 24u + 52u) << "the version 2 context";
    size_t data = r.u32(144) + 24;
    EXPECT_EQ(r.u16(data + 48), 8u) << "Epoch: the client's 7, and one change";

    ASSERT_NE(cl.conn().sessions, nullptr);
    cl.conn().sessions->encrypt_data = 1;
    append("a.txt");
    smb2::Bytes sealed;
    nettest::wait_until(
        [&] {
            qv2_cache_poll(&cl.conn());
            const std::vector<smb2::Bytes> &w = cl.direct().transport().writes();
            for (size_t i = 0; i + 1 < w.size(); i++)
                if (w[i].size() == 4 + 52 && w[i][4] == 0xFD) {
                    sealed.assign(w[i].begin() + 4, w[i].end());
                    sealed.insert(sealed.end(), w[i + 1].begin(), w[i + 1].end());
                }
            return !sealed.empty();
        },
        10000);
    smb2::Bytes plain = smb2::open(smb2::keys_300(cl.session().key), sealed);
    ASSERT_FALSE(plain.empty()) << "sealed with the session's key";
    smb2::Reply b(plain);
    EXPECT_EQ(b.command(), SMB2_OPLOCK_BREAK);
    EXPECT_EQ(b.u16(64), 44u);
    EXPECT_EQ(b.u16(66), 9u) << "NewEpoch";
    EXPECT_EQ(b.u32(68), 1u) << "ACK_REQUIRED";
}
