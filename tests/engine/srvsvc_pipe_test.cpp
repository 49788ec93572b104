// DCE/RPC through FSCTL_PIPE_TRANSCEIVE on the srvsvc pipe, end to end
// through the simulation: the BIND_ACKs, the share list, the FAULT, and the
// PDUs that get an empty answer.
#include "support/smb2_client.h"
#include "support/smb2_ioctl.h"
#include "support/builders/tempdir.h"

#include "files/scoped_share.h"

#include "config/qv2_cfg_types.h"
#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

namespace {

// On a fresh simulated connection the IPC$ tree is 1 and the pipe 0x21.
constexpr uint32_t kIpcTree = 1;
constexpr uint64_t kPipe = 0x21;

class SrvsvcPipe : public ::testing::Test {
  protected:
    // Connects IPC$, opens srvsvc, then sends each input through the pipe.
    // Returns the IOCTL replies.
    std::vector<smb2::Reply> transceive(const std::vector<smb2::IoctlParams> &calls) {
        std::vector<smb2::Bytes> msgs = {
            smb2::tree_connect(sim.header(SMB2_TREE_CONNECT), "\\\\127.0.0.1\\IPC$"),
            smb2::create(sim.header(SMB2_CREATE, kIpcTree), {.name = "srvsvc"}),
        };
        for (const smb2::IoctlParams &p : calls)
            msgs.push_back(smb2::ioctl(sim.header(SMB2_IOCTL, kIpcTree), p));
        std::vector<smb2::Reply> r = sim.run(msgs);
        EXPECT_EQ(r[0].status(), STATUS_SUCCESS) << "TREE_CONNECT IPC$";
        EXPECT_EQ(smb2::create_fid(r[1]), kPipe) << "CREATE srvsvc";
        return std::vector<smb2::Reply>(r.begin() + 2, r.end());
    }
    smb2::Reply transceive(const smb2::Bytes &input) {
        return transceive(std::vector<smb2::IoctlParams>{{.fid = kPipe, .input = input}})[0];
    }

    smb2::ScopedOption clock{"clock", "1700000000"};
    smb2::SimClient sim;
};

// BIND_ACK results, one per answered context.
const char *const kAccept = "0000 0000 045d888aeb1cc9119fe808002b104860 02000000";
const char *const kFeatures = "0300 0300 0000000000000000000000000000000000000000";
const char *const kNoSyntax = "0200 0200 0000000000000000000000000000000000000000";

smb2::Bytes bind_ack(uint32_t call_id, const std::vector<const char *> &results) {
    smb2::Bytes b = smb2::from_hex("05000c0310000000 0000 0000 00000000"
                                   "b810b810 796f0000 0d00 5c706970655c73727673766300 00"
                                   "00000000");
    b[40] = uint8_t(results.size());
    for (const char *r : results) {
        smb2::Bytes one = smb2::from_hex(r);
        b.insert(b.end(), one.begin(), one.end());
    }
    smb2::put_u16(b, 8, uint16_t(b.size()));
    smb2::put_u32(b, 12, call_id);
    return b;
}

// The answer to the usual two-context BIND, whatever its contexts hold.
smb2::Bytes fixed_bind_ack(uint32_t call_id) {
    return bind_ack(call_id, {kAccept, kFeatures});
}

smb2::RpcContext features_context(uint16_t id) {
    return {.id = id, .transfer = {{smb2::BIND_TIME_FEATURES_UUID, 1}}};
}

void expect_transceive_reply(const smb2::Reply &r) {
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.u16(64), 49u);
    EXPECT_EQ(smb2::ioctl_ctl(r), smb2::FSCTL_PIPE_TRANSCEIVE);
    EXPECT_EQ(smb2::ioctl_fid(r), kPipe);
    EXPECT_EQ(r.u32(88), 0u) << "InputOffset";
    EXPECT_EQ(r.u32(92), 0u) << "InputCount";
    EXPECT_EQ(smb2::ioctl_output_offset(r), 112u);
}

