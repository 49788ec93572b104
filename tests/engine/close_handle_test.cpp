// CLOSE: the 60-byte answer from the stat record taken at open, the FileId
// lookup (persistent half only), and closed opens that are freed at once
// without their FileIds ever coming back.
#include "support/docs_share.h"
#include "support/smb2_client.h"

#include "config/qv2_cfg.h"
#include "engine/engine.h"
#include "files/qv2_fs.h"
#include "files/qv2_vfs.h"
#include "foundation/qv2_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

using smb2::Bytes;

namespace {

class Close : public ::testing::Test {
  protected:
    smb2::ScopedOption guest_{"guest", "on"};
    DocsShare docs_;
    smb2::Client cl_;
    uint32_t tid_ = cl_.connect("docs");

    int list_length() {
        int n = 0;
        for (qv2_open *o = cl_.conn().open_list; o; o = o->next)
            n++;
        return n;
    }
};

} // namespace

TEST_F(Close, AnswersFromTheStatRecordTakenAtOpen) {
    qv2_fs_info in{};
    ASSERT_EQ(qv2_fs_stat(docs_.dir.join("hello.txt").c_str(), &in), 0);
    uint64_t fid = cl_.open(tid_, "hello.txt");
    std::ofstream(docs_.dir.join("hello.txt"), std::ios::app) << "grown since the open";

    smb2::Reply r = cl_.close(tid_, fid);
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    ASSERT_EQ(r.size(), 64u + 60u);
    EXPECT_EQ(r.u16(64), 60u);
    EXPECT_EQ(r.u16(66), 0u) << "Flags";
    EXPECT_EQ(r.u32(68), 0u);
    EXPECT_EQ(r.u64(72), qv2_filetime(in.crtime));
    EXPECT_EQ(r.u64(80), qv2_filetime(in.atime));
    EXPECT_EQ(r.u64(88), qv2_filetime(in.mtime));
    EXPECT_EQ(r.u64(96), qv2_filetime(in.crtime));
    EXPECT_EQ(r.u32(104), 0x21u) << "attributes before the sizes";
    EXPECT_EQ(r.u64(108), 65536u);
    EXPECT_EQ(r.u64(116), 12u) << "the size at open time";
}

TEST_F(Close, DirectoryAndPipeAnswerWithTheirAttributes) {
    uint64_t dir = cl_.open(tid_, "");
    smb2::Reply r = cl_.close(tid_, dir);
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.u32(104), 0x11u);

    uint32_t ipc = cl_.connect("IPC$");
    uint64_t pipe = cl_.open(ipc, "srvsvc");
    r = cl_.close(ipc, pipe);
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.u32(104), 0x21u);
    EXPECT_EQ(r.u64(72), qv2_filetime(0));
    EXPECT_EQ(r.u64(116), 0u) << "the pipe's record holds nothing";
}

TEST_F(Close, SecondCloseOfTheSameFileIdIsFileClosed) {
    uint64_t fid = cl_.open(tid_, "hello.txt");
    ASSERT_EQ(cl_.close(tid_, fid).status(), STATUS_SUCCESS);
    smb2::Reply again = cl_.close(tid_, fid);
    EXPECT_EQ(again.status(), STATUS_FILE_CLOSED);
    EXPECT_EQ(again.size(), 64u + 9u);
}

TEST_F(Close, OnlyThePersistentHalfIsCompared) {
    uint64_t fid = cl_.open(tid_, "hello.txt");
    EXPECT_EQ(cl_.send(smb2::close(cl_.header(SMB2_CLOSE, 0x4242), fid, 0xDEADBEEF)).status(),
              STATUS_SUCCESS)
        << "any volatile half, any tree";
}

TEST_F(Close, MalformedRequestsAreInvalidParameter) {
    uint64_t fid = cl_.open(tid_, "hello.txt");
    Bytes wrong_size = smb2::close(cl_.header(SMB2_CLOSE, tid_), fid);
    smb2::put_u16(wrong_size, 64, 25);
    Bytes cut = smb2::close(cl_.header(SMB2_CLOSE, tid_), fid);
    cut.resize(64 + 8 + 7); // the persistent half one byte short
    EXPECT_EQ(cl_.send(wrong_size).status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(cl_.send(cut).status(), STATUS_INVALID_PARAMETER);
    EXPECT_NE(smb2::any_open(cl_.conn(), fid), nullptr) << "still open";

    Bytes no_volatile = smb2::close(cl_.header(SMB2_CLOSE, tid_), fid);
    no_volatile.resize(64 + 16); // the volatile half is not read
    EXPECT_EQ(cl_.send(no_volatile).status(), STATUS_SUCCESS);
}

TEST_F(Close, ClosedOpensAreFreedAndTheirFileIdsNeverReturn) {
    uint64_t kept = cl_.open(tid_, "big.bin");
    uint64_t last = kept;
    for (int i = 0; i < 300; i++) {
        uint64_t fid = cl_.open(tid_, (i % 2) ? "hello.txt" : "sub");
        ASSERT_GT(fid, last);
        last = fid;
        ASSERT_EQ(cl_.close(tid_, fid).status(), STATUS_SUCCESS);
        ASSERT_EQ(list_length(), 1) << "only the open still in use is kept";
    }
    EXPECT_EQ(cl_.conn().open_count, 1);
    EXPECT_EQ(smb2::any_open(cl_.conn(), kept)->info.size, 70000u);
}

TEST_F(Close, ClosingAListingHolderReleasesItsListing) {
    uint64_t fid = cl_.open(tid_, "sub");
    qv2_open *o = smb2::any_open(cl_.conn(), fid);
    ASSERT_NE(o, nullptr);
    // Stand in for QUERY_DIRECTORY: hold a listing of the folder.
    qv2_vres res{};
    res.kind = 1;
    memcpy(res.host, o->host, sizeof res.host);
    res.share = o->share;
    ASSERT_EQ(qv2_vfs_list(&res, &o->listing, &o->listing_count), 0);
    o->has_listing = 1;
    EXPECT_EQ(cl_.close(tid_, fid).status(), STATUS_SUCCESS); // LeakSanitizer checks the rest
    EXPECT_EQ(cl_.conn().open_list, nullptr);
}
