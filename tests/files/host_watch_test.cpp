// The host watcher on real temporary folders: each way the host can change
// a file (write, truncate, replace by rename, delete, rename away) reaches a
// file's watch, and each change of a folder's entries reaches the folder's
// watch with the entry's name. Also which file systems count as local.
#include "files/qv2_watch.h"
#include "support/builders/tempdir.h"
#include "support/loopback_client.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct seen {
    int32_t wd;
    uint32_t what;
    uint32_t cookie;
    std::string name;
};

std::mutex g_lock;
std::vector<seen> g_seen;

void collect(void *, const qv2_watch_event *events, int32_t n) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (int32_t i = 0; i < n; i++)
        g_seen.push_back({events[i].wd, events[i].what, events[i].cookie, events[i].name});
}

// Waits (bounded) until wd has had an event with all of `bits`.
bool saw(int32_t wd, uint32_t bits, const std::string &name = "") {
    return nettest::wait_until(
        [&] {
            std::lock_guard<std::mutex> guard(g_lock);
            for (const seen &s : g_seen)
                if (s.wd == wd && (s.what & bits) == bits && s.name == name) return true;
            return false;
        },
        10000);
}

class HostWatch : public ::testing::Test {
  protected:
    void SetUp() override {
        g_seen.clear();
        ASSERT_EQ(qv2_watch_start(collect, nullptr), 0);
    }
    void TearDown() override { qv2_watch_stop(); }
    TempDir dir_;
};

void run(const std::string &command) {
    ASSERT_EQ(system(command.c_str()), 0) << command;
}

} // namespace

TEST_F(HostWatch, EveryWayTheHostChangesAFileReachesItsWatch) {
    struct row {
        const char *what;
        const char *command; // %s: the watched file, %d: its folder
        uint32_t expect;
    };
    const row rows[] = {
        {"append", "echo more >> %s", QV2_WATCH_WRITTEN},
        {"truncate", "truncate -s 0 %s", QV2_WATCH_WRITTEN},
        {"replace by rename", "echo new > %d/tmp && mv %d/tmp %s", QV2_WATCH_GONE},
        {"delete", "rm %s", QV2_WATCH_GONE},
        {"rename away", "mv %s %d/elsewhere", QV2_WATCH_GONE},
        {"touch", "touch -d 2001-01-01 %s", QV2_WATCH_ATTRIB},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        std::string file = dir_.write(std::string("f-") + r.what, "content\n");
        int32_t wd = -1;
        ASSERT_EQ(qv2_watch_add(file.c_str(), 0, &wd), 0);
        std::string cmd = r.command;
        for (size_t at; (at = cmd.find("%s")) != std::string::npos;)
            cmd.replace(at, 2, "'" + file + "'");
        for (size_t at; (at = cmd.find("%d")) != std::string::npos;)
            cmd.replace(at, 2, "'" + dir_.path() + "'");
        run(cmd);
        EXPECT_TRUE(saw(wd, r.expect));
        qv2_watch_remove(wd);
    }
}

TEST_F(HostWatch, AFoldersWatchNamesTheEntryThatChangedAndPairsRenames) {
    std::string folder = dir_.mkdir("w");
    dir_.write("w/old", "x");
    int32_t wd = -1;
    ASSERT_EQ(qv2_watch_add(folder.c_str(), 1, &wd), 0);
    int32_t file_as_folder;
    EXPECT_NE(qv2_watch_add(dir_.join("w/old").c_str(), 1, &file_as_folder), 0);

    run("echo x > '" + folder + "/new'");
    EXPECT_TRUE(saw(wd, QV2_WATCH_ADDED, "new"));
    run("mkdir '" + folder + "/sub'");
    EXPECT_TRUE(saw(wd, QV2_WATCH_ADDED | QV2_WATCH_IS_DIR, "sub"));
    run("mv '" + folder + "/old' '" + folder + "/renamed'");
    EXPECT_TRUE(saw(wd, QV2_WATCH_MOVED_FROM, "old"));
    EXPECT_TRUE(saw(wd, QV2_WATCH_MOVED_TO, "renamed"));
    {
        // The two halves come one after the other, with one cookie.
        std::lock_guard<std::mutex> guard(g_lock);
        size_t from = 0;
        while (from < g_seen.size() && g_seen[from].name != "old")
            from++;
        ASSERT_LT(from + 1, g_seen.size());
        EXPECT_EQ(g_seen[from + 1].name, "renamed");
        EXPECT_EQ(g_seen[from + 1].cookie, g_seen[from].cookie);
        EXPECT_NE(g_seen[from].cookie, 0u);
    }
    run("rm '" + folder + "/new'");
    EXPECT_TRUE(saw(wd, QV2_WATCH_REMOVED, "new"));
    run("rm -r '" + folder + "'");
    EXPECT_TRUE(saw(wd, QV2_WATCH_ENDED));
}

TEST(HostWatchFs, TemporaryFoldersAreLocalAndMissingPathsCantBeExamined) {
    TempDir t;
    char kind[16] = "x";
    EXPECT_EQ(qv2_fs_reports_changes(t.path().c_str(), kind, sizeof kind), 1);
    EXPECT_STREQ(kind, "");
    EXPECT_EQ(qv2_fs_reports_changes(t.join("missing").c_str(), kind, sizeof kind), -1);
    EXPECT_EQ(qv2_watch_add(t.path().c_str(), 1, nullptr), -1);
}
