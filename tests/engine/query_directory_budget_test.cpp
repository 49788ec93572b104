// One connection can't hold more than four whole listings at once, however
// many directory handles it opens on a large folder.
#include "support/smb2_client.h"
#include "support/smb2_file_requests.h"
#include "support/builders/tempdir.h"

#include "files/scoped_share.h"

#include "engine/qv2_engine_types.h"
#include "files/qv2_fs_types.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

TEST(QueryDirectoryBudget, AFifthFullListingIsRefusedUntilAnotherHandleLetsGo) {
    TempDir dir;
    std::string big = dir.mkdir("big");
    for (int i = 0; i < QV2_LISTING_MAX; i++) {
        int fd = ::open((big + "/f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    ScopedShare share("docs", dir.path());
    smb2::Client cl;
    uint32_t tid = cl.connect("docs");
    auto list = [&](uint64_t fid) {
        return cl.send(smb2::query_directory(cl.header(SMB2_QUERY_DIRECTORY, tid),
                                             {.fid = fid, .out_len = 4096}));
    };
    uint64_t fids[5];
    for (uint64_t &f : fids) f = cl.open(tid, "big", 0x1);
    for (int i = 0; i < 4; i++) EXPECT_EQ(list(fids[i]).status(), STATUS_SUCCESS) << i;
    EXPECT_EQ(list(fids[4]).status(), STATUS_INSUFFICIENT_RESOURCES);
    // The budget is used up: even a one-entry folder waits.
    uint64_t root = cl.open(tid, "");
    EXPECT_EQ(list(root).status(), STATUS_INSUFFICIENT_RESOURCES);
    // Closing a handle gives its listing's share back.
    ASSERT_EQ(cl.close(tid, fids[0]).status(), STATUS_SUCCESS);
    EXPECT_EQ(list(root).status(), STATUS_SUCCESS);
    ASSERT_EQ(cl.close(tid, fids[1]).status(), STATUS_SUCCESS);
    EXPECT_EQ(list(fids[4]).status(), STATUS_SUCCESS);
}

} // namespace
