// QUERY_DIRECTORY paging: the listing taken once per open and walked by a
// cursor, the pattern and class it was made for, restarts, resumption by
// index, the client's output limit and the server's own cap, the end of the
// listing, and the refusals.
#include "support/smb2_client.h"
#include "support/smb2_file_requests.h"
#include "support/builders/tempdir.h"

#include "config/qv2_cfg.h"
#include "engine/engine.h"
#include "files/scoped_share.h"

#include <gtest/gtest.h>

#include <set>
#include <cstdio>

using smb2::Bytes;
using smb2::QueryDirParams;

namespace {

// NO_MORE_FILES is an error response: the 9-byte error body.
const Bytes kNoMoreFilesBody = {0x09, 0, 0, 0, 0, 0, 0, 0, 0};

class QueryDirectory : public ::testing::Test {
  protected:
    smb2::ScopedOption guest_{"guest", "on"};
    TempDir dir_;
    ScopedShare share_{"listing", dir_.path()};
    smb2::Client cl_;
    uint32_t tid_ = cl_.connect("listing");

    smb2::Reply query(const QueryDirParams &p) {
        return cl_.send(smb2::query_directory(cl_.header(SMB2_QUERY_DIRECTORY, tid_), p));
    }
    static std::vector<std::string> names(const smb2::Reply &r,
                                          uint8_t cls = smb2::CLS_ID_BOTH_DIRECTORY) {
        std::vector<std::string> out;
        for (const smb2::DirEntry &e : smb2::dir_entries(r, cls))
            out.push_back(e.name);
        return out;
    }
    void files(const std::vector<std::string> &list) {
        for (const std::string &n : list)
            dir_.write(n, "x");
    }
    static void expect_no_more_files(const smb2::Reply &r) {
        EXPECT_EQ(r.status(), STATUS_NO_MORE_FILES);
        EXPECT_EQ(r.body(), kNoMoreFilesBody);
    }
};

using Names = std::vector<std::string>;

} // namespace

TEST_F(QueryDirectory, ListsEntriesInByteOrderAlignedWithTheirIndexes) {
    files({"b", "A", "a"});
    uint64_t fid = cl_.open(tid_, "");
    smb2::CounterWatch w;

    smb2::Reply r = query({.fid = fid});
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.u16(64), 9u);
    EXPECT_EQ(r.u16(66), 72u);
    std::vector<smb2::DirEntry> e = smb2::dir_entries(r);
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(names(r), (Names{"A", "a", "b"}));
    for (size_t i = 0; i < e.size(); i++) {
        EXPECT_EQ(e[i].index, i + 1);
        EXPECT_EQ(e[i].at % 8, 0u);
        EXPECT_EQ(e[i].raw.size(), 112u) << "104 fixed bytes and a 2-byte name, padded to 8";
    }
    EXPECT_EQ(e[0].next, 112u);
    EXPECT_EQ(e[2].next, 0u);
    EXPECT_EQ(r.u32(68), 3 * 112u) << "the last entry is padded too";

    expect_no_more_files(query({.fid = fid}));
    expect_no_more_files(query({.fid = fid}));
    EXPECT_EQ(w.delta(QV2_ST_LISTINGS_SENT), 3);
}

TEST_F(QueryDirectory, PatternSkipsOthersWithoutHoldingTheCursorBack) {
    files({"a.txt", "c.TXT", "d.doc"});
    uint64_t fid = cl_.open(tid_, "");
    smb2::Reply r = query({.fid = fid, .pattern = "*.txt"});
    EXPECT_EQ(names(r), (Names{"a.txt", "c.TXT"}));
    EXPECT_EQ(smb2::dir_entries(r)[1].index, 2u) << "the index counts the whole listing";
    expect_no_more_files(query({.fid = fid, .pattern = "*.txt"}));
}

