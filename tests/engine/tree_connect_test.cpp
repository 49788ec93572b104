// TREE_CONNECT and TREE_DISCONNECT: how the share name is found in the path,
// the IPC$ tree, the refusals and their counters, and tree ids that are
// never handed out twice although disconnected trees are freed at once.
#include "support/smb2_client.h"
#include "support/builders/tempdir.h"

#include "files/scoped_share.h"

#include "config/qv2_cfg.h"
#include "engine/engine.h"

#include <gtest/gtest.h>

#include <cstdlib>

using smb2::Bytes;
using smb2::Header;

namespace {

class TreeConnect : public ::testing::Test {
  protected:
    smb2::ScopedOption guest_{"guest", "on"};
    TempDir dir_;
    ScopedShare share_{"docs", dir_.path()};
    smb2::Client cl_;

    smb2::Reply connect(const std::string &path) {
        return cl_.send(smb2::tree_connect(cl_.header(SMB2_TREE_CONNECT), path));
    }
    smb2::Reply disconnect(uint32_t tid) {
        return cl_.send(smb2::tree_disconnect(cl_.header(SMB2_TREE_DISCONNECT, tid)));
    }
    int list_length() {
        int n = 0;
        for (qv2_tree *t = cl_.conn().tree_list; t; t = t->next)
            n++;
        return n;
    }
};

} // namespace

TEST_F(TreeConnect, UncPathAndBareNameBothReachTheShareWithDifferentIds) {
    smb2::CounterWatch w;
    smb2::Reply a = connect("\\\\fileserver\\docs");
    smb2::Reply b = connect("DOCS");
    for (const smb2::Reply &r : {a, b}) {
        ASSERT_EQ(r.size(), 64u + 16u);
        EXPECT_EQ(r.status(), STATUS_SUCCESS);
        EXPECT_EQ(r.u16(64), 16u);
        EXPECT_EQ(r.u8(66), 1u) << "ShareType disk";
        EXPECT_EQ(r.u32(68), 0u);
        EXPECT_EQ(r.u32(72), 0u);
        // The read rights: a client shown write rights offers rename and delete.
        EXPECT_EQ(r.u32(76), 0x001200A9u) << "MaximalAccess";
    }
    EXPECT_EQ(a.tid(), 1u) << "the first value drawn from a fresh connection's counter";
    EXPECT_NE(a.tid(), b.tid());
    EXPECT_EQ(w.delta(QV2_ST_TREES), 2);
    qv2_tree *newest = cl_.conn().tree_list;
    ASSERT_NE(newest, nullptr);
    EXPECT_STREQ(newest->name, "DOCS") << "the name as the client wrote it";
    EXPECT_EQ(newest->is_ipc, 0);
    EXPECT_STREQ(newest->share.path, dir_.path().c_str());
}

TEST_F(TreeConnect, ForwardSlashesSeparateTooAndTheLastSeparatorWins) {
    EXPECT_EQ(connect("//host/docs").status(), STATUS_SUCCESS);
    EXPECT_EQ(connect("\\\\host/other\\docs").status(), STATUS_SUCCESS);
}

TEST_F(TreeConnect, IpcConnectsThePipeTreeWhateverTheCase) {
    smb2::Reply r = connect("\\\\host\\ipc$");
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.u8(66), 1u) << "still reported as a disk share";
    EXPECT_EQ(r.u32(76), 0xFFu) << "MaximalAccess";
    qv2_tree *t = cl_.conn().tree_list;
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->is_ipc, 1);
    EXPECT_STREQ(t->name, "IPC$");
    EXPECT_STREQ(t->share.path, "");
}

