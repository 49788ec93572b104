// What one message may make the server build: a compound of large READs or
// listings stops at the message's reply budget, the commands past it get
// INSUFFICIENT_RESOURCES before they run, and the connection goes on.
#include "support/docs_share.h"
#include "support/smb2_client.h"
#include "support/smb2_file_requests.h"

#include "engine/engine.h"

#include <gtest/gtest.h>

using smb2::Bytes;

namespace {

constexpr uint32_t kLargeMtu = 0x04;
constexpr uint64_t kBudget = 2 * 1048576 + 65536; // what a message's replies may hold

} // namespace

TEST(ReplyBudget, CompoundOfLargeRequestsStopsAtTheBudgetAndTheConnectionGoesOn) {
    smb2::ScopedOption guest("guest", "on"); // guests reach this as well as users
    DocsShare docs;
    smb2::Client cl({.capabilities = kLargeMtu});
    uint32_t tid = cl.connect("docs");
    // Long names: the folder's listing outgrows one reply's cap.
    for (int i = 0; i < 3000; i++)
        docs.dir.write("many/" + std::string(200, 'n') + std::to_string(i), "");
    docs.dir.write("large.bin", std::string(3 * 1048576, 'x'));
    uint64_t file = cl.open(tid, "large.bin");
    uint64_t folder = cl.open(tid, "many");
    struct Case {
        const char *what;
        Bytes (*one)(smb2::Client &, uint32_t, uint64_t);
        size_t granted; // commands answered before the budget is reached
    } cases[] = {
        {"READs", [](smb2::Client &c, uint32_t t, uint64_t f) {
             return smb2::read(c.header(SMB2_READ, t), {.fid = f, .length = 1048576});
         }, 2},
        // A listing without a client limit may grow to its own cap.
        {"listings", [](smb2::Client &c, uint32_t t, uint64_t f) {
             return smb2::query_directory(c.header(SMB2_QUERY_DIRECTORY, t),
                                          {.fid = f, .flags = 0x01, .out_len = 0});
         }, 2},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        uint64_t target = k.one == cases[0].one ? file : folder;
        std::vector<Bytes> reqs;
        for (int i = 0; i < 64; i++) reqs.push_back(k.one(cl, tid, target));
        smb2::Reply r = cl.send(smb2::compound(reqs));
        EXPECT_LE(r.size(), kBudget);
        std::vector<smb2::Reply> parts = r.parts();
        ASSERT_EQ(parts.size(), 64u);
        for (size_t i = 0; i < parts.size(); i++)
            EXPECT_EQ(parts[i].status(), i < k.granted ? STATUS_SUCCESS
                                                       : STATUS_INSUFFICIENT_RESOURCES)
                << i;
        EXPECT_EQ(cl.send(k.one(cl, tid, target)).status(), STATUS_SUCCESS);
    }
}