TEST_F(SrvsvcPipe, TwoContextAndShortBindsGetTheFixedBindAckUnderTheirCallIds) {
    smb2::Bytes usual = smb2::rpc_bind(7, {smb2::RpcContext{}, features_context(1)});
    ASSERT_EQ(usual.size(), 116u);
    smb2::Bytes header_only(usual.begin(), usual.begin() + 16);
    smb2::put_u16(header_only, 8, 16);
    smb2::put_u32(header_only, 12, 9);
    // Two contexts of another interface, the first without NDR: not examined.
    smb2::Bytes other = smb2::rpc_bind(
        11, {{.id = 0, .abstract_uuid = smb2::LSARPC_UUID, .transfer = {{smb2::NDR64_UUID, 1}}},
             {.id = 1, .abstract_uuid = smb2::LSARPC_UUID}});
    // One context announced, its transfer syntax cut off.
    smb2::Bytes cut = smb2::rpc_bind_srvsvc(13);
    cut.resize(60);

    std::vector<smb2::Reply> r = transceive({{.fid = kPipe, .fid_volatile = 5, .input = usual},
                                             {.fid = kPipe, .input = header_only},
                                             {.fid = kPipe, .input = other},
                                             {.fid = kPipe, .input = cut}});
    const uint32_t call_ids[] = {7, 9, 11, 13};
    for (size_t i = 0; i < r.size(); i++) {
        SCOPED_TRACE(i);
        expect_transceive_reply(r[i]);
        EXPECT_EQ(smb2::ioctl_output(r[i]), fixed_bind_ack(call_ids[i]));
    }
    EXPECT_EQ(smb2::ioctl_fid_volatile(r[0]), 5u) << "the volatile FileId is echoed";
    EXPECT_EQ(smb2::rpc_header(smb2::ioctl_output(r[0])).frag_length, 92u);
}

TEST_F(SrvsvcPipe, OtherBindsGetOneResultPerContext) {
    smb2::Bytes one = smb2::rpc_bind_srvsvc(21);
    ASSERT_EQ(one.size(), 72u);
    smb2::Bytes other_interface =
        smb2::rpc_bind(22, {{.abstract_uuid = smb2::LSARPC_UUID, .abstract_major = 0}});
    smb2::Bytes ndr64_only = smb2::rpc_bind(23, {{.transfer = {{smb2::NDR64_UUID, 1}}}});
    smb2::Bytes three = smb2::rpc_bind(
        24,
        {smb2::RpcContext{}, {.id = 1, .transfer = {{smb2::NDR64_UUID, 1}}}, features_context(2)});
    // NDR offered second, after a syntax the server does not speak.
    smb2::Bytes ndr_second =
        smb2::rpc_bind(25, {{.transfer = {{smb2::NDR64_UUID, 1}, {smb2::NDR_UUID, 2}}}});

    std::vector<smb2::Reply> r = transceive({{.fid = kPipe, .input = one},
                                             {.fid = kPipe, .input = other_interface},
                                             {.fid = kPipe, .input = ndr64_only},
                                             {.fid = kPipe, .input = three},
                                             {.fid = kPipe, .input = ndr_second}});
    ASSERT_EQ(r.size(), 5u);
    for (const smb2::Reply &reply : r)
        expect_transceive_reply(reply);
    EXPECT_EQ(smb2::ioctl_output(r[0]), bind_ack(21, {kAccept}));
    EXPECT_EQ(smb2::rpc_header(smb2::ioctl_output(r[0])).frag_length, 68u);
    EXPECT_EQ(smb2::ioctl_output(r[1]), bind_ack(22, {kAccept}));
    EXPECT_EQ(smb2::ioctl_output(r[2]), bind_ack(23, {kNoSyntax}));
    EXPECT_EQ(smb2::ioctl_output(r[3]), bind_ack(24, {kAccept, kNoSyntax, kFeatures}));
    EXPECT_EQ(smb2::ioctl_output(r[4]), bind_ack(25, {kAccept}));
}

