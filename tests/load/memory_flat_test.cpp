// One connection that opens and closes 100,000 handles, connects and
// disconnects 10,000 trees and lists a folder 1,000 times keeps its memory
// flat: what a connection holds is bounded by what is open now, not by what
// it has done. The comparison is between the state after a warm-up and the
// state at the end, with a generous bound. Under AddressSanitizer freed
// blocks sit in its quarantine, so there the live heap is compared instead
// of resident memory.
#include "load_fixture.h"

#include "support/memory_probe.h"

#include <functional>

namespace {

constexpr uint64_t kMiB = 1 << 20;

// Sends messages first..last-1 made by `make`, `batch` at a time, reading all
// replies of a batch before the next. Each reply goes to `check`, which
// returns "" or what is wrong; the first complaint is returned.
std::string pipeline(nettest::Conn &c, int first, int last, int batch,
                     const std::function<smb2::Bytes(int)> &make,
                     const std::function<std::string(int, const smb2::Reply &)> &check) {
    for (int i = first; i < last; i += batch) {
        int n = std::min(batch, last - i);
        smb2::Bytes out;
        for (int k = 0; k < n; k++) {
            smb2::Bytes one = smb2::nbss(make(i + k));
            out.insert(out.end(), one.begin(), one.end());
        }
        if (!c.send_raw(out.data(), out.size())) return "send failed at " + std::to_string(i);
        for (int k = 0; k < n; k++) {
            smb2::Reply r = c.recv();
            if (r.size() < 64) return "no reply to " + std::to_string(i + k);
            std::string e = check(i + k, r);
            if (!e.empty()) return e + " at " + std::to_string(i + k);
        }
    }
    return "";
}

// Every part of a compound reply succeeded (NO_MORE_FILES aside).
std::string all_succeeded(int, const smb2::Reply &r) {
    for (const smb2::Reply &p : r.parts())
        if (p.status() != STATUS_SUCCESS)
            return "command " + std::to_string(p.command()) + " status " +
                   std::to_string(p.status());
    return "";
}

} // namespace

using MemoryFlat = LoadTest;

TEST_F(MemoryFlat, HandlesTreesAndListingsWithoutEndKeepTheConnectionsMemoryFlat) {
    int port = start();
    long long opens = nettest::stat("opens"), listings = nettest::stat("listings_sent");
    nettest::Conn c(port);
    smb2::Session s = c.logon();
    ASSERT_TRUE(s.ok) << s.error;
    smb2::Reply t = c.exchange(smb2::tree_connect(s.header(SMB2_TREE_CONNECT), "\\\\h\\docs"));
    ASSERT_EQ(t.status(), STATUS_SUCCESS);
    const uint32_t tid = t.tid();
    const smb2::Bytes none(8, 0xFF);

    // CREATE and CLOSE of one file, the CLOSE related to the CREATE.
    auto open_close = [&](int) {
        return smb2::compound({smb2::create(s.header(SMB2_CREATE, tid), {.name = "hello.txt"}),
                               smb2::close(s.header(SMB2_CLOSE, tid), ~0ull, ~0ull)},
                              true);
    };
    // CREATE of the folder, one QUERY_DIRECTORY of all of it, CLOSE.
    auto list = [&](int) {
        return smb2::compound(
            {smb2::create(s.header(SMB2_CREATE, tid), {.name = "list", .options = 1}),
             smb2::query_directory(s.header(SMB2_QUERY_DIRECTORY, tid),
                                   {.fid = ~0ull, .flags = smb2::QD_RESTART_SCANS}),
             smb2::close(s.header(SMB2_CLOSE, tid), ~0ull, ~0ull)},
            true);
    };
    auto listed_all = [&](int i, const smb2::Reply &r) {
        std::string e = all_succeeded(i, r);
        if (!e.empty()) return e;
        size_t n = smb2::dir_entries(r.parts()[1]).size();
        return n >= size_t(kListed) ? std::string() : "listed " + std::to_string(n);
    };
    // Trees: a batch of connects, then the disconnects of the ids they got.
    std::vector<uint32_t> tids;
    auto trees = [&](int first, int last) -> std::string {
        for (int i = first; i < last; i += 100) {
            tids.clear();
            std::string e = pipeline(
                c, 0, 100, 100,
                [&](int) { return smb2::tree_connect(s.header(SMB2_TREE_CONNECT), "\\\\h\\docs"); },
                [&](int, const smb2::Reply &r) {
                    tids.push_back(r.tid());
                    return all_succeeded(0, r);
                });
            if (e.empty())
                e = pipeline(
                    c, 0, 100, 100,
                    [&](int k) {
                        return smb2::tree_disconnect(s.header(SMB2_TREE_DISCONNECT, tids[k]));
                    },
                    all_succeeded);
            if (!e.empty()) return "trees: " + e;
        }
        return "";
    };

    // Warm-up: a tenth of everything, so that allocator caches and the
    // connection's buffers have reached their working size.
    ASSERT_EQ(pipeline(c, 0, 10000, 100, open_close, all_succeeded), "");
    ASSERT_EQ(trees(0, 1000), "");
    ASSERT_EQ(pipeline(c, 0, 100, 50, list, listed_all), "");
    const uint64_t before = probe::memory_in_use();

    ASSERT_EQ(pipeline(c, 10000, 100000, 100, open_close, all_succeeded), "");
    ASSERT_EQ(trees(1000, 10000), "");
    ASSERT_EQ(pipeline(c, 100, 1000, 50, list, listed_all), "");
    const uint64_t after = probe::memory_in_use();

    // A handle record kept per open would be hundreds of MiB here, a tree
    // record kept per connect about 11 MiB, a listing kept per folder
    // listed about 10 MiB.
    EXPECT_LT(after, before + 8 * kMiB)
        << "grew from " << before / 1024 << " KiB to " << after / 1024 << " KiB";
    EXPECT_EQ(nettest::stat("opens") - opens, 100000 + 1000);
    EXPECT_EQ(nettest::stat("listings_sent") - listings, 1000);
    EXPECT_EQ(c.exchange(smb2::echo(s.next_mid++)).status(), STATUS_SUCCESS);
}
