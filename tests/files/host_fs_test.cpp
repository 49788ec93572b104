// The host file-system layer on real temporary folders: kinds, identities,
// times, canonical paths, listings and positional reads.
#include "files/qv2_fs.h"
#include "support/builders/tempdir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

void make_fifo(const std::string &path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); }

std::set<std::string> read_all(const std::string &dir) {
    std::set<std::string> names;
    qv2_dir *d = qv2_fs_opendir(dir.c_str());
    EXPECT_NE(d, nullptr);
    if (!d) return names;
    for (int i = 0; i < 100000; i++) {
        const char *n = qv2_fs_readdir(d);
        if (!n) break;
        names.insert(n);
    }
    qv2_fs_closedir(d);
    return names;
}

TEST(HostFs, LinkIsKind2OnlyToLstatAndStatFollowsItToItsTarget) {
    TempDir t;
    t.mkdir("d");
    t.write("f", "12345");
    t.symlink(t.join("d"), "to_d");
    t.symlink("f", "to_f");

    qv2_fs_info info;
    ASSERT_EQ(qv2_fs_lstat(t.join("to_d").c_str(), &info), 0);
    EXPECT_EQ(info.kind, QV2_FS_LINK);
    ASSERT_EQ(qv2_fs_stat(t.join("to_d").c_str(), &info), 0);
    EXPECT_EQ(info.kind, QV2_FS_DIR);
    EXPECT_EQ(info.size, 0u); // a folder reads as empty, whatever its block size

    ASSERT_EQ(qv2_fs_lstat(t.join("to_f").c_str(), &info), 0);
    EXPECT_EQ(info.kind, QV2_FS_LINK);
    ASSERT_EQ(qv2_fs_stat(t.join("to_f").c_str(), &info), 0);
    EXPECT_EQ(info.kind, QV2_FS_FILE);
    EXPECT_EQ(info.size, 5u);

    ASSERT_EQ(qv2_fs_lstat(t.join("f").c_str(), &info), 0);
    EXPECT_EQ(info.kind, QV2_FS_FILE);
}

TEST(HostFs, DevicesFifosAndSocketsAreKind3) {
    TempDir t;
    make_fifo(t.join("fifo"));
    std::string sock = t.join("sock");
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    ASSERT_LT(sock.size(), sizeof sa.sun_path);
    memcpy(sa.sun_path, sock.c_str(), sock.size() + 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);

    qv2_fs_info info;
    for (const std::string &p : {t.join("fifo"), sock, std::string("/dev/null")}) {
        ASSERT_EQ(qv2_fs_stat(p.c_str(), &info), 0) << p;
        EXPECT_EQ(info.kind, QV2_FS_OTHER) << p;
        ASSERT_EQ(qv2_fs_lstat(p.c_str(), &info), 0) << p;
        EXPECT_EQ(info.kind, QV2_FS_OTHER) << p;
    }
    close(s);
}

TEST(HostFs, SameFileHasSameIdentityThroughEveryPathAndLink) {
    TempDir t;
    t.mkdir("sub");
    t.write("sub/f", "abc");
    t.symlink(t.join("sub/f"), "link");

    qv2_fs_info direct, dotted, linked;
    ASSERT_EQ(qv2_fs_stat(t.join("sub/f").c_str(), &direct), 0);
    ASSERT_EQ(qv2_fs_stat(t.join("sub/../sub/./f").c_str(), &dotted), 0);
    ASSERT_EQ(qv2_fs_stat(t.join("link").c_str(), &linked), 0);
    EXPECT_EQ(direct.size, 3u);
    EXPECT_NE(direct.ino, 0u);
    EXPECT_EQ(direct.dev, dotted.dev);
    EXPECT_EQ(direct.ino, dotted.ino);
    EXPECT_EQ(direct.dev, linked.dev);
    EXPECT_EQ(direct.ino, linked.ino);

    struct stat st;
    ASSERT_EQ(stat(t.join("sub/f").c_str(), &st), 0);
    EXPECT_EQ(direct.dev, uint64_t(st.st_dev));
    EXPECT_EQ(direct.ino, uint64_t(st.st_ino));

    // The link itself is a different object.
    qv2_fs_info own;
    ASSERT_EQ(qv2_fs_lstat(t.join("link").c_str(), &own), 0);
    EXPECT_NE(own.ino, direct.ino);
}

