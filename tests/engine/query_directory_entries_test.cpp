// QUERY_DIRECTORY entries: the layout of each of the six classes, the values
// taken from the listing, short names for names already in 8.3 form only,
// links inside the share, and a listing end to end through the simulation.
#include "support/docs_share.h"
#include "support/smb2_client.h"
#include "support/smb2_file_requests.h"
#include "support/builders/tempdir.h"

#include "config/qv2_cfg.h"
#include "engine/engine.h"
#include "files/qv2_fs.h"
#include "files/scoped_share.h"
#include "foundation/qv2_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

using smb2::Bytes;
using smb2::QueryDirParams;

namespace {

struct ClassLayout {
    uint8_t cls;
    size_t name_at;  // where the name begins
    size_t ea_at;    // EaSize, or 0 when the class has none
    size_t short_at; // ShortNameLength, or 0
    size_t id_at;    // FileId, or 0
};

constexpr ClassLayout kLayouts[] = {
    {smb2::CLS_DIRECTORY, 64, 0, 0, 0},           {smb2::CLS_FULL_DIRECTORY, 68, 64, 0, 0},
    {smb2::CLS_BOTH_DIRECTORY, 94, 64, 68, 0},    {smb2::CLS_ID_BOTH_DIRECTORY, 104, 64, 68, 96},
    {smb2::CLS_ID_FULL_DIRECTORY, 80, 64, 0, 72},
};

class DirEntries : public ::testing::Test {
  protected:
    smb2::ScopedOption guest_{"guest", "on"};
    TempDir dir_;
    ScopedShare share_{"listing", dir_.path()};
    smb2::Client cl_;
    uint32_t tid_ = cl_.connect("listing");

    std::vector<smb2::DirEntry> list(uint8_t cls, const std::string &pattern = "*") {
        uint64_t fid = cl_.open(tid_, "");
        smb2::Reply r = cl_.send(smb2::query_directory(
            cl_.header(SMB2_QUERY_DIRECTORY, tid_), {.fid = fid, .cls = cls, .pattern = pattern}));
        EXPECT_EQ(r.status(), STATUS_SUCCESS);
        return smb2::dir_entries(r, cls);
    }
    qv2_fs_info lstat_of(const std::string &rel) {
        qv2_fs_info in{};
        EXPECT_EQ(qv2_fs_lstat(dir_.join(rel).c_str(), &in), 0);
        return in;
    }
    // Distinct access and write times, so that a swapped field shows.
    void set_times(const std::string &rel, time_t atime, time_t mtime) {
        struct timespec ts[2] = {{atime, 0}, {mtime, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, dir_.join(rel).c_str(), ts, AT_SYMLINK_NOFOLLOW), 0);
    }
    std::string short_name(const std::string &name) {
        for (const smb2::DirEntry &e : list(smb2::CLS_BOTH_DIRECTORY, name)) {
            uint8_t n = e.raw[68];
            EXPECT_LE(n, 24u);
            for (size_t i = 70 + n; i < 94; i++)
                EXPECT_EQ(e.raw[i], 0) << "zero after the name";
            return smb2::from_utf16(e.raw.data() + 70, n);
        }
        ADD_FAILURE() << name << " not listed";
        return "?";
    }
};

} // namespace

