// CHANGE_NOTIFY through the engine (MS-SMB2 3.3.5.19): the interim
// response, and every way a waiting request ends: a host change (records,
// or NOTIFY_ENUM_DIR when they don't fit), CANCEL by AsyncId or MessageId
// (3.3.5.16), CLOSE of its folder (NOTIFY_CLEANUP), and TREE_DISCONNECT,
// LOGOFF and the connection's end, which free it unanswered. Also the
// refusals and the signing of the final response.
#include "support/builders/tempdir.h"
#include "support/loopback_client.h"
#include "support/smb2_client.h"

#include "engine/qv2_cache.h"
#include "engine/qv2_hub.h"
#include "files/scoped_share.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

class Notify : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_.mkdir("sub");
        dir_.write("f.txt", "x");
    }
    // What the connection sent on its own once its poll ran, waiting
    // (bounded) for at least `n` such messages.
    static std::vector<smb2::Reply> pushed(smb2::Client &cl, size_t n) {
        std::vector<smb2::Reply> out;
        nettest::wait_until(
            [&] {
                qv2_cache_poll(&cl.conn());
                out.clear();
                for (const smb2::Bytes &w : cl.direct().transport().writes())
                    if (w.size() >= 64 && w[0] == 0xFE) out.emplace_back(w);
                return out.size() >= n;
            },
            n ? 10000 : 0);
        return out;
    }
    void host(const std::string &command) {
        ASSERT_EQ(system(("cd '" + dir_.path() + "' && " + command).c_str()), 0);
    }

    smb2::ScopedOption guest_{"guest", "on"};
    TempDir dir_;
    ScopedShare share_{"docs", dir_.path()};
};

void expect_interim(const smb2::Reply &r, uint64_t mid) {
    EXPECT_EQ(r.status(), STATUS_PENDING);
    EXPECT_EQ(r.flags(), 0x3u) << "a response, async, unsigned";
    EXPECT_EQ(r.mid(), mid);
    EXPECT_NE(r.u64(32), 0u) << "AsyncId";
    EXPECT_GE(r.credits(), 1u);
    EXPECT_EQ(smb2::hex(r.body()), "090000000000000000");
}

} // namespace

TEST_F(Notify, AWaitingRequestEndsOnceAndAnsweredAsItsEndSays) {
    struct row {
        const char *what;
        uint32_t out_len;
        // Ends the request (the client, the folder's FileId, the tree, the
        // request's MessageId and AsyncId).
        std::function<void(smb2::Client &, uint64_t, uint32_t, uint64_t, uint64_t)> end;
        uint32_t status; // of the final response; 0xFFFFFFFF: none is sent
        const char *records;
    };
    auto file_created = [&](smb2::Client &, uint64_t, uint32_t, uint64_t, uint64_t) {
        host("rm -f sub/new && echo x > sub/new");
    };
    const row rows[] = {
        {"a file created on the host", 4096, file_created, STATUS_SUCCESS,
         // NextEntryOffset 0, FILE_ACTION_ADDED, 6 bytes: "new"
         "0000000001000000060000006e0065007700"},
        {"a record larger than the buffer", 8, file_created, STATUS_NOTIFY_ENUM_DIR, ""},
        {"CANCEL naming its AsyncId", 4096,
         [](smb2::Client &cl, uint64_t, uint32_t t, uint64_t, uint64_t async) {
             EXPECT_EQ(cl.send(smb2::cancel(cl.header(12, t), async)).size(), 0u);
         },
         STATUS_CANCELLED, ""},
        {"CANCEL naming its MessageId", 4096,
         [](smb2::Client &cl, uint64_t, uint32_t t, uint64_t mid, uint64_t) {
             smb2::Header h = cl.header(12, t);
             h.mid = mid;
             EXPECT_EQ(cl.send(smb2::cancel(h)).size(), 0u);
         },
         STATUS_CANCELLED, ""},
        {"CLOSE of its folder", 4096,
         [](smb2::Client &cl, uint64_t fid, uint32_t t, uint64_t, uint64_t) {
             EXPECT_EQ(cl.close(t, fid).status(), STATUS_SUCCESS);
         },
         STATUS_NOTIFY_CLEANUP, ""},
        {"TREE_DISCONNECT", 4096,
         [](smb2::Client &cl, uint64_t, uint32_t t, uint64_t, uint64_t) {
             EXPECT_EQ(cl.send(smb2::tree_disconnect(cl.header(4, t))).status(), 0u);
         },
         0xFFFFFFFF, ""},
        {"LOGOFF", 4096,
         [](smb2::Client &cl, uint64_t, uint32_t, uint64_t, uint64_t) {
             smb2::Header h = cl.header(2);
             EXPECT_EQ(cl.send(smb2::logoff_request(h.mid, h.sid)).status(), 0u);
         },
         0xFFFFFFFF, ""},
    };
    int32_t watches = qv2_hub_watch_count();
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        smb2::CounterWatch w;
        smb2::Client cl;
        uint32_t tid = cl.connect("docs");
        uint64_t sub = cl.open(tid, "sub", smb2::OPT_DIRECTORY_FILE);
        smb2::Header h = cl.header(SMB2_CHANGE_NOTIFY, tid);
        smb2::Reply interim = cl.send(smb2::change_notify(h, {.fid = sub, .out_len = r.out_len}));
        expect_interim(interim, h.mid);
        EXPECT_EQ(cl.conn().cache.wait_count, 1);
        r.end(cl, sub, tid, h.mid, interim.u64(32));
        std::vector<smb2::Reply> sent = pushed(cl, r.status == 0xFFFFFFFF ? 0 : 1);
        EXPECT_EQ(cl.conn().cache.wait_count, 0);
        if (r.status == 0xFFFFFFFF) {
            EXPECT_TRUE(sent.empty());
            continue;
        }
        ASSERT_EQ(sent.size(), 1u);
        const smb2::Reply &done = sent[0];
        EXPECT_EQ(done.status(), r.status);
        EXPECT_EQ(done.command(), SMB2_CHANGE_NOTIFY);
        EXPECT_EQ(done.mid(), h.mid);
        EXPECT_EQ(done.u64(32), interim.u64(32)) << "the same AsyncId";
        EXPECT_EQ(done.credits(), 0u) << "the interim response granted them";
        EXPECT_EQ(done.u16(64), 9u);
        if (*r.records) {
            EXPECT_EQ(done.u16(66), 72u);
            EXPECT_EQ(smb2::hex(smb2::Bytes(done.bytes().begin() + 72, done.bytes().end())),
                      r.records);
        } else {
            EXPECT_EQ(smb2::hex(done.body()), "090000000000000000");
        }
        EXPECT_EQ(w.delta(QV2_ST_NOTIFIES_COMPLETED),
                  r.status == STATUS_SUCCESS || r.status == STATUS_NOTIFY_ENUM_DIR ? 1 : 0);
    }
    EXPECT_EQ(qv2_hub_watch_count(), watches) << "every client's watches ended with it";
}