TEST_F(TreeConnect, UnknownShareIsRefusedAndCounted) {
    smb2::CounterWatch w;
    smb2::Reply r = connect("\\\\host\\nosuch");
    EXPECT_EQ(r.status(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(r.size(), 64u + 9u);
    EXPECT_EQ(w.delta(QV2_ST_TREE_REFUSED), 1);
    EXPECT_EQ(w.delta(QV2_ST_TREES), 0);
    EXPECT_EQ(cl_.conn().tree_list, nullptr);
}

TEST_F(TreeConnect, PathEndingInASeparatorNamesNoShare) {
    smb2::CounterWatch w;
    EXPECT_EQ(connect("\\\\host\\docs\\").status(), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(connect("\\\\host\\docs/").status(), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(w.delta(QV2_ST_TREE_REFUSED), 0);
    EXPECT_EQ(cl_.conn().tree_list, nullptr);
}

TEST_F(TreeConnect, MalformedRequestsAreInvalidParameter) {
    auto with = [&](auto edit) {
        Bytes req = smb2::tree_connect(cl_.header(SMB2_TREE_CONNECT), "\\\\h\\docs");
        edit(req);
        return cl_.send(req).status();
    };
    EXPECT_EQ(with([](Bytes &b) { smb2::put_u16(b, 64, 8); }), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(with([](Bytes &b) { b.resize(64 + 6); }), STATUS_INVALID_PARAMETER)
        << "PathLength cut off";
    EXPECT_EQ(with([](Bytes &b) { smb2::put_u16(b, 68, 63); }), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(with([](Bytes &b) { smb2::put_u16(b, 70, uint16_t(smb2::get_u16(b, 70) + 2)); }),
              STATUS_INVALID_PARAMETER)
        << "path running past the message";
    EXPECT_EQ(with([](Bytes &b) { smb2::put_u16(b, 70, 0); }), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(with([](Bytes &b) {
                  b.resize(72 + 1034, 'a');
                  smb2::put_u16(b, 70, 1034);
              }),
              STATUS_INVALID_PARAMETER)
        << "longer than 1032 bytes";
    EXPECT_EQ(with([](Bytes &b) { smb2::put_u16(b, 70, uint16_t(smb2::get_u16(b, 70) - 1)); }),
              STATUS_INVALID_PARAMETER)
        << "odd UTF-16 length";
    EXPECT_EQ(with([](Bytes &b) {
                  b[b.size() - 2] = 0x00;
                  b[b.size() - 1] = 0xDC; // lone low surrogate
              }),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(cl_.conn().tree_list, nullptr);
}

TEST(TreeConnectWithoutSession, IsRefusedAsSessionDeletedAndCounted) {
    smb2::DirectConn dc;
    smb2::CounterWatch w;
    smb2::Reply r = dc.process(smb2::tree_connect(Header{.mid = 1}, "\\\\h\\IPC$"));
    EXPECT_EQ(r.status(), STATUS_USER_SESSION_DELETED);
    EXPECT_EQ(w.delta(QV2_ST_TREE_REFUSED), 1);
    EXPECT_EQ(dc.conn().tree_list, nullptr);
}

TEST_F(TreeConnect, DisconnectFreesTheTreeAndOnlyALiveTreeMovesTheCounter) {
    uint32_t tid = connect("docs").tid();
    uint32_t other = connect("IPC$").tid();
    smb2::CounterWatch w;
    smb2::Reply r = disconnect(tid);
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.size(), 68u);
    EXPECT_EQ(r.u16(64), 4u);
    EXPECT_EQ(w.delta(QV2_ST_TREES), -1);
    EXPECT_EQ(list_length(), 1) << "the disconnected tree is not kept";
    EXPECT_EQ(smb2::any_tree(cl_.conn(), other), cl_.conn().tree_list);

    EXPECT_EQ(disconnect(tid).status(), STATUS_SUCCESS) << "again: nothing left to disconnect";
    EXPECT_EQ(disconnect(0x777).status(), STATUS_SUCCESS);
    EXPECT_EQ(w.delta(QV2_ST_TREES), -1);
    EXPECT_EQ(list_length(), 1);
}

TEST_F(TreeConnect, ConnectDisconnectPairsKeepNoRecords) {
    for (int i = 0; i < 200; i++) {
        uint32_t tid = connect("docs").tid();
        ASSERT_EQ(disconnect(tid).status(), STATUS_SUCCESS);
    }
    EXPECT_EQ(cl_.conn().tree_list, nullptr);
    EXPECT_EQ(cl_.conn().next_id, 200u);
}

TEST_F(TreeConnect, IdsOfFreedTreesAreSkippedOnceTheCounterWraps) {
    uint32_t a = connect("docs").tid();    // 1
    uint32_t live = connect("docs").tid(); // 2
    uint32_t b = connect("IPC$").tid();    // 3
    ASSERT_EQ(disconnect(a).status(), STATUS_SUCCESS);
    ASSERT_EQ(disconnect(b).status(), STATUS_SUCCESS);
    ASSERT_EQ(live, 2u);

    // The next draws give 1, 2, 3, 4 in the low 24 bits.
    cl_.conn().next_id = 0x1000000;
    smb2::Reply r = connect("docs");
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.tid(), 4u) << "1 and 3 were freed, 2 is live";
    EXPECT_EQ(cl_.conn().next_id, 0x1000004u);

    // 0 is a valid id once the counter's low bits pass 0xFFFFFF.
    cl_.conn().next_id = 0x1FFFFFF;
    EXPECT_EQ(connect("docs").tid(), 0u);
}

TEST_F(TreeConnect, LogoffReleasesEveryTreeAndForgetsTheirIds) {
    uint32_t tid = connect("docs").tid();
    ASSERT_EQ(disconnect(tid).status(), STATUS_SUCCESS);
    connect("docs");
    ASSERT_NE(cl_.conn().freed_tree_ids, nullptr);
    free_trees_opens(&cl_.conn(), nullptr);
    EXPECT_EQ(cl_.conn().tree_list, nullptr);
    EXPECT_EQ(cl_.conn().freed_tree_ids, nullptr);
}

// Drives the id bookkeeping directly: half a million freed trees make the
// sorted set give way to the bitmap, and no id may get lost on the way.
TEST(TreeIds, NoFreedIdIsForgottenWhenTheSetBecomesABitmap) {
    qv2_conn c{};
    const uint32_t n = 600000; // past the 2^19 ids the sorted array holds
    for (uint32_t i = 0; i < n; i++) {
        qv2_tree *t = static_cast<qv2_tree *>(calloc(1, sizeof *t));
        ASSERT_NE(t, nullptr);
        ASSERT_EQ(tree_id_draw(&c, &t->id), 0);
        t->next = c.tree_list;
        c.tree_list = t;
        t->disconnected = 1;
        tree_release(&c, t);
        ASSERT_EQ(c.tree_list, nullptr);
    }
    // Every id drawn so far is 1..n; after the wrap the first free one is n + 1.
    c.next_id = 0x1000000;
    uint32_t id = 0;
    ASSERT_EQ(tree_id_draw(&c, &id), 0);
    EXPECT_EQ(id, n + 1);
    free_trees_opens(&c, nullptr);
    EXPECT_EQ(c.freed_tree_ids, nullptr);
}

TEST(TreeIds, ReleasingInAnyOrderKeepsEveryIdTaken) {
    qv2_conn c{};
    qv2_tree *trees[6];
    for (qv2_tree *&t : trees) {
        t = static_cast<qv2_tree *>(calloc(1, sizeof *t));
        ASSERT_EQ(tree_id_draw(&c, &t->id), 0);
        t->next = c.tree_list;
        c.tree_list = t;
    }
    for (int i : {4, 0, 5, 2})
        tree_release(&c, trees[i]); // ids 5, 1, 6, 3
    c.next_id = 0x1000000;
    uint32_t got[3];
    for (uint32_t &g : got)
        ASSERT_EQ(tree_id_draw(&c, &g), 0);
    EXPECT_EQ(got[0], 7u) << "1..6 are all taken, by live or by freed trees";
    EXPECT_EQ(got[1], 8u);
    EXPECT_EQ(got[2], 9u);
    free_trees_opens(&c, nullptr);
}

// The same refusals end to end, as a client sees them.
TEST(TreeConnectEndToEnd, RefusalsAndAConnectAsTheClientSeesThem) {
    smb2::ScopedOption guest("guest", "on");
    smb2::ScopedOption clock("clock", "1700000000");
    TempDir dir;
    ScopedShare share("docs", dir.path());

    smb2::Script before;
    before.send(smb2::tree_connect(Header{.mid = 1}, "\\\\h\\docs"));
    smb2::CounterWatch w;
    smb2::Transcript t = smb2::run(before);
    ASSERT_EQ(t.replies.size(), 1u);
    EXPECT_EQ(t.replies[0].status(), STATUS_USER_SESSION_DELETED) << "before SESSION_SETUP";
    EXPECT_EQ(t.replies[0].size(), 64u + 9u);
    EXPECT_EQ(w.delta(QV2_ST_TREE_REFUSED), 1);

    smb2::SimClient sim;
    smb2::CounterWatch w2;
    std::vector<smb2::Reply> r = sim.run({
        smb2::tree_connect(sim.header(SMB2_TREE_CONNECT), "\\\\h\\nosuch"),
        smb2::tree_connect(sim.header(SMB2_TREE_CONNECT), "\\\\h\\docs\\"),
        smb2::tree_connect(sim.header(SMB2_TREE_CONNECT), "\\\\h\\docs"),
        smb2::tree_disconnect(sim.header(SMB2_TREE_DISCONNECT, 1)),
    });
    EXPECT_EQ(r[0].status(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(r[1].status(), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(r[2].status(), STATUS_SUCCESS);
    EXPECT_EQ(r[2].tid(), 1u) << "refusals draw no id";
    EXPECT_EQ(r[3].status(), STATUS_SUCCESS);
    EXPECT_EQ(w2.delta(QV2_ST_TREE_REFUSED), 1);
    EXPECT_EQ(w2.delta(QV2_ST_TREES), 0) << "+1 for the connect, -1 for the disconnect";
}

TEST_F(TreeConnect, TraceShowsTheShareNameAndAFailedLookup) {
    smb2::ScopedTraceLevel traced(2);
    testing::internal::CaptureStderr();
    connect("\\\\h\\docs");
    connect("\\\\h\\nosuch");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[tcon] share='docs' path='\\\\h\\docs'\n"), std::string::npos) << err;
    EXPECT_NE(err.find("[tcon] find FAILED for 'nosuch'\n"), std::string::npos) << err;
}
