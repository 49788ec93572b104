// CREATE's create contexts: the ones answered ("QFid", "MxAc"), the ones
// ignored, malformed context areas that must not undo the open, and CREATE
// inside a related compound handing its FileId to the commands after it.
#include "create_fixture.h"

#include "config/qv2_cfg.h"
#include "engine/qv2_engine_types.h"
#include "files/qv2_fs.h"

#include <gtest/gtest.h>

#include <map>

using smb2::Bytes;
using smb2::CreateParams;
using smb2::Header;

namespace {

class CreateContexts : public CreateTest {
  protected:
    // One CREATE of hello.txt, its request edited.
    smb2::Reply create_edited(const Bytes &contexts, void (*edit)(Bytes &) = nullptr) {
        return creates({{kDocs, {.name = "hello.txt", .contexts = contexts}}}, edit)[0];
    }
    uint64_t hello_ino() { return stat_of("hello.txt").ino; }
};

// The contexts take the place of the response's Buffer, right after its 88
// fixed bytes, as Windows servers put them (Samba's client refuses them
// anywhere else).
constexpr size_t kCtxAt = 64 + 88;

Bytes maximal_access_and_qfid() {
    return smb2::create_contexts({{"MxAc", {}}, {"QFid", {}}});
}

// A context the server ignores (a durable handle request), then "QFid".
Bytes ignored_then_qfid() {
    return smb2::create_contexts({{"DHnQ", Bytes(16, 0)}, {"QFid", {}}});
}

// The answered contexts of a CREATE reply by name, each checked to be laid
// out as MS-SMB2 2.2.14.2 has it: 8-byte aligned and linked by Next, the
// 4-byte name at 16, the data at 24.
std::map<std::string, Bytes> answered(const smb2::Reply &r) {
    std::map<std::string, Bytes> out;
    uint32_t at = r.u32(144), len = r.u32(148);
    if (at == 0) return out;
    EXPECT_EQ(at, kCtxAt);
    EXPECT_EQ(r.size(), size_t(at) + len);
    for (uint32_t pos = at;;) {
        EXPECT_EQ(pos % 8, 0u);
        EXPECT_EQ(r.u16(pos + 4), 16u) << "NameOffset";
        EXPECT_EQ(r.u16(pos + 6), 4u) << "NameLength";
        EXPECT_EQ(r.u16(pos + 10), 24u) << "DataOffset";
        uint32_t data_len = r.u32(pos + 12);
        std::string name(r.bytes().begin() + pos + 16, r.bytes().begin() + pos + 20);
        out[name] = Bytes(r.bytes().begin() + pos + 24, r.bytes().begin() + pos + 24 + data_len);
        uint32_t next = r.u32(pos);
        if (next == 0) {
            EXPECT_EQ(pos + 24 + data_len, at + len) << "the last context ends the reply";
            break;
        }
        pos += next;
    }
    return out;
}

void expect_qfid_answer(const smb2::Reply &r, uint64_t disk_file_id) {
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    ASSERT_EQ(r.size(), kCtxAt + 56);
    EXPECT_EQ(r.u32(144), kCtxAt) << "CreateContextsOffset";
    EXPECT_EQ(r.u32(148), 56u) << "CreateContextsLength";
    EXPECT_EQ(r.u32(kCtxAt), 0u) << "Next";
    EXPECT_EQ(r.u16(kCtxAt + 4), 16u);
    EXPECT_EQ(r.u16(kCtxAt + 6), 4u);
    EXPECT_EQ(r.u16(kCtxAt + 8), 0u);
    EXPECT_EQ(r.u16(kCtxAt + 10), 24u);
    EXPECT_EQ(r.u32(kCtxAt + 12), 32u);
    EXPECT_EQ(Bytes(r.bytes().begin() + kCtxAt + 16, r.bytes().begin() + kCtxAt + 20),
              (Bytes{'Q', 'F', 'i', 'd'}));
    EXPECT_EQ(r.u32(kCtxAt + 20), 0u);
    EXPECT_EQ(r.u64(kCtxAt + 24), disk_file_id);
    for (size_t i = kCtxAt + 32; i < kCtxAt + 56; i++)
        EXPECT_EQ(r.u8(i), 0u) << "VolumeId/Reserved at " << i;
}

void expect_plain_open(const smb2::Reply &r) {
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.size(), 153u);
    EXPECT_EQ(r.u32(144), 0u);
    EXPECT_EQ(r.u32(148), 0u);
}

} // namespace

