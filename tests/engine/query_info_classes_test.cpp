// QUERY_INFO: the answer of every file and file-system class, taken from the
// stat record of the open; the client's output limit (cut and flagged, or
// refused below the class's minimum); the volume label and serial; the pipe;
// and the refusals.
#include "support/docs_share.h"
#include "support/smb2_client.h"
#include "support/smb2_file_requests.h"

#include "config/qv2_cfg.h"
#include "engine/engine.h"
#include "files/qv2_fs.h"
#include "files/scoped_share.h"
#include "foundation/qv2_util.h"

#include <gtest/gtest.h>

using smb2::Bytes;
using smb2::QueryInfoParams;

namespace {

constexpr uint64_t kFiletime1970 = 0x019DB1DED53E8000ULL;

struct ClassSize {
    uint8_t type, cls;
    uint32_t size, minimum;
    bool name; // ends in a name: cut only between UTF-16 units
};

// For hello.txt of the share "docs": its name "\hello.txt" takes 20 bytes,
// its short name HELLO.TXT 18, the volume label 8.
constexpr ClassSize kClasses[] = {
    {1, 4, 40, 40, false},   {1, 5, 24, 24, false}, {1, 6, 8, 8, false},    {1, 7, 4, 4, false},
    {1, 9, 24, 8, true},     {1, 14, 8, 8, false},  {1, 16, 4, 4, false},   {1, 17, 4, 4, false},
    {1, 18, 120, 104, true}, {1, 21, 22, 8, true},  {1, 22, 38, 24, false}, {1, 34, 56, 56, false},
    {1, 35, 8, 8, false},    {2, 1, 26, 24, true},  {2, 3, 24, 24, false},  {2, 4, 8, 8, false},
    {2, 5, 20, 16, true},    {2, 6, 48, 48, false}, {2, 7, 32, 32, false},  {2, 8, 64, 64, false},
    {2, 11, 28, 28, false},
};

class QueryInfo : public ::testing::Test {
  protected:
    smb2::ScopedOption guest_{"guest", "on"};
    DocsShare docs_;
    smb2::Client cl_;
    uint32_t tid_ = cl_.connect("docs");

    smb2::Reply query(const QueryInfoParams &p, uint32_t tid = 0) {
        return cl_.send(smb2::query_info(cl_.header(SMB2_QUERY_INFO, tid ? tid : tid_), p));
    }
    // The answer of a query that must succeed.
    Bytes answer(uint64_t fid, uint8_t type, uint8_t cls) {
        smb2::Reply r = query({.fid = fid, .type = type, .cls = cls});
        EXPECT_EQ(r.status(), STATUS_SUCCESS) << int(type) << "/" << int(cls);
        if (r.size() >= 72) {
            EXPECT_EQ(r.u16(64), 9u);
            EXPECT_EQ(r.u16(66), 72u);
        }
        return smb2::output_buffer(r);
    }
    qv2_fs_info stat_of(const std::string &rel) {
        qv2_fs_info in{};
        EXPECT_EQ(qv2_fs_stat(docs_.dir.join(rel).c_str(), &in), 0);
        return in;
    }
};

uint32_t serial_of(const std::string &host) {
    return uint32_t(qv2_fnv1a64(host.data(), host.size(), QV2_FNV_BASIS));
}

void expect_basic(const Bytes &a, const qv2_fs_info &in, uint32_t attributes) {
    EXPECT_EQ(smb2::get_u64(a, 0), qv2_filetime(in.crtime));
    EXPECT_EQ(smb2::get_u64(a, 8), qv2_filetime(in.atime));
    EXPECT_EQ(smb2::get_u64(a, 16), qv2_filetime(in.mtime));
    EXPECT_EQ(smb2::get_u64(a, 24), qv2_filetime(in.crtime));
    EXPECT_EQ(smb2::get_u32(a, 32), attributes);
    EXPECT_EQ(smb2::get_u32(a, 36), 0u);
}

} // namespace