TEST(HostFs, TimesDropTheFractionOfASecond) {
    TempDir t;
    std::string f = t.write("f", "x");
    timespec times[2] = {{1600000000, 900000000}, {1500000000, 900000000}}; // atime, mtime
    ASSERT_EQ(utimensat(AT_FDCWD, f.c_str(), times, 0), 0);

    qv2_fs_info info;
    ASSERT_EQ(qv2_fs_stat(f.c_str(), &info), 0);
    EXPECT_EQ(info.mtime, 1500000000);
    EXPECT_EQ(info.atime, 1600000000);
    // Birth time where the file system keeps one, else the modification time.
    EXPECT_GT(info.crtime, 0);
}

TEST(HostFs, RealpathGivesTheCanonicalPathOnlyWhenItFits) {
    TempDir t;
    t.mkdir("a/b");
    t.symlink(t.join("a"), "la");
    std::string want = t.join("a/b");
    char out[4096];

    ASSERT_EQ(qv2_fs_realpath(t.join("a/./b/../b").c_str(), out, sizeof out), 0);
    EXPECT_EQ(std::string(out), want);
    ASSERT_EQ(qv2_fs_realpath(t.join("la/b/").c_str(), out, sizeof out), 0);
    EXPECT_EQ(std::string(out), want);

    int32_t len = int32_t(want.size());
    EXPECT_EQ(qv2_fs_realpath(want.c_str(), out, len), -1);
    ASSERT_EQ(qv2_fs_realpath(want.c_str(), out, len + 1), 0);
    EXPECT_EQ(std::string(out), want);
    EXPECT_EQ(qv2_fs_realpath(want.c_str(), out, 0), -1);

    EXPECT_EQ(qv2_fs_realpath(t.join("missing").c_str(), out, sizeof out), -1);
    EXPECT_EQ(qv2_fs_realpath(t.join("a/missing/..").c_str(), out, sizeof out), -1);
    EXPECT_EQ(qv2_fs_realpath("", out, sizeof out), -1);

    t.symlink(t.join("nowhere"), "dangling");
    EXPECT_EQ(qv2_fs_realpath(t.join("dangling").c_str(), out, sizeof out), -1);
    EXPECT_EQ(qv2_fs_sep(), '/');
}

