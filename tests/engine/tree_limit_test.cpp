// A connection holds at most 1024 live trees: a client can't make the server
// allocate without bound by sending TREE_CONNECTs.
#include "support/smb2_client.h"
#include "support/builders/tempdir.h"

#include "files/scoped_share.h"

#include "config/qv2_cfg.h"

#include <gtest/gtest.h>

namespace {

int live_trees(const qv2_conn &c) {
    int n = 0;
    for (const qv2_tree *t = c.tree_list; t; t = t->next)
        n += !t->disconnected;
    return n;
}

} // namespace

TEST(TreeLimit, TheTreeAfterTheThousandTwentyFourthLiveOneIsRefusedUntilOneIsDisconnected) {
    smb2::ScopedOption guest("guest", "on");
    TempDir dir;
    ScopedShare share("docs", dir.path());
    smb2::Client cl;
    auto connect = [&](const char *path) {
        return cl.send(smb2::tree_connect(cl.header(SMB2_TREE_CONNECT), path));
    };

    uint32_t first = 0;
    for (int i = 0; i < 1024; i++) {
        // IPC$ trees count like share trees.
        smb2::Reply r = connect(i % 2 ? "\\\\h\\docs" : "\\\\h\\IPC$");
        ASSERT_EQ(r.status(), STATUS_SUCCESS) << "tree " << i;
        if (i == 0) first = r.tid();
    }
    ASSERT_EQ(live_trees(cl.conn()), 1024);

    smb2::CounterWatch w;
    smb2::Reply refused = connect("\\\\h\\docs");
    EXPECT_EQ(refused.status(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(refused.size(), 64u + 9u) << "an error reply: header and error body";
    EXPECT_EQ(w.delta(QV2_ST_TREE_REFUSED), 1);
    EXPECT_EQ(w.delta(QV2_ST_TREES), 0);
    EXPECT_EQ(live_trees(cl.conn()), 1024);

    // Every live tree still works.
    EXPECT_EQ(cl.create(first + 1, {.name = ""}).status(), STATUS_SUCCESS);

    ASSERT_EQ(cl.send(smb2::tree_disconnect(cl.header(SMB2_TREE_DISCONNECT, first))).status(),
              STATUS_SUCCESS);
    smb2::Reply again = connect("\\\\h\\docs");
    EXPECT_EQ(again.status(), STATUS_SUCCESS);
    EXPECT_NE(again.tid(), first) << "a disconnected tree's id is not handed out again";
    EXPECT_EQ(connect("\\\\h\\docs").status(), STATUS_INSUFFICIENT_RESOURCES);
}