TEST_F(QueryInfo, FileClassesOfAFile) {
    docs_.dir.write("hundred.txt", std::string(100, 'h'));
    qv2_fs_info in = stat_of("hundred.txt");
    uint64_t fid = cl_.open(tid_, "hundred.txt");

    Bytes basic = answer(fid, 1, 4);
    ASSERT_EQ(basic.size(), 40u);
    expect_basic(basic, in, 0x21);

    EXPECT_EQ(answer(fid, 1, 5),
              (smb2::Body().u64(65536).u64(100).u32(1).u8(0).u8(0).u16(0).data()));
    EXPECT_EQ(answer(fid, 1, 6), smb2::Body().u64(in.ino).data());
    EXPECT_EQ(answer(fid, 1, 7), smb2::Body().u32(0).data()) << "FileEaInformation: EaSize 0";

    Bytes all = answer(fid, 1, 18);
    ASSERT_EQ(all.size(), 100u + 24u);
    EXPECT_EQ(Bytes(all.begin(), all.begin() + 40), basic);
    EXPECT_EQ(Bytes(all.begin() + 40, all.begin() + 64), answer(fid, 1, 5));
    EXPECT_EQ(Bytes(all.begin() + 64, all.end()), (smb2::Body()
                                                       .u64(in.ino)
                                                       .u32(0)          // EaSize
                                                       .u32(0x001200A9) // AccessFlags
                                                       .u64(0)          // CurrentByteOffset
                                                       .u32(0)          // Mode
                                                       .u32(0)          // AlignmentRequirement
                                                       .u32(24)         // FileNameLength
                                                       .utf16("\\hundred.txt")
                                                       .data()));
    EXPECT_EQ(Bytes(all.begin() + 96, all.end()), answer(fid, 1, 9)) << "FileNameInformation";
    EXPECT_EQ(answer(fid, 1, 14), smb2::Body().u64(0).data()) << "FilePositionInformation";
    EXPECT_EQ(answer(fid, 1, 16), smb2::Body().u32(0).data()) << "FileModeInformation";
    EXPECT_EQ(answer(fid, 1, 17), smb2::Body().u32(0).data()) << "FileAlignmentInformation";
    EXPECT_EQ(answer(fid, 1, 21), smb2::Body().u32(22).utf16("HUNDRED.TXT").data())
        << "FileAlternateNameInformation: the 8.3 name listings give";
    EXPECT_EQ(answer(fid, 1, 22),
              smb2::Body().u32(0).u32(14).u64(100).u64(65536).utf16("::$DATA").data())
        << "FileStreamInformation: the unnamed data stream";
    EXPECT_EQ(answer(fid, 1, 35), smb2::Body().u32(0x21).u32(0).data())
        << "FileAttributeTagInformation";

    Bytes net = answer(fid, 1, 34);
    ASSERT_EQ(net.size(), 56u);
    EXPECT_EQ(Bytes(net.begin(), net.begin() + 32), Bytes(basic.begin(), basic.begin() + 32));
    EXPECT_EQ(smb2::get_u64(net, 32), 65536u);
    EXPECT_EQ(smb2::get_u64(net, 40), 100u);
    EXPECT_EQ(smb2::get_u32(net, 48), 0x21u);
    EXPECT_EQ(smb2::get_u32(net, 52), 0u);
}

TEST_F(QueryInfo, FileClassesOfADirectory) {
    qv2_fs_info in = stat_of("sub");
    uint64_t fid = cl_.open(tid_, "sub");
    expect_basic(answer(fid, 1, 4), in, 0x11);
    Bytes std = answer(fid, 1, 5);
    ASSERT_EQ(std.size(), 24u);
    EXPECT_EQ(smb2::get_u32(std, 16), 0u) << "NumberOfLinks";
    EXPECT_EQ(std[20], 0u);
    EXPECT_EQ(std[21], 1u) << "Directory";
    EXPECT_EQ(answer(fid, 1, 7), smb2::Body().u32(0).data());
    EXPECT_EQ(smb2::get_u32(answer(fid, 1, 34), 48), 0x11u);
    EXPECT_EQ(answer(fid, 1, 22), Bytes()) << "a folder has no data stream";
    EXPECT_EQ(answer(fid, 1, 35), smb2::Body().u32(0x11).u32(0).data());
}

