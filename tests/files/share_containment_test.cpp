// Resolution of share-relative paths: what lies inside a share is served,
// nothing outside it can be reached, and every refusal looks the same.
#include "config/qv2_cfg.h"
#include "files/qv2_vfs.h"
#include "files/scoped_share.h"
#include "foundation/qv2_util.h"
#include "support/builders/tempdir.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

namespace {

// t/data is the share; t/data2 and t/other lie next to it.
class ShareContainment : public ::testing::Test {
  protected:
    void SetUp() override {
        t.write("data/sub/f.txt", "inside");
        t.write("data/top.txt", "top");
        t.write("data2/f", "sibling");
        t.write("other/secret", "secret");
        t.symlink(t.join("other"), "data/out");
        t.symlink("../other/secret", "data/out_file");
        t.symlink(t.join("data2/f"), "data/sib");
        t.symlink(t.join("data2"), "data/sib_dir");
        t.symlink("..", "data/up");
        t.symlink("sub/f.txt", "data/in");
        t.symlink(t.join("data/sub"), "data/in_dir");
        t.symlink("missing", "data/dangling");
        ASSERT_EQ(mkfifo(t.join("data/fifo").c_str(), 0644), 0);
    }

    void expect_refused(const char *share, const char *path, int64_t counted) {
        int64_t before = qv2_stat_get(QV2_ST_PATH_REFUSED);
        qv2_vres res;
        res.kind = 77;
        EXPECT_EQ(qv2_vfs_resolve(share, path, &res), DIRIR2I_EARG) << path;
        EXPECT_STREQ(qv2_error(), "The file cannot be found.") << path;
        EXPECT_EQ(res.kind, QV2_V_NONE) << path;
        EXPECT_EQ(qv2_stat_get(QV2_ST_PATH_REFUSED) - before, counted) << path;
    }

