// The host file-system layer's no-follow opens, by openat2 and by the
// component walk: a canonical path opens as before, a link anywhere on it
// fails the open; and the stat of a listing's entries relative to the open
// directory.
#include "files/qv2_fs.h"
#include "files/qv2_vfs.h"
#include "files/scoped_share.h"
#include "foundation/qv2_util.h"
#include "support/builders/tempdir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <sys/stat.h>

namespace {

struct WalkMode {
    explicit WalkMode(int walk) { qv2_fs_force_walk(walk); }
    ~WalkMode() { qv2_fs_force_walk(0); }
};

class NoFollowOpen : public ::testing::TestWithParam<int> {
  protected:
    WalkMode mode_{GetParam()};
    TempDir t_;

    void SetUp() override {
        t_.write("d/f.txt", "12345");
        t_.write("d/sub/g.txt", "g");
        t_.symlink(t_.join("d"), "to_d");
        t_.symlink("f.txt", "d/to_f");
        t_.symlink(t_.join("d/sub"), "d/to_sub");
        ASSERT_EQ(mkfifo(t_.join("d/fifo").c_str(), 0644), 0);
    }
    bool opens_file(const std::string &path) {
        qv2_fs_info info;
        qv2_file *f = qv2_fs_open_ro_nofollow(path.c_str(), &info);
        qv2_fs_close(f);
        return f != nullptr;
    }
    bool opens_dir(const std::string &path) {
        qv2_dir *d = qv2_fs_opendir_nofollow(path.c_str());
        qv2_fs_closedir(d);
        return d != nullptr;
    }
};

INSTANTIATE_TEST_SUITE_P(ResolvedBy, NoFollowOpen, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int> &p) {
                             return p.param ? "ComponentWalk" : "Openat2";
                         });

} // namespace

TEST_P(NoFollowOpen, CanonicalPathsOpenAsTheyDoWithLinksFollowed) {
    qv2_fs_info info;
    qv2_file *f = qv2_fs_open_ro_nofollow(t_.join("d/f.txt").c_str(), &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.kind, QV2_FS_FILE);
    EXPECT_EQ(info.size, 5u);
    char buf[8];
    EXPECT_EQ(qv2_fs_pread(f, 1, buf, 8), 4);
    EXPECT_EQ(std::string(buf, 4), "2345");
    qv2_fs_close(f);

    EXPECT_TRUE(opens_file(t_.join("d/sub/g.txt")));
    EXPECT_TRUE(opens_dir(t_.join("d")));
    EXPECT_TRUE(opens_dir(t_.join("d/sub")));
    EXPECT_TRUE(opens_dir("/")) << "a share may sit on the root";
}

TEST_P(NoFollowOpen, LinkAnywhereOnThePathFailsTheOpen) {
    // The same objects, reached through a link as the last component or as
    // a folder on the way; the link-following opens take them all.
    for (const char *p : {"to_d/f.txt", "d/to_f", "to_d/sub/g.txt", "d/to_sub/g.txt"}) {
        EXPECT_FALSE(opens_file(t_.join(p))) << p;
        qv2_file *f = qv2_fs_open_ro(t_.join(p).c_str(), nullptr);
        EXPECT_NE(f, nullptr) << p;
        qv2_fs_close(f);
    }
    for (const char *p : {"to_d", "d/to_sub", "to_d/sub"}) {
        EXPECT_FALSE(opens_dir(t_.join(p))) << p;
        qv2_dir *d = qv2_fs_opendir(t_.join(p).c_str());
        EXPECT_NE(d, nullptr) << p;
        qv2_fs_closedir(d);
    }
}

