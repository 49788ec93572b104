// The share table: what may be published, under which names, how it is
// found and listed, and the built-in IPC$.
#include "foundation/qv2_trace.h"
#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "support/builders/tempdir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

// Every test withdraws what it published, so the table starts empty.
class ShareTable : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const std::string &n : added_) dirir2i_remove_share(n.c_str());
    }
    int add(const std::string &name, const std::string &path) {
        int rc = dirir2i_add_share(name.c_str(), path.c_str());
        if (rc == 0) added_.push_back(name);
        return rc;
    }
    void expect_fail(const char *name, const char *path, int code, const std::string &msg) {
        EXPECT_EQ(dirir2i_add_share(name, path), code) << (name ? name : "(null)");
        EXPECT_EQ(std::string(dirir2i_last_error()), msg) << (name ? name : "(null)");
    }
    static std::vector<std::string> listed() {
        qv2_share *list = nullptr;
        int32_t n = 0;
        EXPECT_EQ(qv2_share_list(&list, &n), 0);
        std::vector<std::string> names;
        for (int32_t i = 0; i < n; i++) names.push_back(list[i].name);
        free(list);
        return names;
    }

    TempDir t;
    std::vector<std::string> added_;
};

TEST_F(ShareTable, ShareNamesFollowTheirRules) {
    std::string dir = t.mkdir("d");
    EXPECT_EQ(add(std::string(80, 'n'), dir), 0);
    for (const char *ok : {"with space", "star*", "caf\xc3\xa9", "a.b", "x$"})
        EXPECT_EQ(add(ok, dir), 0) << ok;
    const std::string bad = "add_share: invalid share name";
    expect_fail(std::string(81, 'n').c_str(), dir.c_str(), DIRIR2I_EARG, bad);
    for (const char *name : {"", ".", "..", "a/b", "a:b", "a\\b", "tab\there", "del\x7f"})
        expect_fail(name, dir.c_str(), DIRIR2I_EARG, bad);
    expect_fail(nullptr, dir.c_str(), DIRIR2I_EARG, "add_share: NULL or empty argument");
    expect_fail("x", nullptr, DIRIR2I_EARG, "add_share: NULL or empty argument");
    expect_fail("x", "", DIRIR2I_EARG, "add_share: NULL or empty argument");
}

TEST_F(ShareTable, PathMustExistBeAFolderOrAFileAndFitTheTable) {
    expect_fail("x", ("/" + std::string(1024, 'p')).c_str(), DIRIR2I_EARG,
                "add_share: path too long");
    std::string p1024 = "/" + std::string(1023, 'p');
    expect_fail("x", p1024.c_str(), DIRIR2I_ENOENT,
                "add_share: " + p1024.substr(0, 200) + " does not exist");
    std::string missing = t.join("missing/../x");
    expect_fail("x", missing.c_str(), DIRIR2I_ENOENT, "add_share: " + missing + " does not exist");
    t.symlink("nowhere", "dangling");
    expect_fail("x", t.join("dangling").c_str(), DIRIR2I_ENOENT,
                "add_share: " + t.join("dangling") + " does not exist");

    ASSERT_EQ(mkfifo(t.join("fifo").c_str(), 0644), 0);
    expect_fail("x", t.join("fifo").c_str(), DIRIR2I_EARG,
                "add_share: " + t.join("fifo") + " is neither a folder nor a regular file");
    expect_fail("x", "/dev/null", DIRIR2I_EARG,
                "add_share: /dev/null is neither a folder nor a regular file");
    EXPECT_EQ(qv2_share_find("x", nullptr), -1);
}

TEST_F(ShareTable, EntryHoldsTheCanonicalPathAndWhetherItIsAFile) {
    t.write("d/f.txt", "x");
    t.symlink("d", "ld");
    ASSERT_EQ(add("folder", t.join("ld/.")), 0);
    ASSERT_EQ(add("file", t.join("ld/f.txt")), 0);

    qv2_share s;
    ASSERT_EQ(qv2_share_find("folder", &s), 0);
    EXPECT_EQ(std::string(s.path), t.join("d"));
    EXPECT_EQ(s.is_file, 0);
    ASSERT_EQ(qv2_share_find("file", &s), 0);
    EXPECT_EQ(std::string(s.path), t.join("d/f.txt"));
    EXPECT_EQ(s.is_file, 1);
}

TEST_F(ShareTable, NamesAreUniqueAndFoundIgnoringCase) {
    std::string dir = t.mkdir("d");
    ASSERT_EQ(add("docs", dir), 0);
    expect_fail("Docs", dir.c_str(), DIRIR2I_EEXIST, "add_share: Docs exists");
    qv2_share s;
    ASSERT_EQ(qv2_share_find("DOCS", &s), 0);
    EXPECT_STREQ(s.name, "docs");
    EXPECT_EQ(qv2_share_find("DOCS", nullptr), 0);

    s.is_file = 7;
    EXPECT_EQ(qv2_share_find("nope", &s), -1);
    EXPECT_STREQ(s.name, "");
    EXPECT_EQ(s.is_file, 0);
    EXPECT_EQ(qv2_share_find(nullptr, &s), -1);
}