TEST_F(Notify, ChangesWaitingForTheNextRequestAnswerItAtOnceAndSignedWhenItIs) {
    smb2::ScopedUser alice("alice", "pw");
    smb2::Client cl({.user = "alice", .password = "pw"});
    const smb2::Session &s = cl.session();
    uint32_t tid = cl.connect("docs");
    uint64_t sub = cl.open(tid, "sub", smb2::OPT_DIRECTORY_FILE);
    smb2::Reply interim =
        cl.send(s.sign(smb2::change_notify(cl.header(SMB2_CHANGE_NOTIFY, tid), {.fid = sub})));
    expect_interim(interim, interim.mid());
    host("echo x > sub/one");
    std::vector<smb2::Reply> sent = pushed(cl, 1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].flags(), 0xBu) << "a response, async, signed";
    EXPECT_TRUE(sent[0].signed_with(s.key));

    // The watch stays with the folder between requests.
    host("mkdir sub/two");
    ASSERT_TRUE(nettest::wait_until([&] { return qv2_hub_take_news(cl.conn().cache.box); }));
    smb2::Reply now =
        cl.send(s.sign(smb2::change_notify(cl.header(SMB2_CHANGE_NOTIFY, tid), {.fid = sub})));
    EXPECT_EQ(now.status(), STATUS_SUCCESS);
    EXPECT_TRUE(now.signed_with(s.key));
    EXPECT_EQ(now.u32(68), 18u) << "one record: ADDED two";
}

TEST_F(Notify, RefusedRequestsLeaveNothingWaiting) {
    smb2::Client cl;
    uint32_t tid = cl.connect("docs");
    uint64_t sub = cl.open(tid, "sub", smb2::OPT_DIRECTORY_FILE);
    uint64_t file = cl.open(tid, "f.txt");
    auto notify = [&](const smb2::NotifyParams &p) {
        return cl.send(smb2::change_notify(cl.header(SMB2_CHANGE_NOTIFY, tid), p)).status();
    };
    EXPECT_EQ(notify({.fid = file}), STATUS_INVALID_PARAMETER) << "not a folder";
    EXPECT_EQ(notify({.fid = 0x999}), STATUS_FILE_CLOSED);
    EXPECT_EQ(notify({.fid = sub, .out_len = 2 << 20}), STATUS_INVALID_PARAMETER)
        << "past MaxTransactSize";
    EXPECT_EQ(
        cl.send(smb2::request(cl.header(SMB2_CHANGE_NOTIFY, tid), smb2::Body().u16(4))).status(),
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(cl.conn().cache.wait_count, 0);
    for (int i = 0; i < QV2_NOTIFY_WAITS_MAX; i++)
        ASSERT_EQ(notify({.fid = sub}), STATUS_PENDING);
    EXPECT_EQ(notify({.fid = sub}), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(cl.conn().cache.wait_count, QV2_NOTIFY_WAITS_MAX);
}
