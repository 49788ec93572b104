// What a successful CREATE answers and keeps: the share root, files,
// folders and the srvsvc pipe, FileIds from the connection's counter, the
// directory options, and the open record the later commands work from.
#include "create_fixture.h"

#include "support/smb2_file_requests.h"

#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "engine/engine.h"
#include "files/qv2_fs.h"
#include "foundation/qv2_util.h"

#include <gtest/gtest.h>

using smb2::Bytes;
using smb2::CreateParams;

namespace {

constexpr uint64_t kFiletime1970 = 0x019DB1DED53E8000ULL;

using CreateOpen = CreateTest;

// The 89-byte body against a stat record.
void expect_body(const smb2::Reply &r, const qv2_fs_info &in, uint32_t attributes) {
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    ASSERT_EQ(r.size(), 64u + 89u) << "no create context in the reply";
    EXPECT_EQ(r.u16(64), 89u);
    EXPECT_EQ(r.u8(66), 0u) << "no oplock";
    EXPECT_EQ(r.u8(67), 0u);
    EXPECT_EQ(r.u32(68), 1u) << "FILE_OPENED";
    EXPECT_EQ(r.u64(72), qv2_filetime(in.crtime));
    EXPECT_EQ(r.u64(80), qv2_filetime(in.atime));
    EXPECT_EQ(r.u64(88), qv2_filetime(in.mtime));
    EXPECT_EQ(r.u64(96), qv2_filetime(in.crtime));
    EXPECT_EQ(r.u64(104), (in.size + 65535) / 65536 * 65536);
    EXPECT_EQ(r.u64(112), in.size);
    EXPECT_EQ(r.u32(120), attributes);
    EXPECT_EQ(r.u32(124), 0u);
    EXPECT_EQ(r.u64(136), 0u) << "volatile half";
    EXPECT_EQ(r.u32(144), 0u);
    EXPECT_EQ(r.u32(148), 0u);
    EXPECT_EQ(r.u8(152), 0u);
}

} // namespace

TEST_F(CreateOpen, EmptyNameOpensTheShareRootAsADirectory) {
    smb2::CounterWatch w;
    smb2::Reply r = creates({{kDocs, {}}})[0];
    expect_body(r, stat_of(""), 0x11);
    EXPECT_EQ(smb2::create_fid(r), 0x31u) << "after two TREE_CONNECTs";
    EXPECT_EQ(w.delta(QV2_ST_OPENS), 1);
    EXPECT_EQ(w.delta(QV2_ST_OPEN_REFUSED), 0);
}

TEST_F(CreateOpen, FileOpenReportsItsStatRecord) {
    smb2::Reply r = creates({{kDocs, {.name = "big.bin"}}})[0];
    expect_body(r, stat_of("big.bin"), 0x21);
    EXPECT_EQ(r.u64(104), 131072u);
    EXPECT_EQ(r.u64(112), 70000u);
}

TEST_F(CreateOpen, CreatesAfterTheOnlyTreeConnectGetFileIds0x21And0x31) {
    std::vector<smb2::Reply> r =
        sim_.run({smb2::tree_connect(sim_.header(SMB2_TREE_CONNECT), "docs"),
                  smb2::create(sim_.header(SMB2_CREATE, kDocs), {.name = "hello.txt"}),
                  smb2::create(sim_.header(SMB2_CREATE, kDocs), {.name = "hello.txt"})});
    EXPECT_EQ(smb2::create_fid(r[1]), 0x21u);
    EXPECT_EQ(smb2::create_fid(r[2]), 0x31u);
    EXPECT_EQ(r[2].u64(136), 0u);
}

TEST_F(CreateOpen, EitherSeparatorReachesTheSameFile) {
    qv2_fs_info inner = stat_of("sub/inner.txt");
    for (const smb2::Reply &r : creates({{kDocs, {.name = "sub\\inner.txt"}},
                                         {kDocs, {.name = "/sub/inner.txt"}},
                                         {kDocs, {.name = "sub\\\\inner.txt\\"}}}))
        expect_body(r, inner, 0x21);
}

// A name starts inside the share: a leading backslash is malformed (MS-SMB2
// 3.3.5.9), found before whatever else the request asks is looked at.
TEST_F(CreateOpen, LeadingBackslashIsInvalidParameterBeforeTheAccessChecks) {
    for (const smb2::Reply &r : creates({{kDocs, {.name = "\\sub\\inner.txt"}},
                                         {kDocs, {.name = "\\hello.txt", .disposition = 2}},
                                         {kIpc, {.name = "\\srvsvc"}}}))
        EXPECT_EQ(r.status(), STATUS_INVALID_PARAMETER);
}

TEST_F(CreateOpen, LinkInsideTheShareOpensItsTarget) {
    expect_body(creates({{kDocs, {.name = "in_link"}}})[0], stat_of("sub/inner.txt"), 0x21);
}