TEST_F(SrvsvcPipe, ShareEnumWithoutBindListsIpcFirstThenSharesByName) {
    TempDir docs, music;
    ScopedShare s1("Music", music.path()), s2("docs", docs.path());
    smb2::CounterWatch w;

    smb2::Reply r = transceive(smb2::rpc_request(42, 15, smb2::netr_share_enum_stub()));
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    smb2::Bytes pdu = smb2::ioctl_output(r);
    smb2::RpcHeader h = smb2::rpc_header(pdu);
    EXPECT_EQ(h.version, 5u);
    EXPECT_EQ(h.minor, 0u);
    EXPECT_EQ(h.ptype, 2u) << "RESPONSE";
    EXPECT_EQ(h.flags, 0x03u);
    EXPECT_EQ(h.drep, 0x10u);
    EXPECT_EQ(h.frag_length, pdu.size());
    EXPECT_EQ(h.auth_length, 0u);
    EXPECT_EQ(h.call_id, 42u);
    ASSERT_GE(pdu.size(), 24u);
    EXPECT_EQ(smb2::get_u32(pdu, 16), 0u) << "alloc_hint";
    EXPECT_EQ(smb2::get_u32(pdu, 20), 0u) << "p_cont_id, cancel_count, reserved";

    smb2::Bytes stub = smb2::rpc_stub(pdu);
    smb2::ShareEnum e = smb2::decode_share_enum(stub);
    ASSERT_TRUE(e.ok) << e.error;
    EXPECT_EQ(e.consumed, stub.size()) << "nothing follows the return value";
    EXPECT_EQ(e.level, 1u);
    EXPECT_EQ(e.discriminant, 1u);
    EXPECT_EQ(e.entries_read, 3u);
    EXPECT_EQ(e.buffer_referent, 0x00020000u);
    EXPECT_EQ(e.max_count, 3u);
    EXPECT_EQ(e.total_entries, 3u);
    EXPECT_EQ(e.resume_referent, 0u);
    EXPECT_EQ(e.result, 0u);
    EXPECT_TRUE(e.strings_padded);
    ASSERT_EQ(e.entries.size(), 3u);
    const char *names[] = {"IPC$", "docs", "Music"};
    for (uint32_t i = 0; i < 3; i++) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(e.entries[i].name, smb2::u16(names[i]));
        EXPECT_EQ(e.entries[i].type, i == 0 ? 3u : 0u);
        EXPECT_EQ(e.entries[i].remark, smb2::u16(i == 0 ? "IPC share" : "read-only share"));
        EXPECT_EQ(e.entries[i].name_referent, 0x00022000u + 4 * i);
        EXPECT_EQ(e.entries[i].remark_referent, 0x00024000u + 4 * i);
        EXPECT_NE(e.container_referent, e.entries[i].name_referent);
        EXPECT_NE(e.container_referent, e.entries[i].remark_referent);
    }
    EXPECT_NE(e.container_referent, 0u);
    EXPECT_NE(e.container_referent, e.buffer_referent);
    EXPECT_EQ(w.delta(QV2_ST_SRVSVC_QUERIES), 1);
}

TEST_F(SrvsvcPipe, BindThenShareEnumOnTheSameHandle) {
    std::vector<smb2::Reply> r = transceive(
        {{.fid = kPipe, .input = smb2::rpc_bind_srvsvc(1)},
         {.fid = kPipe, .input = smb2::rpc_request(2, 15, smb2::netr_share_enum_stub())}});
    EXPECT_EQ(smb2::rpc_header(smb2::ioctl_output(r[0])).ptype, 12u);
    smb2::ShareEnum e = smb2::decode_share_enum(smb2::rpc_stub(smb2::ioctl_output(r[1])));
    ASSERT_TRUE(e.ok) << e.error;
    ASSERT_GE(e.entries.size(), 1u);
    EXPECT_EQ(e.entries[0].name, smb2::u16("IPC$"));
}