TEST_F(CreateContexts, QfidAfterAnotherContextIsAnsweredRightAfterTheFixedBody) {
    expect_qfid_answer(create_edited(ignored_then_qfid()), hello_ino());
}

// MxAc tells clients (macOS Finder, Windows Explorer) what they may do,
// so that they don't offer to rename or delete.
TEST_F(CreateContexts, MaximalAccessIsTheReadRightsAnsweredBesideQfid) {
    smb2::Reply r = create_edited(maximal_access_and_qfid());
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    std::map<std::string, Bytes> ctx = answered(r);
    ASSERT_EQ(ctx.size(), 2u);
    EXPECT_EQ(ctx["MxAc"], smb2::Body().u32(0).u32(0x001200A9).data())
        << "QueryStatus, MaximalAccess";
    EXPECT_EQ(ctx["QFid"], smb2::Body().u64(hello_ino()).zeros(24).data());
    // A timestamp in the request changes nothing.
    smb2::Reply alone = create_edited(smb2::create_contexts({{"MxAc", Bytes(8, 0x11)}}));
    EXPECT_EQ(answered(alone), (std::map<std::string, Bytes>{{"MxAc", ctx["MxAc"]}}));
}

TEST_F(CreateContexts, QfidAloneIsAnsweredToo) {
    expect_qfid_answer(create_edited(smb2::create_contexts({{"QFid", {}}})), hello_ino());
}

TEST_F(CreateContexts, OtherContextsAreIgnored) {
    Bytes durable(16, 0), lease(32, 0);
    expect_plain_open(create_edited(smb2::create_contexts({{"DHnQ", durable}, {"RqLs", lease}})));
}

// A NameOffset at or beyond CreateContextsOffset counts from the SMB2 header.
TEST_F(CreateContexts, NameOffsetCountedFromTheHeaderIsUnderstood) {
    Bytes area = smb2::create_contexts({{"QFid", {}}});
    smb2::Reply r = create_edited(area, [](Bytes &req) {
        uint32_t ctx_off = smb2::get_u32(req, 112);
        smb2::put_u16(req, ctx_off + 4, uint16_t(ctx_off + 16)); // the name, from the header
    });
    expect_qfid_answer(r, hello_ino());
}

TEST_F(CreateContexts, MalformedContextAreasLeaveTheOpenStanding) {
    using Edit = void (*)(Bytes &);
    const Edit edits[] = {
        [](Bytes &r) { smb2::put_u32(r, 112, 0); },                         // offset 0
        [](Bytes &r) { smb2::put_u32(r, 116, 15); },                        // shorter than a header
        [](Bytes &r) { smb2::put_u32(r, 112, 40); },                        // inside the header
        [](Bytes &r) { smb2::put_u32(r, 116, smb2::get_u32(r, 116) + 8); }, // past the message
        [](Bytes &r) { // a name that lies past the area
            uint32_t at = smb2::get_u32(r, 112);
            smb2::put_u16(r, at + smb2::get_u32(r, at) + 4, 250);
        },
        [](Bytes &r) { // Next past the area: the walk ends before QFid
            uint32_t at = smb2::get_u32(r, 112);
            smb2::put_u32(r, at, 0x10000);
        },
        [](Bytes &r) { // NameLength other than 4
            uint32_t at = smb2::get_u32(r, 112);
            smb2::put_u16(r, at + smb2::get_u32(r, at) + 6, 5);
        },
    };
    smb2::CounterWatch w;
    for (size_t i = 0; i < std::size(edits); i++)
        expect_plain_open(create_edited(ignored_then_qfid(), edits[i]));
    // The area declared one name short: "QFid" follows in the message but
    // lies outside the area, so it does not count.
    expect_plain_open(create_edited(smb2::create_contexts({{"QFid", {}}}),
                                    [](Bytes &r) { smb2::put_u32(r, 116, 16); }));
    EXPECT_EQ(w.delta(QV2_ST_OPENS), long(std::size(edits)) + 1);
    EXPECT_EQ(w.delta(QV2_ST_OPEN_REFUSED), 0);
}