TEST_F(ShareTable, IpcIsBuiltInWhateverItsSpelling) {
    std::string dir = t.mkdir("d");
    for (const char *name : {"IPC$", "ipc$"}) {
        qv2_share s;
        ASSERT_EQ(qv2_share_find(name, &s), 0) << name;
        EXPECT_STREQ(s.name, "IPC$");
        EXPECT_STREQ(s.path, "");
        EXPECT_EQ(s.is_file, 0);
    }
    expect_fail("IPC$", dir.c_str(), DIRIR2I_EEXIST, "add_share: IPC$ is built in");
    // Share names are unique ignoring case, so no other spelling is stored.
    expect_fail("ipc$", dir.c_str(), DIRIR2I_EEXIST, "add_share: IPC$ is built in");
    EXPECT_EQ(dirir2i_remove_share("IPC$"), DIRIR2I_EARG);
    EXPECT_STREQ(dirir2i_last_error(), "remove_share: IPC$ is built in");
    EXPECT_EQ(listed(), (std::vector<std::string>{"IPC$"}));
}

TEST_F(ShareTable, ListPutsIpcFirstAndSortsTheRestIgnoringCase) {
    std::string dir = t.mkdir("d");
    EXPECT_EQ(listed(), (std::vector<std::string>{"IPC$"}));
    ASSERT_EQ(add("b", dir), 0);
    ASSERT_EQ(add("A", dir), 0);
    ASSERT_EQ(add("c", dir), 0);
    EXPECT_EQ(listed(), (std::vector<std::string>{"IPC$", "A", "b", "c"}));

    qv2_share *list = reinterpret_cast<qv2_share *>(&list);
    EXPECT_EQ(qv2_share_list(&list, nullptr), -1);
    EXPECT_EQ(list, nullptr);
}

TEST_F(ShareTable, RemovalKeepsTheOthersInOrder) {
    std::string dir = t.mkdir("d");
    ASSERT_EQ(add("one", dir), 0);
    ASSERT_EQ(add("two", dir), 0);
    ASSERT_EQ(add("three", dir), 0);
    EXPECT_EQ(dirir2i_remove_share("TWO"), 0);
    EXPECT_EQ(qv2_share_find("two", nullptr), -1);
    EXPECT_EQ(qv2_share_find("one", nullptr), 0);
    EXPECT_EQ(qv2_share_find("three", nullptr), 0);
    EXPECT_EQ(dirir2i_remove_share("two"), DIRIR2I_ENOENT);
    EXPECT_STREQ(dirir2i_last_error(), "remove_share: no share two");
    std::string long_name(100, 'q');
    EXPECT_EQ(dirir2i_remove_share(long_name.c_str()), DIRIR2I_ENOENT);
    EXPECT_EQ(std::string(dirir2i_last_error()), "remove_share: no share " + long_name.substr(0, 64));
    EXPECT_EQ(dirir2i_remove_share(nullptr), DIRIR2I_EARG);
    EXPECT_STREQ(dirir2i_last_error(), "remove_share: NULL name");
    // The name is free again.
    EXPECT_EQ(add("Two", dir), 0);
}

TEST_F(ShareTable, TableHoldsTwoHundredFiftySixShares) {
    std::string dir = t.mkdir("d");
    char name[32];
    for (int i = 0; i < QV2_MAX_SHARES; i++) {
        snprintf(name, sizeof name, "s%03d", i);
        ASSERT_EQ(add(name, dir), 0) << i;
    }
    expect_fail("onemore", dir.c_str(), DIRIR2I_EFULL, "add_share: 256 shares");
    expect_fail("s000", dir.c_str(), DIRIR2I_EEXIST, "add_share: s000 exists");
    qv2_share *list = nullptr;
    int32_t n = 0;
    ASSERT_EQ(qv2_share_list(&list, &n), 0);
    EXPECT_EQ(n, QV2_MAX_SHARES + 1);
    EXPECT_STREQ(list[0].name, "IPC$");
    EXPECT_STREQ(list[n - 1].name, "s255");
    free(list);
    ASSERT_EQ(dirir2i_remove_share("s100"), 0);
    EXPECT_EQ(add("onemore", dir), 0);
}

TEST_F(ShareTable, TraceShowsEveryAddAndWhatItResolvedTo) {
    std::string dir = t.mkdir("d");
    t.symlink("d", "ld");
    int saved = qv2_trace_level();
    qv2_trace_set_level(1); // the lower level, what any value of DIRIR2I_TRACE gives
    testing::internal::CaptureStderr();
    int rc1 = add("traced", t.join("ld"));
    int rc2 = dirir2i_add_share(nullptr, nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    qv2_trace_set_level(0);
    EXPECT_EQ(rc1, 0);
    EXPECT_EQ(rc2, DIRIR2I_EARG);
    EXPECT_EQ(err, "[cfg] add_share('traced', '" + t.join("ld") + "')\n" +
                       "[cfg] share 'traced' -> " + dir + " added (nshares=1)\n" +
                       "[cfg] add_share('(null)', '(null)')\n");

    testing::internal::CaptureStderr();
    EXPECT_EQ(add("quiet", dir), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    qv2_trace_set_level(saved);
}

} // namespace