TEST_P(NoFollowOpen, WrongKindsAndNonCanonicalPathsAreRefused) {
    qv2_fs_info info;
    for (const char *p : {"d", "d/fifo", "d/missing"}) {
        info.kind = 99;
        EXPECT_EQ(qv2_fs_open_ro_nofollow(t_.join(p).c_str(), &info), nullptr) << p;
        EXPECT_EQ(info.kind, 0) << p; // cleared, not left half filled
    }
    EXPECT_EQ(qv2_fs_open_ro_nofollow("/dev/null", nullptr), nullptr);
    EXPECT_FALSE(opens_dir(t_.join("d/f.txt")));
    EXPECT_FALSE(opens_dir(t_.join("d/fifo")));

    // A canonical path has no ".", "..", trailing separator or relative form.
    for (const std::string &p : {t_.join("d/./f.txt"), t_.join("d/sub/../f.txt"),
                                 t_.join("d/f.txt/"), std::string("d/f.txt"), std::string("")}) {
        EXPECT_FALSE(opens_file(p)) << p;
    }
    for (const std::string &p : {t_.join("d/."), t_.join("d/sub/.."), t_.join("d/")})
        EXPECT_FALSE(opens_dir(p)) << p;
    EXPECT_EQ(qv2_fs_open_ro_nofollow(nullptr, nullptr), nullptr);
    EXPECT_EQ(qv2_fs_opendir_nofollow(nullptr), nullptr);
    EXPECT_FALSE(opens_file(t_.write("d/bad\xff", "x")));
}

TEST(NoFollowLstatat, EntriesAreExaminedRelativeToTheOpenDirectory) {
    TempDir t;
    t.write("d/f.txt", "12345");
    t.mkdir("d/sub");
    t.symlink("f.txt", "d/to_f");
    qv2_dir *d = qv2_fs_opendir_nofollow(t.join("d").c_str());
    ASSERT_NE(d, nullptr);

    // Moving the folder away leaves the open directory valid: nothing is
    // looked up by path again.
    ASSERT_EQ(rename(t.join("d").c_str(), t.join("moved").c_str()), 0);
    qv2_fs_info info, by_path;
    ASSERT_EQ(qv2_fs_lstatat(d, "f.txt", &info), 0);
    ASSERT_EQ(qv2_fs_lstat(t.join("moved/f.txt").c_str(), &by_path), 0);
    EXPECT_EQ(info.kind, QV2_FS_FILE);
    EXPECT_EQ(info.size, 5u);
    EXPECT_EQ(info.ino, by_path.ino);
    EXPECT_EQ(info.mtime, by_path.mtime);
    ASSERT_EQ(qv2_fs_lstatat(d, "sub", &info), 0);
    EXPECT_EQ(info.kind, QV2_FS_DIR);
    EXPECT_EQ(info.size, 0u);
    ASSERT_EQ(qv2_fs_lstatat(d, "to_f", &info), 0);
    EXPECT_EQ(info.kind, QV2_FS_LINK) << "a link is reported, not followed";

    for (const char *bad : {"missing", "", ".", "..", "sub/../f.txt", "f.txt/", "x\xff"}) {
        info.kind = 99;
        EXPECT_EQ(qv2_fs_lstatat(d, bad, &info), -1) << bad;
        EXPECT_EQ(info.kind, 0) << bad;
    }
    EXPECT_EQ(qv2_fs_lstatat(d, nullptr, &info), -1);
    EXPECT_EQ(qv2_fs_lstatat(nullptr, "f.txt", &info), -1);
    EXPECT_EQ(qv2_fs_lstatat(d, "f.txt", nullptr), -1);
    qv2_fs_closedir(d);
}

TEST(NoFollowListing, DirectoryWhoseHostPathHoldsALinkIsNotListed) {
    TempDir t;
    t.write("share/sub/a.txt", "a");
    t.write("elsewhere/secret.txt", "s");
    ScopedShare s("nofollowlist", t.join("share"));
    qv2_vres res;
    ASSERT_EQ(qv2_vfs_resolve("nofollowlist", "sub", &res), 0);

    ASSERT_EQ(rename(t.join("share/sub").c_str(), t.join("share/sub.orig").c_str()), 0);
    t.symlink(t.join("elsewhere"), "share/sub");
    qv2_vent *entries = nullptr;
    int32_t count = 7;
    EXPECT_EQ(qv2_vfs_list(&res, &entries, &count), DIRIR2I_EARG);
    EXPECT_STREQ(qv2_error(), "The file cannot be found.");
    EXPECT_EQ(entries, nullptr);
    EXPECT_EQ(count, 0);
}