TEST_F(SrvsvcPipe, OtherOpnumGetsOperationRangeFault) {
    smb2::CounterWatch w;
    smb2::Reply r = transceive(smb2::rpc_request(3, 16, smb2::Bytes(8, 0)));
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(smb2::ioctl_output(r), smb2::from_hex("05000303 10000000 2000 0000 03000000"
                                                    "00000000 0000 00 00 0300011c 00000000"));
    EXPECT_EQ(w.delta(QV2_ST_SRVSVC_QUERIES), 0);
}

TEST_F(SrvsvcPipe, MalformedPdusSucceedWithEmptyOutput) {
    smb2::Bytes bind = smb2::rpc_bind_srvsvc(1);
    smb2::Bytes fifteen(bind.begin(), bind.begin() + 15);
    smb2::Bytes type14 = bind;
    type14[2] = 14; // alter_context_resp: never sent by a client
    // A REQUEST that ends before the first 4 bytes of its stub.
    smb2::Bytes request = smb2::rpc_request(4, 15, smb2::netr_share_enum_stub());
    smb2::Bytes short_request(request.begin(), request.begin() + 27);
    smb2::CounterWatch w;

    std::vector<smb2::Reply> r = transceive({{.fid = kPipe, .input = fifteen},
                                             {.fid = kPipe, .input = type14},
                                             {.fid = kPipe, .input = short_request},
                                             {.fid = kPipe, .input = {}}});
    for (size_t i = 0; i < r.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(r[i].status(), STATUS_SUCCESS);
        EXPECT_EQ(smb2::ioctl_output_count(r[i]), 0u);
        EXPECT_EQ(r[i].size(), 64u + 48u) << "the fixed response fields alone";
    }
    EXPECT_EQ(w.delta(QV2_ST_IOCTL_REFUSED), 0);
    EXPECT_EQ(w.delta(QV2_ST_SRVSVC_QUERIES), 0);
}

TEST_F(SrvsvcPipe, InputIsTakenFromInputOffsetNotFromTheEndOfTheFixedFields) {
    // A client may leave a gap before its input; only InputOffset says where.
    smb2::Bytes input(8, 0xEE);
    smb2::Bytes bind = smb2::rpc_bind_srvsvc(77);
    input.insert(input.end(), bind.begin(), bind.end());
    smb2::Reply r = transceive(std::vector<smb2::IoctlParams>{
        {.fid = kPipe, .input = input, .input_offset = 128, .input_count = 72}})[0];
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(smb2::ioctl_output(r), bind_ack(77, {kAccept}));
}

TEST_F(SrvsvcPipe, RelatedTransceiveAfterCreateUsesTheNewPipe) {
    smb2::Bytes create = smb2::create(sim.header(SMB2_CREATE, kIpcTree), {.name = "srvsvc"});
    smb2::Bytes bind =
        smb2::ioctl(sim.header(SMB2_IOCTL, kIpcTree), {.fid = smb2::FID_NONE,
                                                       .fid_volatile = smb2::FID_NONE,
                                                       .input = smb2::rpc_bind_srvsvc(31)});
    std::vector<smb2::Reply> r =
        sim.run({smb2::tree_connect(sim.header(SMB2_TREE_CONNECT), "\\\\127.0.0.1\\IPC$"),
                 smb2::compound({create, bind}, /*related=*/true)});
    std::vector<smb2::Reply> parts = r[1].parts();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(smb2::create_fid(parts[0]), kPipe);
    ASSERT_EQ(parts[1].status(), STATUS_SUCCESS);
    EXPECT_EQ(smb2::ioctl_fid(parts[1]), kPipe);
    EXPECT_EQ(smb2::rpc_header(smb2::ioctl_output(parts[1])).ptype, 12u) << "BIND_ACK";
    EXPECT_EQ(smb2::rpc_header(smb2::ioctl_output(parts[1])).call_id, 31u);
}

} // namespace