// Windows clients turn "*.txt", "*." and "?" of a user into the DOS
// wildcards '<', '"' and '>' (MS-FSCC 2.1.4.4); a pattern naming one file
// matches it whatever its case.
TEST_F(QueryDirectory, DosWildcardsAndCaseInsensitivePatternsSelectAsWindowsDoes) {
    files({"a.b.txt", "a.txt", "noext", "ab.txt", "abc.txt", "abcd.txt", "README.md"});
    uint64_t fid = cl_.open(tid_, "");
    struct Row {
        const char *pattern;
        Names want;
    };
    const Row rows[] = {
        {"<.txt", {"a.b.txt", "a.txt", "ab.txt", "abc.txt", "abcd.txt"}},
        {"<\"", {"noext"}},
        {"a>>.txt", {"a.txt", "ab.txt", "abc.txt"}},
        {"readme.MD", {"README.md"}},
    };
    for (const Row &r : rows) {
        smb2::Reply first =
            query({.fid = fid, .flags = smb2::QD_RESTART_SCANS, .pattern = r.pattern});
        EXPECT_EQ(names(first), r.want) << r.pattern;
        expect_no_more_files(query({.fid = fid, .pattern = r.pattern}));
    }
}

TEST_F(QueryDirectory, MissingNameAndEmptyFolderEndAtOnce) {
    files({"a.txt"});
    dir_.mkdir("empty");
    uint64_t fid = cl_.open(tid_, "");
    smb2::CounterWatch w;
    expect_no_more_files(query({.fid = fid, .pattern = "missing.txt"}));
    EXPECT_EQ(w.delta(QV2_ST_LISTINGS_SENT), 1);
    uint64_t empty = cl_.open(tid_, "empty");
    expect_no_more_files(query({.fid = empty}));
    EXPECT_EQ(cl_.conn().open_list->has_listing, 1) << "an empty listing is still held";
}

TEST_F(QueryDirectory, EmptyOrAbsentPatternListsEverything) {
    files({"x", "y"});
    uint64_t fid = cl_.open(tid_, "");
    EXPECT_EQ(names(query({.fid = fid, .pattern = ""})), (Names{"x", "y"}));
    // An area outside the message with no length is no pattern at all.
    smb2::Reply r = query({.fid = fid,
                           .flags = smb2::QD_RESTART_SCANS,
                           .override_name = true,
                           .name_off = 4000,
                           .name_len = 0});
    EXPECT_EQ(names(r), (Names{"x", "y"}));
}

TEST_F(QueryDirectory, SingleEntryFlagReturnsOneEntryPerRequest) {
    files({"1", "2", "3"});
    uint64_t fid = cl_.open(tid_, "");
    for (const char *want : {"1", "2", "3"})
        EXPECT_EQ(names(query({.fid = fid, .flags = smb2::QD_RETURN_SINGLE_ENTRY})), Names{want});
    expect_no_more_files(query({.fid = fid, .flags = smb2::QD_RETURN_SINGLE_ENTRY}));
}

TEST_F(QueryDirectory, OutputLimitCutsBetweenEntriesAndMayLetNoneThrough) {
    files({"a", "b", "c", "d"});
    uint64_t fid = cl_.open(tid_, "");
    smb2::Reply r = query({.fid = fid, .out_len = 111});
    ASSERT_EQ(r.status(), STATUS_SUCCESS) << "not even one 112-byte entry fits";
    EXPECT_EQ(r.body(), (Bytes{9, 0, 72, 0, 0, 0, 0, 0}));
    EXPECT_EQ(names(query({.fid = fid, .out_len = 112})), Names{"a"}) << "the cursor stayed";
    r = query({.fid = fid, .out_len = 2 * 112 + 111});
    EXPECT_EQ(names(r), (Names{"b", "c"}));
    EXPECT_EQ(r.u32(68), 224u);
    EXPECT_EQ(smb2::dir_entries(r)[1].next, 0u);
    EXPECT_EQ(names(query({.fid = fid, .out_len = 0})), Names{"d"}) << "0: no limit";
}

