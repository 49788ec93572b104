// Directory listings of the share namespace: what is listed, what is left
// out, what a link presents, and the order.
#include "config/qv2_cfg.h"
#include "files/qv2_fs.h"
#include "files/qv2_vfs.h"
#include "files/scoped_share.h"
#include "foundation/qv2_util.h"
#include "support/builders/tempdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A listing freed when the test ends.
struct Listing {
    qv2_vent *entries = nullptr;
    int32_t count = 0;
    ~Listing() { qv2_vfs_free(entries, count); }

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (int32_t i = 0; i < count; i++) out.push_back(entries[i].name);
        return out;
    }
    const qv2_vent *find(const std::string &name) const {
        for (int32_t i = 0; i < count; i++)
            if (name == entries[i].name) return &entries[i];
        return nullptr;
    }
};

int list_share(const char *share, const char *path, Listing *l) {
    qv2_vres res;
    if (qv2_vfs_resolve(share, path, &res) != 0) return -2;
    return qv2_vfs_list(&res, &l->entries, &l->count);
}

TEST(DirectoryListing, NamesAreSortedByteWise) {
    TempDir t;
    for (const char *n : {"b", "A", "a", "_", "B.txt", "a.txt", "Z"}) t.write(std::string("d/") + n, "");
    ScopedShare s("sorted", t.join("d"));
    Listing l;
    ASSERT_EQ(list_share("sorted", "", &l), 0);
    EXPECT_EQ(l.names(), (std::vector<std::string>{"A", "B.txt", "Z", "_", "a", "a.txt", "b"}));
}

TEST(DirectoryListing, EmptyDirectoryIsASuccessWithNoEntries) {
    TempDir t;
    t.mkdir("d/empty");
    ScopedShare s("emptydir", t.join("d"));
    Listing l;
    ASSERT_EQ(list_share("emptydir", "empty", &l), 0);
    EXPECT_EQ(l.count, 0);
}

TEST(DirectoryListing, UnservableEntriesAreLeftOutAndTheRestListed) {
    TempDir t;
    t.write("data/plain.txt", "12345");
    t.write("data/sub/f.txt", "inside!");
    t.write("data/line\nfeed", "");
    t.write("data/carriage\rreturn", "");
    t.write("data2/f", "sibling");
    t.write("other/secret", "");
    ASSERT_EQ(mkfifo(t.join("data/fifo").c_str(), 0644), 0);
    t.symlink("missing", "data/dangling");
    t.symlink(t.join("other"), "data/out");
    t.symlink(t.join("data2/f"), "data/sib");
    t.symlink(t.join("data/fifo"), "data/to_fifo");
    t.symlink("sub/f.txt", "data/in");
    t.symlink("sub", "data/in_dir");
    t.write("data/bad\xff", "");

    ScopedShare s("listing", t.join("data"));
    int64_t refused = qv2_stat_get(QV2_ST_PATH_REFUSED);
    Listing l;
    ASSERT_EQ(list_share("listing", nullptr, &l), 0);
    EXPECT_EQ(l.names(), (std::vector<std::string>{"in", "in_dir", "plain.txt", "sub"}));
    // Leaving a link out of a listing is not a refused client path.
    EXPECT_EQ(qv2_stat_get(QV2_ST_PATH_REFUSED), refused);

    const qv2_vent *plain = l.find("plain.txt");
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->kind, QV2_FS_FILE);
    EXPECT_EQ(plain->target_kind, QV2_FS_FILE);
    EXPECT_EQ(plain->size, 5u);

    const qv2_vent *sub = l.find("sub");
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(sub->kind, QV2_FS_DIR);
    EXPECT_EQ(sub->target_kind, QV2_FS_DIR);

    // A link presents its target's size and times but keeps its own identity.
    timespec times[2] = {{1400000000, 0}, {1300000000, 500000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, t.join("data/sub/f.txt").c_str(), times, 0), 0);
    Listing again;
    ASSERT_EQ(list_share("listing", "", &again), 0);
    const qv2_vent *in = again.find("in");
    ASSERT_NE(in, nullptr);
    qv2_fs_info link_self, target;
    ASSERT_EQ(qv2_fs_lstat(t.join("data/in").c_str(), &link_self), 0);
    ASSERT_EQ(qv2_fs_stat(t.join("data/sub/f.txt").c_str(), &target), 0);
    EXPECT_EQ(in->kind, QV2_FS_LINK);
    EXPECT_EQ(in->target_kind, QV2_FS_FILE);
    EXPECT_EQ(in->size, 7u);
    EXPECT_EQ(in->mtime, 1300000000);
    EXPECT_EQ(in->atime, 1400000000);
    EXPECT_EQ(in->crtime, target.crtime);
    EXPECT_EQ(in->ino, link_self.ino);
    EXPECT_NE(in->ino, target.ino);
    EXPECT_EQ(in->dev, link_self.dev);

    const qv2_vent *in_dir = again.find("in_dir");
    ASSERT_NE(in_dir, nullptr);
    EXPECT_EQ(in_dir->kind, QV2_FS_LINK);
    EXPECT_EQ(in_dir->target_kind, QV2_FS_DIR);
}

TEST(DirectoryListing, OnlyDirectoriesCanBeListed) {
    TempDir t;
    t.write("d/f", "x");
    ScopedShare s("notdir", t.join("d"));
    qv2_vres res;
    ASSERT_EQ(qv2_vfs_resolve("notdir", "f", &res), 0);
    qv2_vent *entries = reinterpret_cast<qv2_vent *>(&res); // any non-null value
    int32_t count = 5;
    EXPECT_EQ(qv2_vfs_list(&res, &entries, &count), DIRIR2I_EARG);
    EXPECT_STREQ(qv2_error(), "Not a directory.");
    EXPECT_EQ(entries, nullptr);
    EXPECT_EQ(count, 0);

    // A directory record whose folder has gone away since.
    ASSERT_EQ(qv2_vfs_resolve("notdir", "", &res), 0);
    std::string gone = t.mkdir("d/gone");
    snprintf(res.host, sizeof res.host, "%s", gone.c_str());
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    count = 5;
    EXPECT_EQ(qv2_vfs_list(&res, &entries, &count), DIRIR2I_EARG);
    EXPECT_STREQ(qv2_error(), "The file cannot be found.");
    EXPECT_EQ(entries, nullptr);
    EXPECT_EQ(count, 0);

    qv2_vfs_free(nullptr, 3);
}

TEST(DirectoryListing, ListingStopsAtOneHundredThousandEntries) {
    TempDir t;
    std::string dir = t.mkdir("big");
    const int total = QV2_LISTING_MAX + 5;
    char name[64];
    for (int i = 0; i < total; i++) {
        snprintf(name, sizeof name, "%s/%06d", dir.c_str(), i);
        int fd = open(name, O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    ScopedShare s("bigdir", dir);
    Listing l;
    ASSERT_EQ(list_share("bigdir", "", &l), 0);
    ASSERT_EQ(l.count, QV2_LISTING_MAX);
    for (int32_t i = 1; i < l.count; i++)
        ASSERT_LT(strcmp(l.entries[i - 1].name, l.entries[i].name), 0);
}

} // namespace
