// A client that holds a lease on 900 files and a CHANGE_NOTIFY on 60
// folders, floods CHANGE_NOTIFY, never acknowledges the breaks the host's
// changes bring, and lets thousands of changes pile up: what it holds costs
// the server bounded memory, the flood costs next to nothing, and every
// watch goes with the connection. In-process over loopback.
#include "load_fixture.h"

#include "engine/qv2_hub.h"
#include "support/memory_probe.h"

#include <cstdlib>

namespace {

constexpr int kFiles = 900, kFolders = 60, kFlood = 1000;
constexpr long long kMiB = 1 << 20;

// Reads messages until `done` says enough (bounded); counts what it saw.
struct inbox {
    int breaks = 0, completions = 0, refused = 0, pending = 0;
    bool read_until(nettest::Conn &c, const std::function<bool()> &done) {
        for (int idle = 0; !done() && idle < 100;) {
            smb2::Reply r = c.recv(200);
            if (r.size() < 64) {
                idle++;
                continue;
            }
            if (r.command() == SMB2_OPLOCK_BREAK)
                breaks++;
            else if (r.status() == STATUS_PENDING)
                pending++;
            else if (r.status() == STATUS_INSUFFICIENT_RESOURCES)
                refused++;
            else if (r.command() == SMB2_CHANGE_NOTIFY)
                completions++;
        }
        return done();
    }
};

} // namespace

using CachingMemory = LoadTest;

TEST_F(CachingMemory, LeasesNotifiesFloodsAndUnacknowledgedBreaksCostBoundedMemory) {
    for (int i = 0; i < kFiles; i++)
        dir_.write("m/f" + std::to_string(i), "x");
    for (int i = 0; i < kFolders; i++)
        dir_.mkdir("n/d" + std::to_string(i));
    int port = start();
    long long grants = nettest::stat("grants"), breaks = nettest::stat("breaks_sent");
    long long completed = nettest::stat("notifies_completed");
    nettest::Conn c(port);
    smb2::Session s = c.logon();
    ASSERT_TRUE(s.ok) << s.error;
    uint32_t tid = c.exchange(smb2::tree_connect(s.header(SMB2_TREE_CONNECT), "\\\\h\\docs")).tid();
    const long long before = probe::memory_in_use();

    inbox in;
    for (int i = 0; i < kFiles; i++) {
        smb2::Reply r = c.exchange(smb2::create(
            s.header(SMB2_CREATE, tid),
            smb2::with_lease({.name = "m/f" + std::to_string(i)}, uint64_t(i + 1), 3)));
        ASSERT_EQ(r.status(), STATUS_SUCCESS);
        ASSERT_EQ(r.u8(66), 0xFF) << "a lease on file " << i;
    }
    std::vector<uint64_t> folders;
    for (int i = 0; i < kFolders; i++) {
        smb2::Reply r = c.exchange(smb2::create(s.header(SMB2_CREATE, tid),
                                                {.name = "n/d" + std::to_string(i), .options = 1}));
        folders.push_back(smb2::create_fid(r));
        r = c.exchange(
            smb2::change_notify(s.header(SMB2_CHANGE_NOTIFY, tid), {.fid = folders.back()}));
        ASSERT_EQ(r.status(), STATUS_PENDING) << "folder " << i;
    }
    const long long holding = probe::memory_in_use();

    // The flood: every request past the limit is refused at once.
    for (int i = 0; i < kFlood; i++)
        ASSERT_TRUE(
            c.send(smb2::change_notify(s.header(SMB2_CHANGE_NOTIFY, tid), {.fid = folders[0]})));
    // The host changes every leased file and fills every watched folder;
    // no break is acknowledged.
    ASSERT_EQ(system(("cd '" + dir_.path() + "' && for f in m/*; do echo y >> $f; done && " +
                      "for d in n/*; do for i in $(seq 40); do : > $d/new$i; done; done")
                         .c_str()),
              0);
    // Each flood request is refused, goes pending, or (when changes wait
    // already) is completed at once; a pending one may complete meanwhile,
    // as the host's changes free waiting places: the count only has to
    // reach every answer once.
    ASSERT_TRUE(in.read_until(c,
                              [&] {
                                  return in.breaks == kFiles && in.completions >= kFolders &&
                                         in.refused + in.pending + in.completions >=
                                             kFlood + kFolders;
                              }))
        << in.refused << " refused, " << in.pending << " pending, " << in.breaks << " breaks, "
        << in.completions << " done";
    EXPECT_GE(in.refused, kFlood - 2 * 64) << "all but a few places' worth are refused";
    const long long after = probe::memory_in_use();

    // 900 open handles are most of it (a few KiB each); the leases, watches
    // and waiting requests add little.
    EXPECT_LT(holding, before + 8 * kMiB) << (holding - before) / 1024 << " KiB";
    EXPECT_LT(after, holding + 1 * kMiB) << (after - holding) / 1024 << " KiB";
    EXPECT_EQ(nettest::stat("grants") - grants, kFiles);
    EXPECT_EQ(nettest::stat("breaks_sent") - breaks, kFiles);
    EXPECT_GE(nettest::stat("notifies_completed") - completed, kFolders);
    EXPECT_LE(qv2_hub_watch_count(), QV2_HUB_CONN_WATCHES_MAX);

    c.close();
    EXPECT_TRUE(nettest::wait_until([] { return dirir2i_client_count() == 0; }));
    EXPECT_EQ(qv2_hub_watch_count(), 0) << "every watch went with the connection";
}