TEST_F(QueryDirectory, AnotherPatternWithoutRestartIsRefusedAndDropsTheListing) {
    files({"a.txt", "b.txt", "c.doc"});
    uint64_t fid = cl_.open(tid_, "");
    EXPECT_EQ(names(query({.fid = fid, .flags = smb2::QD_RETURN_SINGLE_ENTRY})), Names{"a.txt"});
    EXPECT_EQ(names(query({.fid = fid, .flags = smb2::QD_RETURN_SINGLE_ENTRY})), Names{"b.txt"})
        << "the same pattern continues";
    EXPECT_EQ(query({.fid = fid, .pattern = "*.txt"}).status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(cl_.conn().open_list->has_listing, 0);
    EXPECT_EQ(names(query({.fid = fid, .pattern = "*.txt"})), (Names{"a.txt", "b.txt"}))
        << "a new listing from the start";
    EXPECT_EQ(query({.fid = fid, .cls = smb2::CLS_NAMES, .pattern = "*.txt"}).status(),
              STATUS_INVALID_PARAMETER)
        << "another class";
}

TEST_F(QueryDirectory, ListingIsASnapshotUntilRestartOrReopen) {
    files({"a", "b"});
    uint64_t fid = cl_.open(tid_, "");
    EXPECT_EQ(names(query({.fid = fid, .flags = smb2::QD_RETURN_SINGLE_ENTRY})), Names{"a"});
    files({"c"});
    EXPECT_EQ(names(query({.fid = fid})), Names{"b"});
    EXPECT_EQ(names(query({.fid = fid, .flags = smb2::QD_RESTART_SCANS})), (Names{"a", "b", "c"}));
    files({"d"});
    EXPECT_EQ(names(query({.fid = fid, .flags = smb2::QD_REOPEN, .pattern = "?"})),
              (Names{"a", "b", "c", "d"}))
        << "a restart may change the pattern";
}

TEST_F(QueryDirectory, IndexSpecifiedResumesAfterTheGivenIndex) {
    files({"1", "2", "3", "4"});
    uint64_t fid = cl_.open(tid_, "");
    QueryDirParams resume{.fid = fid, .flags = smb2::QD_INDEX_SPECIFIED, .file_index = 2};
    EXPECT_EQ(names(query(resume)), (Names{"1", "2", "3", "4"})) << "a new listing starts at 0";
    smb2::Reply r = query(resume);
    EXPECT_EQ(names(r), (Names{"3", "4"}));
    EXPECT_EQ(smb2::dir_entries(r)[0].index, 3u);
    resume.file_index = 0;
    EXPECT_EQ(names(query(resume)).size(), 4u);
    for (uint32_t past : {4u, 5u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        resume.file_index = past;
        expect_no_more_files(query(resume));
    }
}

TEST_F(QueryDirectory, TwoThousandEntriesPagedInFourKibibytesComeOnceEach) {
    std::set<std::string> want;
    for (int i = 0; i < 2000; i++) {
        std::string n = "file-" + std::to_string(i * 7919 % 100003) + ".dat";
        dir_.write(n, "");
        want.insert(n);
    }
    uint64_t fid = cl_.open(tid_, "");
    std::multiset<std::string> seen;
    std::string last;
    int requests = 0, short_replies = 0;
    for (; requests < 1000; requests++) {
        smb2::Reply r = query({.fid = fid, .out_len = 4096});
        if (r.status() == STATUS_NO_MORE_FILES) break;
        ASSERT_EQ(r.status(), STATUS_SUCCESS);
        ASSERT_LE(r.u32(68), 4096u);
        if (r.u32(68) <= 4096u - 128) short_replies++;
        for (const std::string &n : names(r)) {
            EXPECT_LT(last, n) << "in byte order";
            last = n;
            seen.insert(n);
        }
    }
    EXPECT_EQ(seen.size(), 2000u);
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()), want);
    EXPECT_GT(requests, 50);
    EXPECT_EQ(short_replies, 1) << "every reply but the last is filled";
}

TEST_F(QueryDirectory, ReplyStopsJustPastOneMebibyteWhateverTheLimit) {
    // 616-byte entries: 104 fixed bytes and a 255-character name, padded.
    const int count = 1800;
    for (int i = 0; i < count; i++) {
        std::string n = std::to_string(10000 + i);
        dir_.write(n + std::string(255 - n.size(), 'x'), "");
    }
    uint64_t fid = cl_.open(tid_, "");
    for (uint32_t limit : {0u, 8u << 20}) {
        smb2::Reply r = query({.fid = fid, .flags = smb2::QD_RESTART_SCANS, .out_len = limit});
        ASSERT_EQ(r.status(), STATUS_SUCCESS);
        uint32_t len = r.u32(68);
        EXPECT_GT(len, 1048576u);
        EXPECT_LE(len, 1048576u + 616);
        size_t first = smb2::dir_entries(r).size();
        EXPECT_EQ(first, 1048576 / 616 + 1);
        EXPECT_EQ(smb2::dir_entries(query({.fid = fid, .out_len = limit})).size(), count - first);
    }
}