TEST_F(DirEntries, EveryClassHasItsFixedSizeAndFieldOffsets) {
    dir_.write("readme.txt", std::string(100, 'r'));
    set_times("readme.txt", 1000000000, 1200000000);
    qv2_fs_info in = lstat_of("readme.txt");
    Bytes name16 = smb2::to_utf16("readme.txt");

    for (const ClassLayout &l : kLayouts) {
        SCOPED_TRACE(int(l.cls));
        std::vector<smb2::DirEntry> e = list(l.cls);
        ASSERT_EQ(e.size(), 1u);
        const Bytes &b = e[0].raw;
        ASSERT_EQ(b.size(), (l.name_at + 20 + 7) / 8 * 8);
        EXPECT_EQ(smb2::get_u32(b, 0), 0u);
        EXPECT_EQ(smb2::get_u32(b, 4), 1u);
        // The listing reports the write time as CreationTime and the
        // creation time as ChangeTime.
        EXPECT_EQ(smb2::get_u64(b, 8), qv2_filetime(1200000000));
        EXPECT_EQ(smb2::get_u64(b, 16), qv2_filetime(1000000000));
        EXPECT_EQ(smb2::get_u64(b, 24), qv2_filetime(1200000000));
        EXPECT_EQ(smb2::get_u64(b, 32), qv2_filetime(in.crtime));
        EXPECT_EQ(smb2::get_u64(b, 40), 100u);
        EXPECT_EQ(smb2::get_u64(b, 48), 65536u);
        EXPECT_EQ(smb2::get_u32(b, 56), 0x21u);
        EXPECT_EQ(smb2::get_u32(b, 60), 20u);
        EXPECT_EQ(Bytes(b.begin() + long(l.name_at), b.begin() + long(l.name_at) + 20), name16);
        for (size_t i = l.name_at + 20; i < b.size(); i++)
            EXPECT_EQ(b[i], 0) << "padding";
        if (l.ea_at) {
            EXPECT_EQ(smb2::get_u32(b, l.ea_at), 0u) << "EaSize";
        }
        if (l.short_at) {
            EXPECT_EQ(b[l.short_at], 20u);
            EXPECT_EQ(b[l.short_at + 1], 0u);
            EXPECT_EQ(smb2::from_utf16(b.data() + l.short_at + 2, 20), "README.TXT");
        }
        if (l.cls == smb2::CLS_ID_BOTH_DIRECTORY) {
            EXPECT_EQ(smb2::get_u16(b, 94), 0u);
        }
        if (l.cls == smb2::CLS_ID_FULL_DIRECTORY) {
            EXPECT_EQ(smb2::get_u32(b, 68), 0u);
        }
        if (l.id_at) {
            EXPECT_EQ(smb2::get_u64(b, l.id_at), in.ino);
        }
    }

    std::vector<smb2::DirEntry> e = list(smb2::CLS_NAMES);
    ASSERT_EQ(e.size(), 1u);
    ASSERT_EQ(e[0].raw.size(), 32u) << "12 fixed bytes and a 20-byte name, padded to 8";
    EXPECT_EQ(smb2::get_u32(e[0].raw, 4), 1u);
    EXPECT_EQ(smb2::get_u32(e[0].raw, 8), 20u);
    EXPECT_EQ(e[0].name, "readme.txt");
}

TEST_F(DirEntries, NextEntryOffsetIsEachEntrysPaddedLengthInEveryClass) {
    for (const char *n : {"a", "bb", "ccc", "dddd", "eeeee"})
        dir_.write(n, "");
    const std::pair<uint8_t, size_t> fixed[] = {{1, 64},  {2, 68},   {3, 94},
                                                {12, 12}, {37, 104}, {38, 80}};
    for (const auto &[cls, fixed_len] : fixed) {
        SCOPED_TRACE(int(cls));
        std::vector<smb2::DirEntry> e = list(cls);
        ASSERT_EQ(e.size(), 5u);
        for (size_t i = 0; i < e.size(); i++) {
            EXPECT_EQ(e[i].at % 8, 0u);
            EXPECT_EQ(e[i].raw.size(), (fixed_len + 2 * (i + 1) + 7) / 8 * 8);
            if (i + 1 < e.size()) {
                EXPECT_EQ(e[i].next, e[i].raw.size());
            }
        }
        EXPECT_EQ(e.back().next, 0u);
    }
}

TEST_F(DirEntries, ShortNamesOnlyForNamesAlreadyInEightDotThreeForm) {
    const std::pair<const char *, const char *> cases[] = {
        {"readme.txt", "README.TXT"},
        {"longfilename.txt", ""},
        {"abc.", "ABC"},
        {"abcdefgh.", ""},
        {"abcdefgh.c", "ABCDEFGH.C"},
        {"Makefile", "MAKEFILE"},
        {"ninechars", ""},
        {"a.long", ""},
        {".profile", ""},
        {"x_1.Tar", "X_1.TAR"},
    };
    for (const auto &[name, want] : cases)
        dir_.write(name, "");
    for (const auto &[name, want] : cases)
        EXPECT_EQ(short_name(name), want) << name;
}