TEST(HostFs, ReaddirSkipsDotEntriesAndNamesThatAreNotUtf8) {
    TempDir t;
    t.mkdir("empty");
    qv2_dir *d = qv2_fs_opendir(t.join("empty").c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(qv2_fs_readdir(d), nullptr);
    qv2_fs_closedir(d);
    qv2_fs_closedir(nullptr);

    t.write("full/one", "");
    t.write("full/caf\xc3\xa9", "");
    t.write("full/bad\xff", "");
    t.write("full/over\xc0\xaf", ""); // an overlong '/'
    t.mkdir("full/sub");
    EXPECT_EQ(read_all(t.join("full")), (std::set<std::string>{"one", "caf\xc3\xa9", "sub"}));
}

TEST(HostFs, OpendirRefusesFilesFifosAndMissingPaths) {
    TempDir t;
    t.write("f", "x");
    make_fifo(t.join("fifo"));
    EXPECT_EQ(qv2_fs_opendir(t.join("f").c_str()), nullptr);
    EXPECT_EQ(qv2_fs_opendir(t.join("fifo").c_str()), nullptr);
    EXPECT_EQ(qv2_fs_opendir(t.join("missing").c_str()), nullptr);
    EXPECT_EQ(qv2_fs_opendir(nullptr), nullptr);
}

TEST(HostFs, OpenForReadingTakesOnlyRegularFiles) {
    TempDir t;
    t.write("f", "hello");
    t.mkdir("d");
    make_fifo(t.join("fifo"));
    t.symlink("f", "lf");
    t.symlink("fifo", "lfifo");

    qv2_fs_info info;
    // A FIFO without a writer would block a plain open; it must be refused
    // without ever being opened.
    for (const char *name : {"d", "fifo", "lfifo", "missing"}) {
        info.kind = 99;
        EXPECT_EQ(qv2_fs_open_ro(t.join(name).c_str(), &info), nullptr) << name;
        EXPECT_EQ(info.kind, 0) << name; // cleared, not left half filled
    }
    EXPECT_EQ(qv2_fs_open_ro("/dev/null", nullptr), nullptr);
    EXPECT_EQ(qv2_fs_open_ro("/dev/zero", nullptr), nullptr);

    qv2_file *f = qv2_fs_open_ro(t.join("lf").c_str(), &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.kind, QV2_FS_FILE);
    EXPECT_EQ(info.size, 5u);
    qv2_fs_close(f);
    qv2_fs_close(nullptr);

    f = qv2_fs_open_ro(t.join("f").c_str(), nullptr);
    ASSERT_NE(f, nullptr);
    qv2_fs_close(f);
}

TEST(HostFs, PreadReadsAtItsOwnOffsetAndGivesZeroAtTheEnd) {
    TempDir t;
    std::string content = "0123456789";
    t.write("f", content);
    qv2_file *f = qv2_fs_open_ro(t.join("f").c_str(), nullptr);
    ASSERT_NE(f, nullptr);

    char buf[32];
    ASSERT_EQ(qv2_fs_pread(f, 7, buf, 32), 3); // past the end: what remains
    EXPECT_EQ(std::string(buf, 3), "789");
    // No shared position: the same offset reads the same bytes again.
    ASSERT_EQ(qv2_fs_pread(f, 2, buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "2345");
    ASSERT_EQ(qv2_fs_pread(f, 2, buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "2345");
    ASSERT_EQ(qv2_fs_pread(f, 0, buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "01");

    EXPECT_EQ(qv2_fs_pread(f, 10, buf, 4), 0);
    EXPECT_EQ(qv2_fs_pread(f, 11, buf, 4), 0);
    EXPECT_EQ(qv2_fs_pread(f, UINT64_MAX, buf, 4), 0);
    EXPECT_EQ(qv2_fs_pread(f, uint64_t(INT64_MAX) - 2, buf, 4), 0);
    EXPECT_EQ(qv2_fs_pread(f, 0, buf, 0), 0);
    EXPECT_EQ(qv2_fs_pread(f, 0, buf, -1), -1);
    EXPECT_EQ(qv2_fs_pread(nullptr, 0, buf, 4), -1);
    qv2_fs_close(f);
}

TEST(HostFs, PathThatIsNotUtf8FailsInEveryOperation) {
    TempDir t;
    // Linux accepts any bytes in a name, so these objects really exist.
    std::string bad = t.write("bad\xff", "x");
    std::string surrogate = t.mkdir("s\xed\xa0\x80");
    struct stat st;
    ASSERT_EQ(stat(bad.c_str(), &st), 0);

    qv2_fs_info info;
    char out[4096];
    for (const std::string &p : {bad, surrogate}) {
        EXPECT_EQ(qv2_fs_stat(p.c_str(), &info), -1);
        EXPECT_EQ(qv2_fs_lstat(p.c_str(), &info), -1);
        EXPECT_EQ(qv2_fs_realpath(p.c_str(), out, sizeof out), -1);
        EXPECT_EQ(qv2_fs_opendir(p.c_str()), nullptr);
        EXPECT_EQ(qv2_fs_open_ro(p.c_str(), &info), nullptr);
    }
    // A valid path whose canonical form passes through such a name fails too.
    t.symlink(bad, "good");
    EXPECT_EQ(qv2_fs_realpath(t.join("good").c_str(), out, sizeof out), -1);
}

} // namespace