TEST_F(QueryDirectory, LongestPatternContinuesItsOwnListing) {
    files({"a", "b"});
    uint64_t fid = cl_.open(tid_, "");
    std::string longest(512, '*');
    QueryDirParams p{.fid = fid, .flags = smb2::QD_RETURN_SINGLE_ENTRY, .pattern = longest};
    EXPECT_EQ(names(query(p)), Names{"a"});
    EXPECT_EQ(names(query(p)), Names{"b"});
    p.pattern = std::string(513, '*');
    EXPECT_EQ(query(p).status(), STATUS_INVALID_PARAMETER) << "longer than a pattern may be";
}

TEST_F(QueryDirectory, MalformedRequestsAndPatternsAreRefused) {
    files({"a"});
    dir_.mkdir("sub");
    uint64_t fid = cl_.open(tid_, "");
    Bytes msg = smb2::query_directory(cl_.header(SMB2_QUERY_DIRECTORY, tid_), {.fid = fid});
    smb2::put_u16(msg, 64, 32);
    EXPECT_EQ(cl_.send(msg).status(), STATUS_INVALID_PARAMETER) << "StructureSize";
    msg = smb2::query_directory(cl_.header(SMB2_QUERY_DIRECTORY, tid_), {.fid = fid});
    msg.resize(64 + 30);
    EXPECT_EQ(cl_.send(msg).status(), STATUS_INVALID_PARAMETER) << "short body";

    EXPECT_EQ(query({.fid = fid, .override_name = true, .name_off = 96, .name_len = 200}).status(),
              STATUS_INVALID_PARAMETER)
        << "pattern past the message";
    EXPECT_EQ(query({.fid = fid, .override_name = true, .name_off = 10, .name_len = 2}).status(),
              STATUS_INVALID_PARAMETER)
        << "pattern inside the header";
    EXPECT_EQ(query({.fid = fid, .raw_pattern = {'*', 0, 'a'}}).status(), STATUS_INVALID_PARAMETER)
        << "odd length";
    EXPECT_EQ(query({.fid = fid, .raw_pattern = {0x00, 0xD8, 'a', 0}}).status(),
              STATUS_INVALID_PARAMETER)
        << "lone surrogate";
    for (const char *bad : {"sub\\*", "sub/*", "a\tb"})
        EXPECT_EQ(query({.fid = fid, .pattern = bad}).status(), STATUS_INVALID_PARAMETER) << bad;
    EXPECT_EQ(cl_.conn().open_list->has_listing, 0) << "nothing was listed";
    EXPECT_EQ(names(query({.fid = fid})), (Names{"a", "sub"}));
}

TEST_F(QueryDirectory, OnlyDirectoryHandlesOfServedClassesAreListed) {
    files({"a"});
    uint64_t dir = cl_.open(tid_, "");
    uint64_t file = cl_.open(tid_, "a");
    EXPECT_EQ(query({.fid = file}).status(), STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(query({.fid = 0x999}).status(), STATUS_FILE_CLOSED);
    for (uint8_t cls : {0, 4, 13, 36, 39, 60})
        EXPECT_EQ(query({.fid = dir, .cls = cls}).status(), STATUS_INVALID_INFO_CLASS) << int(cls);
    EXPECT_EQ(query({.fid = 0x999, .cls = 4}).status(), STATUS_INVALID_INFO_CLASS)
        << "the class is checked before the handle";

    uint32_t ipc = cl_.connect("IPC$");
    smb2::Reply p = cl_.create(ipc, {.name = "srvsvc"});
    ASSERT_EQ(p.status(), STATUS_SUCCESS);
    EXPECT_EQ(cl_.send(smb2::query_directory(cl_.header(SMB2_QUERY_DIRECTORY, ipc),
                                             {.fid = smb2::create_fid(p)}))
                  .status(),
              STATUS_NOT_SUPPORTED);
}

TEST_F(QueryDirectory, DirectoryThatCanNoLongerBeListedIsRefused) {
    dir_.write("sub/a", "x");
    uint64_t fid = cl_.open(tid_, "sub");
    ASSERT_EQ(::rename(dir_.join("sub").c_str(), dir_.join("gone").c_str()), 0);
    EXPECT_EQ(query({.fid = fid}).status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(cl_.conn().open_list->has_listing, 0);
    ASSERT_EQ(::rename(dir_.join("gone").c_str(), dir_.join("sub").c_str()), 0);
    EXPECT_EQ(names(query({.fid = fid})), Names{"a"}) << "the next request lists again";
}
