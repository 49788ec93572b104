// What the hub makes of host changes: FILE_NOTIFY_INFORMATION records as
// MS-FSCC 2.4.42 lays them out (filtered by the CompletionFilter, repeats
// folded, a rename as an old and a new name, names below a watched tree as
// paths), the limits past which records are lost, and a file's watch
// marked changed. Real folders, real inotify, bounded waits.
#include "engine/qv2_hub.h"
#include "foundation/qv2_util.h"
#include "support/builders/tempdir.h"
#include "support/loopback_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

using record = std::pair<uint32_t, std::string>; // action, name

enum : uint32_t { FILE_NAME = 0x1, DIR_NAME = 0x2, SIZE = 0x8, LAST_WRITE = 0x10 };

std::atomic<int> g_wakes{0};
void count_wake(void *) {
    g_wakes++;
}

// The records of a buffer, walked by NextEntryOffset (ASCII names only).
std::vector<record> decode(const qv2_buf &b) {
    std::vector<record> out;
    for (uint64_t at = 0; at + 12 <= b.len;) {
        uint32_t next = qv2_le32(b.data + at), len = qv2_le32(b.data + at + 8);
        std::string name;
        for (uint32_t i = 0; i + 1 < len && at + 12 + i < b.len; i += 2)
            name += char(b.data[at + 12 + i]);
        out.push_back({qv2_le32(b.data + at + 4), name});
        EXPECT_EQ(next % 4, 0u);
        if (next == 0) {
            EXPECT_EQ(at + 12 + len, b.len) << "the last record ends the buffer";
            break;
        }
        at += next;
    }
    return out;
}

// Takes records until `last` is among them (bounded wait).
std::vector<record> records_until(qv2_hub_box *box, qv2_hub_sub *s, const record &last) {
    std::vector<record> all;
    nettest::wait_until(
        [&] {
            qv2_buf b{};
            if (qv2_hub_take_records(box, s, 65536, &b) == QV2_HUB_RECORDS)
                for (const record &r : decode(b))
                    all.push_back(r);
            qv2_buf_free(&b);
            return !all.empty() && all.back() == last;
        },
        10000);
    return all;
}

void run(const std::string &dir, const std::string &command) {
    std::string cmd = "cd '" + dir + "' && " + command;
    ASSERT_EQ(system(cmd.c_str()), 0) << command;
}

} // namespace

TEST(HubRecords, HostChangesBecomeTheRecordsTheFilterSelects) {
    struct row {
        const char *command;
        bool tree;
        uint32_t filter;
        std::vector<record> expect;
    };
    const row rows[] = {
        {"echo x > new.txt", false, FILE_NAME, {{1, "new.txt"}}},
        {"mkdir d2 && echo x > f2", false, FILE_NAME, {{1, "f2"}}},
        {"mkdir d3 && echo x > f3", false, DIR_NAME | FILE_NAME, {{1, "d3"}, {1, "f3"}}},
        {"echo a >> a.txt && echo b >> a.txt && rm b.txt",
         false,
         FILE_NAME | LAST_WRITE,
         {{3, "a.txt"}, {2, "b.txt"}}},
        {"mv a.txt c.txt", false, FILE_NAME, {{4, "a.txt"}, {5, "c.txt"}}},
        {"echo x > sub/inner && rm a.txt", true, FILE_NAME, {{1, "sub\\inner"}, {2, "a.txt"}}},
        {"echo x > sub/inner && rm a.txt", false, FILE_NAME, {{2, "a.txt"}}},
        {"mv a.txt sub/", true, FILE_NAME, {{4, "a.txt"}, {5, "sub\\a.txt"}}},
    };
    qv2_hub_box *box = qv2_hub_open(nullptr, nullptr);
    ASSERT_NE(box, nullptr);
    for (const row &r : rows) {
        SCOPED_TRACE(r.command);
        TempDir t;
        t.write("a.txt", "a");
        t.write("b.txt", "b");
        t.mkdir("sub");
        qv2_hub_sub *s = nullptr;
        ASSERT_EQ(qv2_hub_watch_folder(box, t.path().c_str(), r.tree, r.filter, &s), QV2_HUB_OK);
        run(t.path(), r.command);
        EXPECT_EQ(records_until(box, s, r.expect.back()), r.expect);
        qv2_hub_unwatch(box, &s);
        EXPECT_EQ(s, nullptr);
    }
    qv2_hub_close(box);
}

TEST(HubRecords, PastItsLimitsAFolderLosesItsRecordsAndATreeIsNotWatchedAtAll) {
    g_wakes = 0;
    qv2_hub_box *box = qv2_hub_open(count_wake, nullptr);
    TempDir t;
    qv2_hub_sub *s = nullptr;
    ASSERT_EQ(qv2_hub_watch_folder(box, t.path().c_str(), false, FILE_NAME, &s), QV2_HUB_OK);
    run(t.path(), "echo x > one");
    ASSERT_TRUE(nettest::wait_until([&] { return qv2_hub_take_news(box); }));
    qv2_buf b{};
    EXPECT_EQ(qv2_hub_take_records(box, s, 8, &b), QV2_HUB_LOST) << "a buffer too small";
    EXPECT_EQ(qv2_hub_take_records(box, s, 65536, &b), QV2_HUB_NOTHING);
    run(t.path(), "for i in $(seq 300); do : > f$i; done");
    ASSERT_TRUE(nettest::wait_until(
        [&] { return qv2_hub_take_records(box, s, 65536, &b) == QV2_HUB_LOST; }));
    qv2_buf_free(&b);
    EXPECT_GE(g_wakes.load(), 1);

    // More folders than a connection may watch: no subscription, nothing held.
    int32_t before = qv2_hub_watch_count();
    run(t.path(), "mkdir tree && cd tree && seq 1100 | sed s/^/d/ | xargs mkdir");
    qv2_hub_sub *big = nullptr;
    EXPECT_EQ(qv2_hub_watch_folder(box, t.join("tree").c_str(), true, FILE_NAME, &big),
              QV2_HUB_LIMIT);
    EXPECT_EQ(big, nullptr);
    EXPECT_EQ(qv2_hub_watch_count(), before);
    qv2_hub_close(box);
}

TEST(HubRecords, AFilesWatchIsMarkedChangedByAWriteAndTheBoxWoken) {
    g_wakes = 0;
    qv2_hub_box *box = qv2_hub_open(count_wake, nullptr);
    TempDir t;
    std::string f = t.write("f", "1");
    qv2_hub_sub *s = nullptr;
    ASSERT_EQ(qv2_hub_watch_file(box, f.c_str(), &s), QV2_HUB_OK);
    EXPECT_FALSE(qv2_hub_changed(box, s));
    EXPECT_EQ(qv2_hub_watch_file(box, t.join("missing").c_str(), &s), QV2_HUB_MISSING);
    ASSERT_EQ(qv2_hub_watch_file(box, f.c_str(), &s), QV2_HUB_OK);
    run(t.path(), "echo 2 >> f");
    EXPECT_TRUE(nettest::wait_until([&] { return qv2_hub_changed(box, s); }));
    EXPECT_EQ(g_wakes.load(), 1) << "one wake-up until the news is taken";
    EXPECT_TRUE(qv2_hub_take_news(box));
    EXPECT_FALSE(qv2_hub_take_news(box));
    qv2_hub_close(box);
    EXPECT_EQ(qv2_hub_watch_count(), 0);
}