    TempDir t;
};

TEST_F(ShareContainment, LinksAndDotDotThatLeaveTheShareAreRefusedAndCounted) {
    ScopedShare s("contain", t.join("data"));
    for (const char *p : {"out", "out/secret", "out_file", "sib", "sib_dir", "sib_dir/f", "up",
                          "up/other/secret", "..", "../data2/f", "sub/../../other/secret",
                          "sub/../..", "in_dir/../../other"})
        expect_refused("contain", p, 1);
}

TEST_F(ShareContainment, MissingAndUnservableObjectsFailWithoutCounting) {
    ScopedShare s("contain", t.join("data"));
    for (const char *p : {"missing", "sub/missing", "dangling", "fifo", "top.txt/x"})
        expect_refused("contain", p, 0);
    expect_refused("no-such-share", "", 0);
    expect_refused(nullptr, "", 0);
    // Joined with the share's path this no longer fits a host path.
    std::string long_path(2100, 'a');
    expect_refused("contain", long_path.c_str(), 0);
}

TEST_F(ShareContainment, ObjectsInsideResolveToTheirCanonicalPath) {
    ScopedShare s("Contain", t.join("data"));
    qv2_vres res;
    ASSERT_EQ(qv2_vfs_resolve("CONTAIN", nullptr, &res), 0);
    EXPECT_EQ(res.kind, QV2_V_DIR);
    EXPECT_EQ(std::string(res.host), t.join("data"));
    EXPECT_STREQ(res.share.name, "Contain");
    EXPECT_EQ(res.info.kind, QV2_FS_DIR);

    ASSERT_EQ(qv2_vfs_resolve("contain", "", &res), 0);
    EXPECT_EQ(res.kind, QV2_V_DIR);

    ASSERT_EQ(qv2_vfs_resolve("contain", "sub/f.txt", &res), 0);
    EXPECT_EQ(res.kind, QV2_V_FILE);
    EXPECT_EQ(std::string(res.host), t.join("data/sub/f.txt"));
    EXPECT_EQ(res.info.size, 6u);

    // A link that stays inside resolves to its target.
    ASSERT_EQ(qv2_vfs_resolve("contain", "in", &res), 0);
    EXPECT_EQ(res.kind, QV2_V_FILE);
    EXPECT_EQ(std::string(res.host), t.join("data/sub/f.txt"));
    ASSERT_EQ(qv2_vfs_resolve("contain", "in_dir", &res), 0);
    EXPECT_EQ(res.kind, QV2_V_DIR);
    EXPECT_EQ(std::string(res.host), t.join("data/sub"));
}

TEST_F(ShareContainment, SiblingFolderSharingThePrefixIsOutsideEvenAsAShareOfItsOwn) {
    ScopedShare s("contain", t.join("data"));
    ScopedShare s2("contain2", t.join("data2"));
    qv2_vres res;
    ASSERT_EQ(qv2_vfs_resolve("contain2", "f", &res), 0);
    EXPECT_EQ(std::string(res.host), t.join("data2/f"));
    expect_refused("contain", "sib", 1);
}

TEST_F(ShareContainment, SingleFileShareServesOnlyItsFile) {
    ScopedShare s("onefile", t.join("data/top.txt"));
    qv2_vres res;
    ASSERT_EQ(qv2_vfs_resolve("onefile", "", &res), 0);
    EXPECT_EQ(res.kind, QV2_V_FILE);
    EXPECT_EQ(res.share.is_file, 1);
    EXPECT_EQ(std::string(res.host), t.join("data/top.txt"));
    EXPECT_EQ(res.info.size, 3u);
    expect_refused("onefile", "x", 0);
    expect_refused("onefile", "..", 0);
}

TEST_F(ShareContainment, RootShareContainsEverything) {
    ScopedShare s("wholedisk", "/");
    qv2_vres res;
    std::string rel = t.join("data/sub/f.txt").substr(1);
    ASSERT_EQ(qv2_vfs_resolve("wholedisk", rel.c_str(), &res), 0);
    EXPECT_EQ(res.kind, QV2_V_FILE);
    EXPECT_EQ(std::string(res.host), t.join("data/sub/f.txt"));
    rel = t.join("data/out").substr(1);
    ASSERT_EQ(qv2_vfs_resolve("wholedisk", rel.c_str(), &res), 0);
    EXPECT_EQ(std::string(res.host), t.join("other"));
    ASSERT_EQ(qv2_vfs_resolve("wholedisk", "", &res), 0);
    EXPECT_STREQ(res.host, "/");
    ASSERT_EQ(qv2_vfs_resolve("wholedisk", "..", &res), 0); // the parent of / is /
    EXPECT_STREQ(res.host, "/");
}

TEST_F(ShareContainment, IpcIsThePipeNamespaceWithoutAHostObject) {
    qv2_vres res;
    ASSERT_EQ(qv2_vfs_resolve("ipc$", "srvsvc", &res), 0);
    EXPECT_EQ(res.kind, QV2_V_PIPE);
    EXPECT_STREQ(res.host, "");
    EXPECT_STREQ(res.share.name, "IPC$");
    EXPECT_EQ(res.info.size, 0u);
    EXPECT_EQ(res.info.kind, 0);
}

TEST_F(ShareContainment, RemovedShareNoLongerResolves) {
    qv2_vres res;
    {
        ScopedShare s("shortlived", t.join("data"));
        ASSERT_EQ(qv2_vfs_resolve("shortlived", "top.txt", &res), 0);
    }
    expect_refused("shortlived", "top.txt", 0);
}

TEST_F(ShareContainment, ShareRootReplacedByALinkNoLongerServesAnything) {
    ScopedShare s("moved", t.join("data"));
    ASSERT_EQ(rename(t.join("data").c_str(), t.join("data_old").c_str()), 0);
    t.symlink(t.join("other"), "data");
    expect_refused("moved", "secret", 1);
    expect_refused("moved", "", 1);
    ASSERT_EQ(unlink(t.join("data").c_str()), 0);
    ASSERT_EQ(rename(t.join("data_old").c_str(), t.join("data").c_str()), 0);
}

} // namespace