TEST_F(CreateOpen, DirectoryOptionsMustMatchTheObject) {
    const uint32_t dir = smb2::OPT_DIRECTORY_FILE, file = smb2::OPT_NON_DIRECTORY_FILE;
    std::vector<smb2::Reply> r = creates({
        {kDocs, {.name = "hello.txt", .options = dir}},
        {kDocs, {.name = "sub", .options = file}},
        {kDocs, {.name = "hello.txt", .options = dir | file}},
        {kDocs, {.name = "sub", .options = dir | file}},
        {kDocs, {.name = "sub", .options = dir}},
        {kDocs, {.name = "", .options = dir}},
        {kDocs, {.name = "hello.txt", .options = file}},
    });
    EXPECT_EQ(r[0].status(), STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(r[1].status(), STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(r[2].status(), STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(r[3].status(), STATUS_FILE_IS_A_DIRECTORY);
    expect_body(r[4], stat_of("sub"), 0x11);
    expect_body(r[5], stat_of(""), 0x11);
    expect_body(r[6], stat_of("hello.txt"), 0x21);
}

TEST_F(CreateOpen, SrvsvcPipeOpensOnIpcInAnyCase) {
    std::vector<smb2::Reply> r = creates({{kIpc, {.name = "srvsvc"}}, {kIpc, {.name = "SRVSVC"}}});
    for (const smb2::Reply &p : r) {
        ASSERT_EQ(p.status(), STATUS_SUCCESS);
        ASSERT_EQ(p.size(), 153u);
        EXPECT_EQ(p.u32(120), 0x21u);
        EXPECT_EQ(p.u64(104), 7168u);
        EXPECT_EQ(p.u64(112), 7168u);
        for (size_t at : {72, 80, 88, 96})
            EXPECT_EQ(p.u64(at), kFiletime1970) << at;
    }
    EXPECT_EQ(smb2::create_fid(r[0]), 0x31u);
    EXPECT_EQ(smb2::create_fid(r[1]), 0x41u);
}

TEST_F(CreateOpen, FilesOfTheShareAreNotReachableThroughIpc) {
    EXPECT_EQ(creates({{kIpc, {.name = "hello.txt"}}})[0].status(), STATUS_OBJECT_NAME_NOT_FOUND);
}

// Names typed in another case find the entry the host has (the exact name
// first; among several, the first in byte order), without leaving the
// share; "name::$DATA" is the file itself and other stream names are not
// found, unless the host has an object of exactly that name.
TEST(CreateOpenNames, OtherCaseAndTheDataStreamFindTheHostsEntry) {
    smb2::ScopedOption guest("guest", "on");
    DocsShare docs;
    docs.dir.write("Case.txt", "C");
    docs.dir.write("CASE.TXT", "U");
    docs.dir.write("case.txt", "l");
    docs.dir.write("odd:name", "colon");
    smb2::Client cl;
    uint32_t tid = cl.connect("docs");
    struct Row {
        const char *name;
        uint32_t status;
        const char *opened; // FileNameInformation of the open
    };
    const Row rows[] = {
        {"HELLO.TXT", STATUS_SUCCESS, "\\hello.txt"},
        {"Sub\\INNER.txt", STATUS_SUCCESS, "\\sub\\inner.txt"},
        {"case.txt", STATUS_SUCCESS, "\\case.txt"},
        {"Case.txt", STATUS_SUCCESS, "\\Case.txt"},
        {"cASE.txt", STATUS_SUCCESS, "\\CASE.TXT"}, // "CASE.TXT" < "Case.txt" < "case.txt"
        {"hello.txt::$DATA", STATUS_SUCCESS, "\\hello.txt"},
        {"HELLO.txt::$data", STATUS_SUCCESS, "\\hello.txt"},
        {"sub\\inner.txt::$DATA", STATUS_SUCCESS, "\\sub\\inner.txt"},
        {"odd:name", STATUS_SUCCESS, "\\odd:name"},
        {"hello.txt:extra", STATUS_OBJECT_NAME_NOT_FOUND, nullptr},
        {"hello.txt:extra:$DATA", STATUS_OBJECT_NAME_NOT_FOUND, nullptr},
        {"sub::$DATA", STATUS_OBJECT_NAME_NOT_FOUND, nullptr}, // folders have no data stream
        {"nope.txt::$DATA", STATUS_OBJECT_NAME_NOT_FOUND, nullptr},
        {"nope\\a.txt::$DATA", STATUS_OBJECT_PATH_NOT_FOUND, nullptr},
        {"OUT", STATUS_OBJECT_NAME_NOT_FOUND, nullptr}, // the link out, found ignoring case
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        smb2::Reply o = cl.create(tid, {.name = r.name});
        ASSERT_EQ(o.status(), r.status);
        if (!r.opened) continue;
        smb2::Reply q = cl.send(smb2::query_info(cl.header(SMB2_QUERY_INFO, tid),
                                                 {.fid = smb2::create_fid(o), .cls = 9}));
        Bytes name = smb2::to_utf16(r.opened);
        EXPECT_EQ(smb2::output_buffer(q),
                  smb2::Body().u32(uint32_t(name.size())).bytes(name).data());
    }
}

TEST(CreateOpenSingleFileShare, EmptyNameOpensTheFileAndNothingLiesBelowIt) {
    smb2::ScopedOption guest("guest", "on");
    TempDir dir;
    std::string path = dir.write("one.txt", "just this");
    ScopedShare share("onefile", path);
    smb2::Client cl;
    uint32_t tid = cl.connect("onefile");
    qv2_fs_info in{};
    ASSERT_EQ(qv2_fs_stat(path.c_str(), &in), 0);
    expect_body(cl.create(tid, {}), in, 0x21);
    EXPECT_EQ(cl.create(tid, {.name = "x"}).status(), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(cl.create(tid, {.options = smb2::OPT_DIRECTORY_FILE}).status(),
              STATUS_NOT_A_DIRECTORY);
}

TEST(CreateOpenRemovedShare, RootIsObjectNotFoundAndOtherNamesPathNotFound) {
    smb2::ScopedOption guest("guest", "on");
    TempDir dir;
    dir.write("a.txt", "a");
    ASSERT_EQ(dirir2i_add_share("fleeting", dir.path().c_str()), 0);
    smb2::Client cl;
    uint32_t tid = cl.connect("fleeting");
    uint64_t fid = cl.open(tid, "a.txt");
    ASSERT_EQ(dirir2i_remove_share("fleeting"), 0);
    smb2::CounterWatch w;
    EXPECT_EQ(cl.create(tid, {}).status(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(cl.create(tid, {.name = "a.txt"}).status(), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(w.delta(QV2_ST_OPEN_REFUSED), 2);
    EXPECT_EQ(cl.close(tid, fid).status(), STATUS_SUCCESS) << "an open handle outlives its share";
}

// What QUERY_DIRECTORY, READ, QUERY_INFO and IOCTL later rely on.
TEST(CreateOpenRecord, HoldsTheObjectAsItWasAtOpen) {
    smb2::ScopedOption guest("guest", "on");
    DocsShare docs;
    smb2::Client cl;
    uint32_t docs_tid = cl.connect("DOCS");
    uint32_t ipc_tid = cl.connect("ipc$");
    qv2_conn &c = cl.conn();

    uint64_t dir_fid = cl.open(docs_tid, "sub");
    uint64_t file_fid = cl.open(docs_tid, "in_link");
    uint64_t pipe_fid = cl.open(ipc_tid, "srvsvc");
    EXPECT_EQ(c.open_count, 3);
    EXPECT_EQ(c.last_create_fid, pipe_fid);

    qv2_open *d = smb2::any_open(c, dir_fid);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->in_use, 1);
    EXPECT_EQ(d->is_dir, 1);
    EXPECT_EQ(d->is_pipe, 0);
    EXPECT_EQ(std::string(d->host), docs.dir.join("sub"));
    EXPECT_STREQ(d->share_name, "DOCS");
    EXPECT_STREQ(d->share.name, "docs");
    EXPECT_EQ(std::string(d->share.path), docs.dir.path());
    EXPECT_EQ(d->has_listing, 0);

    qv2_open *f = smb2::any_open(c, file_fid);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->is_dir, 0);
    EXPECT_EQ(std::string(f->host), docs.dir.join("sub/inner.txt")) << "the canonical path";
    EXPECT_EQ(f->info.size, 5u);

    qv2_open *p = smb2::any_open(c, pipe_fid);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->is_pipe, 1);
    EXPECT_STREQ(p->host, "");
    EXPECT_STREQ(p->share_name, "IPC$");
    EXPECT_EQ(p->info.size, 0u);
    EXPECT_EQ(p->info.kind, 0);
}

TEST(CreateOpenRecord, TreeDisconnectLeavesOpensUsable) {
    smb2::ScopedOption guest("guest", "on");
    DocsShare docs;
    smb2::Client cl;
    uint32_t tid = cl.connect("docs");
    uint64_t fid = cl.open(tid, "hello.txt");
    ASSERT_EQ(cl.send(smb2::tree_disconnect(cl.header(SMB2_TREE_DISCONNECT, tid))).status(),
              STATUS_SUCCESS);
    ASSERT_NE(smb2::any_open(cl.conn(), fid), nullptr);
    EXPECT_EQ(cl.close(0, fid).status(), STATUS_SUCCESS);
}