// FileNameInformation and FileAllInformation carry the share-relative path
// as Windows servers give it (the Linux client can't mount without it), with
// each component spelled as the host has it; a short buffer cuts the name
// between UTF-16 units and keeps its whole length in FileNameLength.
TEST_F(QueryInfo, NamesAreTheShareRelativePathWithALeadingBackslash) {
    struct Row {
        const char *opened, *name;
    };
    const Row rows[] = {{"", "\\"},
                        {"sub", "\\sub"},
                        {"sub\\inner.txt", "\\sub\\inner.txt"},
                        {"SUB\\INNER.TXT", "\\sub\\inner.txt"},
                        {"in_link", "\\in_link"}};
    for (const Row &r : rows) {
        uint64_t fid = cl_.open(tid_, r.opened);
        Bytes want = smb2::to_utf16(r.name);
        EXPECT_EQ(answer(fid, 1, 9), smb2::Body().u32(uint32_t(want.size())).bytes(want).data())
            << r.opened;
        Bytes all = answer(fid, 1, 18);
        EXPECT_EQ(Bytes(all.begin() + 100, all.end()), want) << r.opened;
    }
    uint64_t fid = cl_.open(tid_, "sub\\inner.txt");
    smb2::Reply cut = query({.fid = fid, .cls = 9, .out_len = 4 + 7});
    EXPECT_EQ(cut.status(), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(smb2::output_buffer(cut), smb2::Body().u32(28).utf16("\\su").data());
    // The fixed part of FileAllInformation and one name unit, 8-byte aligned.
    EXPECT_EQ(query({.fid = fid, .cls = 18, .out_len = 103}).status(), STATUS_INFO_LENGTH_MISMATCH);
    smb2::Reply all = query({.fid = fid, .cls = 18, .out_len = 104});
    EXPECT_EQ(all.status(), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(all.u32(68), 104u);
    EXPECT_EQ(smb2::get_u32(smb2::output_buffer(all), 96), 28u);
}

TEST_F(QueryInfo, AlternateNameOnlyForNamesInTheEightDotThreeForm) {
    docs_.dir.write("longfilename.txt", "x");
    for (const char *name : {"", "longfilename.txt"}) {
        uint64_t fid = cl_.open(tid_, name);
        EXPECT_EQ(query({.fid = fid, .cls = 21}).status(), STATUS_OBJECT_NAME_NOT_FOUND) << name;
    }
    EXPECT_EQ(answer(cl_.open(tid_, "sub\\inner.txt"), 1, 21),
              smb2::Body().u32(18).utf16("INNER.TXT").data());
}

// A security descriptor every object shares (MS-SMB2 3.3.5.20.3): owner
// and group Administrators, a DACL granting Everyone the read rights; only
// the parts asked for; no cut, but BUFFER_TOO_SMALL with the size needed.
TEST_F(QueryInfo, SecurityDescriptorHoldsThePartsAskedFor) {
    const std::string admins = "01020000 00000005 20000000 20020000";        // S-1-5-32-544
    const std::string dacl = "02001c00 01000000"                             // revision 2, one ACE
                             "00001400 a9001200 01010000 00000001 00000000"; // Everyone: 0x1200A9
    struct Row {
        uint32_t parts;
        Bytes want;
    };
    // Revision 1, Control (self-relative, DACL present), the four offsets.
    const Row rows[] = {
        {0x7,
         smb2::from_hex("0100 0480 14000000 24000000 00000000 34000000" + admins + admins + dacl)},
        {0x1, smb2::from_hex("0100 0080 14000000 00000000 00000000 00000000" + admins)},
        {0x4, smb2::from_hex("0100 0480 00000000 00000000 00000000 14000000" + dacl)},
        {0x0, smb2::from_hex("0100 0080 00000000 00000000 00000000 00000000")},
    };
    // MAXIMUM_ALLOWED is granted READ_CONTROL among the read rights.
    smb2::Reply o = cl_.create(tid_, {.name = "hello.txt", .access = smb2::ACCESS_MAXIMUM_ALLOWED});
    ASSERT_EQ(o.status(), STATUS_SUCCESS);
    uint64_t fid = smb2::create_fid(o);
    for (const Row &r : rows) {
        SCOPED_TRACE(r.parts);
        uint32_t n = uint32_t(r.want.size());
        for (uint32_t out_len : {n, n + 100}) {
            smb2::Reply ok =
                query({.fid = fid, .type = 3, .out_len = out_len, .additional = r.parts});
            ASSERT_EQ(ok.status(), STATUS_SUCCESS);
            EXPECT_EQ(smb2::output_buffer(ok), r.want);
        }
        for (uint32_t out_len : {0u, n - 1}) {
            smb2::Reply small =
                query({.fid = fid, .type = 3, .out_len = out_len, .additional = r.parts});
            EXPECT_EQ(small.status(), STATUS_BUFFER_TOO_SMALL) << out_len;
            EXPECT_EQ(smb2::hex(small.body()),
                      smb2::hex(smb2::Body().u16(9).u16(0).u32(4).u32(n).data()))
                << "ErrorData: the size needed";
        }
    }
    // No SACL can be read, and nothing without READ_CONTROL.
    EXPECT_EQ(query({.fid = fid, .type = 3, .additional = 0x8}).status(), STATUS_ACCESS_DENIED);
    uint64_t attrs_only = smb2::create_fid(cl_.create(tid_, {.name = "hello.txt", .access = 0x80}));
    EXPECT_EQ(query({.fid = attrs_only, .type = 3, .additional = 0x4}).status(),
              STATUS_ACCESS_DENIED);
}

TEST_F(QueryInfo, AnswersComeFromTheOpenNotTheHost) {
    uint64_t fid = cl_.open(tid_, "hello.txt");
    docs_.dir.write("hello.txt", std::string(200000, 'g'));
    EXPECT_EQ(smb2::get_u64(answer(fid, 1, 5), 8), 12u);
    ASSERT_EQ(::remove(docs_.dir.join("hello.txt").c_str()), 0);
    EXPECT_EQ(smb2::get_u64(answer(fid, 1, 5), 8), 12u);
}

TEST_F(QueryInfo, OutputLimitOfEveryClass) {
    uint64_t fid = cl_.open(tid_, "hello.txt");
    for (const ClassSize &c : kClasses) {
        SCOPED_TRACE(testing::Message() << int(c.type) << "/" << int(c.cls));
        smb2::Reply whole = query({.fid = fid, .type = c.type, .cls = c.cls, .out_len = 65536});
        ASSERT_EQ(whole.status(), STATUS_SUCCESS);
        // OutputBufferLength 0 holds nothing: no class fits (MS-SMB2 3.3.5.20).
        EXPECT_EQ(query({.fid = fid, .type = c.type, .cls = c.cls, .out_len = 0}).status(),
                  STATUS_INFO_LENGTH_MISMATCH);
        ASSERT_EQ(whole.u32(68), c.size);
        Bytes full = smb2::output_buffer(whole);

        smb2::Reply exact = query({.fid = fid, .type = c.type, .cls = c.cls, .out_len = c.size});
        EXPECT_EQ(exact.status(), STATUS_SUCCESS);
        EXPECT_EQ(smb2::output_buffer(exact), full);

        smb2::Reply short1 =
            query({.fid = fid, .type = c.type, .cls = c.cls, .out_len = c.size - 1});
        if (c.size - 1 >= c.minimum) {
            uint32_t cut = c.name ? c.size - 2 : c.size - 1;
            EXPECT_EQ(short1.status(), STATUS_BUFFER_OVERFLOW);
            EXPECT_EQ(short1.u32(68), cut);
            EXPECT_EQ(smb2::output_buffer(short1), Bytes(full.begin(), full.begin() + cut));
        } else {
            EXPECT_EQ(short1.status(), STATUS_INFO_LENGTH_MISMATCH);
        }

        smb2::Reply at_min =
            query({.fid = fid, .type = c.type, .cls = c.cls, .out_len = c.minimum});
        EXPECT_EQ(at_min.status(), c.minimum < c.size ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS);
        smb2::Reply below =
            query({.fid = fid, .type = c.type, .cls = c.cls, .out_len = c.minimum - 1});
        EXPECT_EQ(below.status(), STATUS_INFO_LENGTH_MISMATCH);
        EXPECT_EQ(below.size(), 64u + 9u) << "the header and the error body";
    }
}

TEST_F(QueryInfo, VolumeLabelIsTheShareNameAndSerialFollowsThePath) {
    uint64_t a = cl_.open(tid_, "hello.txt");
    uint64_t b = cl_.open(tid_, "big.bin");
    Bytes vol = answer(a, 2, 1);
    ASSERT_EQ(vol.size(), 26u);
    EXPECT_EQ(smb2::get_u64(vol, 0), kFiletime1970);
    EXPECT_EQ(smb2::get_u32(vol, 8), serial_of(docs_.dir.join("hello.txt")));
    EXPECT_EQ(smb2::get_u32(vol, 12), 8u);
    EXPECT_EQ(vol[16], 0u);
    EXPECT_EQ(vol[17], 0u);
    EXPECT_EQ(Bytes(vol.begin() + 18, vol.end()), smb2::to_utf16("docs"));
    EXPECT_NE(smb2::get_u32(answer(b, 2, 1), 8), smb2::get_u32(vol, 8));

    // The label is the share name as the client spelled it.
    uint32_t other = cl_.connect("DOCS");
    uint64_t c = cl_.open(other, "hello.txt");
    Bytes spelled = smb2::output_buffer(query({.fid = c, .type = 2, .cls = 1}, other));
    ASSERT_EQ(spelled.size(), 26u);
    EXPECT_EQ(Bytes(spelled.begin() + 18, spelled.end()), smb2::to_utf16("DOCS"));
}

TEST_F(QueryInfo, NonAsciiShareNameMakesAProperUtf16Label) {
    ScopedShare share("Donn\xC3\xA9"
                      "es",
                      docs_.dir.path());
    Bytes path = smb2::to_utf16("\\\\h\\Donn\xC3\xA9"
                                "es");
    Bytes msg =
        smb2::request({.command = SMB2_TREE_CONNECT,
                       .mid = cl_.session().next_mid++,
                       .sid = cl_.session().session_id},
                      smb2::Body().u16(9).u16(0).u16(72).u16(uint16_t(path.size())).bytes(path));
    smb2::Reply t = cl_.send(msg);
    ASSERT_EQ(t.status(), STATUS_SUCCESS);
    uint64_t fid = cl_.open(t.tid(), "hello.txt");
    smb2::Reply r = query({.fid = fid, .type = 2, .cls = 1, .out_len = 65536}, t.tid());
    Bytes vol = smb2::output_buffer(r);
    ASSERT_EQ(vol.size(), 18u + 14);
    EXPECT_EQ(smb2::get_u32(vol, 12), 14u);
    EXPECT_EQ(smb2::from_utf16(vol.data() + 18, 14), "Donn\xC3\xA9"
                                                     "es");
}

TEST_F(QueryInfo, FixedFileSystemAnswers) {
    uint64_t fid = cl_.open(tid_, "");
    EXPECT_EQ(answer(fid, 2, 3), smb2::Body().u64(0).u64(0).u32(1).u32(512).data());
    EXPECT_EQ(answer(fid, 2, 4), smb2::Body().u32(7).u32(2).data());
    // Case-preserved names, Unicode, named streams, a read-only volume; no
    // case-sensitive search, since names match ignoring case.
    EXPECT_EQ(answer(fid, 2, 5), smb2::Body().u32(0x000C0006).u32(255).u32(8).utf16("NTFS").data());
    EXPECT_EQ(answer(fid, 2, 7), smb2::Body().u64(0).u64(0).u64(0).u32(1).u32(512).data());
    EXPECT_EQ(answer(fid, 2, 6), smb2::Body().zeros(24).u64(~0ull).u64(~0ull).u32(0).u32(0).data())
        << "FileFsControlInformation: no quotas";
    EXPECT_EQ(answer(fid, 2, 11),
              smb2::Body().u32(512).u32(512).u32(512).u32(512).u32(3).u32(0).u32(0).data())
        << "FileFsSectorSizeInformation";
    Bytes object_id = answer(fid, 2, 8);
    ASSERT_EQ(object_id.size(), 64u);
    EXPECT_EQ(object_id, answer(cl_.open(tid_, "sub"), 2, 8)) << "one identifier per share";
    EXPECT_EQ(Bytes(object_id.begin() + 16, object_id.end()), Bytes(48, 0)) << "ExtendedInfo";
}

TEST_F(QueryInfo, PipeAnswersFileClassesOnly) {
    uint32_t ipc = cl_.connect("IPC$");
    smb2::Reply p = cl_.create(ipc, {.name = "srvsvc"});
    ASSERT_EQ(p.status(), STATUS_SUCCESS);
    uint64_t pipe = smb2::create_fid(p);

    smb2::Reply std = query({.fid = pipe, .cls = 5}, ipc);
    ASSERT_EQ(std.status(), STATUS_SUCCESS);
    EXPECT_EQ(smb2::output_buffer(std),
              (smb2::Body().u64(0).u64(0).u32(1).u8(0).u8(0).u16(0).data()));
    smb2::Reply basic = query({.fid = pipe, .cls = 4}, ipc);
    EXPECT_EQ(smb2::output_buffer(basic), (smb2::Body()
                                               .u64(kFiletime1970)
                                               .u64(kFiletime1970)
                                               .u64(kFiletime1970)
                                               .u64(kFiletime1970)
                                               .u32(0x21)
                                               .u32(0)
                                               .data()));
    EXPECT_EQ(smb2::output_buffer(query({.fid = pipe, .cls = 6}, ipc)), smb2::Body().u64(0).data());
    for (uint8_t cls : {1, 3, 4, 5, 6, 7, 8, 11})
        EXPECT_EQ(query({.fid = pipe, .type = 2, .cls = cls}, ipc).status(),
                  STATUS_INVALID_INFO_CLASS)
            << int(cls);
}

TEST_F(QueryInfo, Refusals) {
    uint64_t fid = cl_.open(tid_, "hello.txt");
    EXPECT_EQ(query({.fid = 0x999, .type = 3}).status(), STATUS_FILE_CLOSED)
        << "the handle before the type";
    EXPECT_EQ(query({.fid = fid, .type = 4}).status(), STATUS_NOT_SUPPORTED);
    for (uint8_t type : {0, 5, 255})
        EXPECT_EQ(query({.fid = fid, .type = type, .cls = 4}).status(), STATUS_INVALID_INFO_CLASS);
    for (uint8_t cls : {0, 1, 8, 19, 20, 36})
        EXPECT_EQ(query({.fid = fid, .type = 1, .cls = cls}).status(), STATUS_INVALID_INFO_CLASS)
            << int(cls);
    EXPECT_EQ(query({.fid = fid, .type = 1, .cls = 48}).status(), STATUS_NOT_SUPPORTED)
        << "FileNormalizedNameInformation: a 3.1.1 request only";
    for (uint8_t cls : {0, 2, 9, 10, 12})
        EXPECT_EQ(query({.fid = fid, .type = 2, .cls = cls}).status(), STATUS_INVALID_INFO_CLASS)
            << int(cls);

    Bytes msg = smb2::query_info(cl_.header(SMB2_QUERY_INFO, tid_), {.fid = fid, .cls = 4});
    smb2::put_u16(msg, 64, 40);
    EXPECT_EQ(cl_.send(msg).status(), STATUS_INVALID_PARAMETER) << "StructureSize";
    msg = smb2::query_info(cl_.header(SMB2_QUERY_INFO, tid_), {.fid = fid, .cls = 4});
    msg.resize(64 + 36);
    EXPECT_EQ(cl_.send(msg).status(), STATUS_INVALID_PARAMETER) << "short body";
    EXPECT_EQ(cl_.close(tid_, fid).status(), STATUS_SUCCESS);
    EXPECT_EQ(query({.fid = fid, .cls = 4}).status(), STATUS_FILE_CLOSED) << "closed";
}

TEST(QueryInfoEndToEnd, CreateQueryInfoCloseCompoundQueriesTheNewOpen) {
    smb2::ScopedOption guest{"guest", "on"};
    smb2::ScopedOption clock{"clock", "1700000000"};
    DocsShare docs;
    smb2::SimClient sim;
    std::vector<smb2::Reply> r = sim.run({
        smb2::tree_connect(sim.header(SMB2_TREE_CONNECT), "\\\\h\\docs"),
        smb2::compound({smb2::create(sim.header(SMB2_CREATE, 1), {.name = "big.bin"}),
                        smb2::query_info(sim.header(SMB2_QUERY_INFO, 1), {.fid = ~0ull, .cls = 34}),
                        smb2::close(sim.header(SMB2_CLOSE, 1), ~0ull)},
                       true),
    });
    ASSERT_EQ(r.size(), 2u);
    std::vector<smb2::Reply> parts = r[1].parts();
    ASSERT_EQ(parts.size(), 3u);
    ASSERT_EQ(parts[1].status(), STATUS_SUCCESS);
    Bytes net = smb2::output_buffer(parts[1]);
    ASSERT_EQ(net.size(), 56u);
    EXPECT_EQ(smb2::get_u64(net, 32), 131072u);
    EXPECT_EQ(smb2::get_u64(net, 40), 70000u);
    EXPECT_EQ(parts[2].status(), STATUS_SUCCESS);
}
