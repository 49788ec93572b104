// A folder on the path of an open handle swapped for a link after CREATE
// (something a local user of the host can do inside a shared folder): READ
// and QUERY_DIRECTORY refuse instead of serving what the link points at,
// whether the kernel resolves the path in one call or it is walked one
// component at a time. A file replaced by another regular file is still
// read in its new state.
#include "support/smb2_client.h"
#include "support/smb2_file_requests.h"
#include "support/builders/tempdir.h"

#include "config/qv2_cfg.h"
#include "files/qv2_fs.h"
#include "files/scoped_share.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

using smb2::Bytes;

namespace {

// Selects how the no-follow opens resolve paths for one test, and puts the
// default back after.
struct WalkMode {
    explicit WalkMode(int walk) { qv2_fs_force_walk(walk); }
    ~WalkMode() { qv2_fs_force_walk(0); }
};

std::string text_of(const Bytes &b) {
    return std::string(b.begin(), b.end());
}

class LinkSwap : public ::testing::TestWithParam<int> {
  protected:
    WalkMode mode_{GetParam()};
    smb2::ScopedOption guest_{"guest", "on"};
    TempDir share_dir_;
    TempDir outside_;
    ScopedShare share_{"swap", populate()};
    smb2::Client cl_;
    uint32_t tid_ = cl_.connect("swap");

    const std::string &populate() {
        share_dir_.write("sub/data.txt", "inside\n");
        share_dir_.write("sub/list/a.txt", "a");
        outside_.write("sub/data.txt", "OUTSIDE SECRET\n");
        outside_.write("sub/list/secret.txt", "s");
        outside_.write("lone.txt", "OUTSIDE SECRET\n");
        outside_.mkdir("lone_dir");
        outside_.write("lone_dir/secret.txt", "s");
        return share_dir_.path();
    }
    // Replaces the share's entry `rel` by a link to `target`; the original
    // is kept aside under rel + ".orig".
    void swap_for_link(const std::string &rel, const std::string &target) {
        ASSERT_EQ(rename(share_dir_.join(rel).c_str(), share_dir_.join(rel + ".orig").c_str()), 0);
        share_dir_.symlink(target, rel);
    }
    void swap_back(const std::string &rel) {
        ASSERT_EQ(unlink(share_dir_.join(rel).c_str()), 0);
        ASSERT_EQ(rename(share_dir_.join(rel + ".orig").c_str(), share_dir_.join(rel).c_str()), 0);
    }
    smb2::Reply read(uint64_t fid) {
        return cl_.send(smb2::read(cl_.header(SMB2_READ, tid_), {.fid = fid, .length = 4096}));
    }
    smb2::Reply list(uint64_t fid) {
        return cl_.send(smb2::query_directory(cl_.header(SMB2_QUERY_DIRECTORY, tid_),
                                              {.fid = fid, .flags = smb2::QD_RESTART_SCANS}));
    }
    static bool names_secret(const smb2::Reply &r) {
        if (r.status() != STATUS_SUCCESS) return false;
        for (const smb2::DirEntry &e : smb2::dir_entries(r))
            if (e.name == "secret.txt") return true;
        return false;
    }
};

INSTANTIATE_TEST_SUITE_P(ResolvedBy, LinkSwap, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int> &p) {
                             return p.param ? "ComponentWalk" : "Openat2";
                         });

} // namespace

TEST_P(LinkSwap, FolderOnTheFilePathSwappedForALinkMakesReadFailUntilItIsBack) {
    uint64_t fid = cl_.open(tid_, "sub/data.txt");
    ASSERT_EQ(text_of(smb2::read_data(read(fid))), "inside\n");

    swap_for_link("sub", outside_.join("sub"));
    smb2::CounterWatch w;
    smb2::Reply r = read(fid);
    EXPECT_EQ(r.status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(r.size(), 64u + 9u) << "nothing of the outside file is sent";
    EXPECT_EQ(w.delta(QV2_ST_READS), 0);

    swap_back("sub");
    EXPECT_EQ(text_of(smb2::read_data(read(fid))), "inside\n");
}

TEST_P(LinkSwap, FileItselfSwappedForALinkMakesReadFail) {
    uint64_t fid = cl_.open(tid_, "sub/data.txt");
    swap_for_link("sub/data.txt", outside_.join("lone.txt"));
    smb2::Reply r = read(fid);
    EXPECT_EQ(r.status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(r.size(), 64u + 9u);
}

TEST_P(LinkSwap, FolderOnTheListedPathSwappedForALinkMakesTheListingFail) {
    uint64_t dir = cl_.open(tid_, "sub/list");
    smb2::Reply before = list(dir);
    ASSERT_EQ(before.status(), STATUS_SUCCESS);

    // An ancestor of the listed folder, then the listed folder itself.
    swap_for_link("sub", outside_.join("sub"));
    smb2::Reply r = list(dir);
    EXPECT_EQ(r.status(), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(names_secret(r));
    swap_back("sub");

    swap_for_link("sub/list", outside_.join("lone_dir"));
    r = list(dir);
    EXPECT_EQ(r.status(), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(names_secret(r));
    swap_back("sub/list");

    EXPECT_EQ(list(dir).status(), STATUS_SUCCESS);
}

TEST_P(LinkSwap, FileReplacedByAnotherRegularFileIsReadInItsNewState) {
    uint64_t fid = cl_.open(tid_, "sub/data.txt");
    ASSERT_EQ(text_of(smb2::read_data(read(fid))), "inside\n");
    share_dir_.write("sub/data.new", "replaced content\n");
    ASSERT_EQ(
        rename(share_dir_.join("sub/data.new").c_str(), share_dir_.join("sub/data.txt").c_str()),
        0);
    smb2::Reply r = read(fid);
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(text_of(smb2::read_data(r)), "replaced content\n");
}