TEST_F(CreateContexts, PipeAnswersWithItsFileIdAsDiskFileIdAndReadWriteAccess) {
    std::vector<smb2::Reply> r = sim_.run(
        {smb2::tree_connect(sim_.header(SMB2_TREE_CONNECT), "IPC$"),
         smb2::create(sim_.header(SMB2_CREATE, 1),
                      {.name = "srvsvc", .contexts = smb2::create_contexts({{"QFid", {}}})}),
         smb2::create(sim_.header(SMB2_CREATE, 1),
                      {.name = "srvsvc", .contexts = maximal_access_and_qfid()})});
    expect_qfid_answer(r[1], 0x21);
    EXPECT_EQ(answered(r[2])["MxAc"], smb2::Body().u32(0).u32(0x001201BF).data())
        << "the read and the write rights";
}

TEST_F(CreateContexts, RelatedCommandsAfterACreateUseItsFileId) {
    Bytes create = smb2::create(sim_.header(SMB2_CREATE, kDocs),
                                {.name = "hello.txt", .contexts = ignored_then_qfid()});
    Bytes close1 = smb2::close(sim_.header(SMB2_CLOSE, 0xFFFFFFFF), ~0ULL, ~0ULL);
    Bytes close2 = smb2::close(sim_.header(SMB2_CLOSE, 0xFFFFFFFF), ~0ULL, ~0ULL);
    smb2::put_u64(close1, 40, ~0ULL);
    smb2::put_u64(close2, 40, ~0ULL);
    std::vector<smb2::Reply> r =
        sim_.run({smb2::tree_connect(sim_.header(SMB2_TREE_CONNECT), "docs"),
                  smb2::compound({create, close1, close2}, true)});
    std::vector<smb2::Reply> parts = r[1].parts();
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].status(), STATUS_SUCCESS);
    EXPECT_EQ(parts[0].next_command(), kCtxAt + 56) << "the QFid answer is part of the CREATE reply";
    EXPECT_EQ(parts[0].u32(144), kCtxAt);
    EXPECT_EQ(parts[1].status(), STATUS_SUCCESS) << "closes the open the CREATE made";
    EXPECT_EQ(parts[1].u64(112 + 4), 12u) << "EndOfFile of hello.txt";
    EXPECT_EQ(parts[2].status(), STATUS_FILE_CLOSED) << "that open is closed now";
}

TEST_F(CreateContexts, FailedCreateInACompoundFailsItsRelatedCloseAsFileClosed) {
    Bytes first = smb2::echo(sim_.session().next_mid++);
    Bytes create = smb2::create(sim_.header(SMB2_CREATE, kDocs), {.name = "nope.txt"});
    Bytes close = smb2::close(sim_.header(SMB2_CLOSE, kDocs), ~0ULL, ~0ULL);
    std::vector<smb2::Reply> r =
        sim_.run({smb2::tree_connect(sim_.header(SMB2_TREE_CONNECT), "docs"),
                  smb2::compound({first, create, close}, true)});
    std::vector<smb2::Reply> parts = r[1].parts();
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[1].status(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(parts[1].next_command(), 80u) << "the 9-byte error body, not the 88-byte one, inside a compound";
    EXPECT_EQ(parts[2].status(), STATUS_FILE_CLOSED) << "the handle never came to be";
}

TEST(CreateTrace, NamesTheRequestTheNewFileIdAndTheContextWalk) {
    smb2::ScopedOption guest("guest", "on");
    DocsShare docs;
    smb2::Client cl;
    uint32_t tid = cl.connect("docs");
    smb2::ScopedTraceLevel traced(2);
    testing::internal::CaptureStderr();
    smb2::Reply ok = cl.create(tid, {.name = "hello.txt", .contexts = maximal_access_and_qfid()});
    smb2::Reply refused = cl.create(tid, {.name = "hello.txt", .disposition = 2});
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(ok.status(), STATUS_SUCCESS);
    ASSERT_EQ(refused.status(), STATUS_ACCESS_DENIED);
    for (const char *line : {
             "[create] access=00120089 opts=00000000 disp=1 name_off=120 name_len=18\n",
             "[create-new] fid=21\n",
             "[qfid] walk done has=3 cctx_n=44 ctx_body=80\n",
             "[qfid-out] ctx_at=152 bn=240\n",
             "[create] access=00120089 opts=00000000 disp=2 name_off=120 name_len=18\n",
         })
        EXPECT_NE(err.find(line), std::string::npos) << line << "in:\n" << err;
    EXPECT_NE(err.find("[dirir2i 0] CREATE_ERR line="), std::string::npos);
    EXPECT_NE(err.find(" status=c0000022\n"), std::string::npos);
}