TEST_F(DirEntries, FoldersAndLinksShowWhatTheyPointAt) {
    dir_.write("sub/inner.txt", "inner");
    dir_.write("data.bin", std::string(65537, 'd'));
    dir_.symlink(dir_.join("sub"), "sub_link");
    dir_.symlink(dir_.join("data.bin"), "data_link");
    TempDir outside;
    dir_.symlink(outside.mkdir("far"), "far_link");
    dir_.symlink(dir_.join("missing"), "dangling");

    std::vector<smb2::DirEntry> e = list(smb2::CLS_ID_BOTH_DIRECTORY);
    std::vector<std::string> names;
    for (const smb2::DirEntry &x : e)
        names.push_back(x.name);
    ASSERT_EQ(names, (std::vector<std::string>{"data.bin", "data_link", "sub", "sub_link"}))
        << "links leading out of the share and dangling ones are left out";

    EXPECT_EQ(smb2::get_u32(e[0].raw, 56), 0x21u);
    EXPECT_EQ(smb2::get_u64(e[0].raw, 40), 65537u);
    EXPECT_EQ(smb2::get_u64(e[0].raw, 48), 131072u);
    EXPECT_EQ(smb2::get_u32(e[1].raw, 56), 0x21u);
    EXPECT_EQ(smb2::get_u64(e[1].raw, 40), 65537u) << "the target's size";
    EXPECT_EQ(smb2::get_u64(e[1].raw, 96), lstat_of("data_link").ino) << "the link's own id";
    EXPECT_EQ(smb2::get_u32(e[2].raw, 56), 0x11u);
    EXPECT_EQ(smb2::get_u64(e[2].raw, 40), 0u);
    EXPECT_EQ(smb2::get_u64(e[2].raw, 48), 0u);
    EXPECT_EQ(smb2::get_u32(e[3].raw, 56), 0x11u);
    EXPECT_EQ(smb2::get_u64(e[3].raw, 96), lstat_of("sub_link").ino);
    EXPECT_NE(lstat_of("sub_link").ino, lstat_of("sub").ino);
}

TEST_F(DirEntries, NonAsciiNamesTravelAsUtf16) {
    dir_.write("\xC3\xA9t\xC3\xA9.txt", ""); // été.txt
    dir_.write("\xF0\x9F\x93\x81", "");      // one character outside the BMP
    std::vector<smb2::DirEntry> e = list(smb2::CLS_ID_BOTH_DIRECTORY);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].name, "\xC3\xA9t\xC3\xA9.txt");
    EXPECT_EQ(smb2::get_u32(e[0].raw, 60), 14u);
    EXPECT_EQ(e[1].name, "\xF0\x9F\x93\x81");
    EXPECT_EQ(smb2::get_u32(e[1].raw, 60), 4u) << "a surrogate pair";
    EXPECT_EQ(e[0].raw[68], 14u) << "already 8.3: no test of the characters";
    EXPECT_EQ(smb2::from_utf16(e[0].raw.data() + 70, 14), "\xC3\xA9T\xC3\xA9.TXT");
}

TEST(QueryDirectoryEndToEnd, ListsTheShareRootThroughTheSimulation) {
    smb2::ScopedOption guest{"guest", "on"};
    smb2::ScopedOption clock{"clock", "1700000000"};
    DocsShare docs;
    smb2::SimClient sim;
    std::vector<smb2::Reply> r = sim.run({
        smb2::tree_connect(sim.header(SMB2_TREE_CONNECT), "\\\\h\\docs"),
        smb2::compound({smb2::create(sim.header(SMB2_CREATE, 1), {.options = 1}),
                        smb2::query_directory(sim.header(SMB2_QUERY_DIRECTORY, 1),
                                              {.fid = ~0ull, .out_len = 0})},
                       true),
        smb2::query_directory(sim.header(SMB2_QUERY_DIRECTORY, 1), {.fid = 0x21}),
    });
    ASSERT_EQ(r.size(), 3u);
    std::vector<smb2::Reply> parts = r[1].parts();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].status(), STATUS_SUCCESS);
    ASSERT_EQ(parts[1].status(), STATUS_SUCCESS);
    std::vector<std::string> names;
    for (const smb2::DirEntry &e : smb2::dir_entries(parts[1]))
        names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"big.bin", "empty", "hello.txt", "in_link", "sub"}));
    EXPECT_EQ(r[2].status(), STATUS_NO_MORE_FILES);
}
