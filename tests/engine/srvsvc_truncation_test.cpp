// The pipe's RPC server on every truncation of the PDUs it understands: it
// answers within the bytes it was given (run under the sanitizers, each
// input sits in a heap block of exactly its size) and every answer is one
// whole PDU.
#include "support/smb2_ioctl.h"

#include "engine/engine.h"

#include <gtest/gtest.h>

namespace {

smb2::Bytes transceive(const smb2::Bytes &in) {
    qv2_buf out{};
    srvsvc_transceive("", 0, in.data(), in.size(), &out);
    EXPECT_FALSE(out.failed);
    smb2::Bytes pdu(out.data, out.data + out.len);
    qv2_buf_free(&out);
    return pdu;
}

TEST(SrvsvcTruncation, EveryPrefixOfABindOrRequestGetsNothingOrOneWholePdu) {
    smb2::Bytes three =
        smb2::rpc_bind(1, {smb2::RpcContext{},
                           {.id = 1, .transfer = {{smb2::NDR64_UUID, 1}, {smb2::NDR_UUID, 2}}},
                           {.id = 2, .transfer = {{smb2::BIND_TIME_FEATURES_UUID, 1}}}});
    smb2::Bytes request = smb2::rpc_request(2, 15, smb2::netr_share_enum_stub());
    smb2::Bytes fault = smb2::rpc_request(3, 16, smb2::Bytes(4, 0));
    for (const smb2::Bytes *pdu : {&three, &request, &fault}) {
        for (size_t n = 0; n <= pdu->size(); n++) {
            SCOPED_TRACE(n);
            smb2::Bytes in(pdu->begin(), pdu->begin() + n);
            smb2::Bytes out = transceive(in);
            if (n < 16) {
                EXPECT_TRUE(out.empty());
                continue;
            }
            if ((*pdu)[2] == 0 && n < 28) {
                EXPECT_TRUE(out.empty()) << "a REQUEST needs its stub's first 4 bytes";
                continue;
            }
            ASSERT_GE(out.size(), 16u);
            EXPECT_EQ(smb2::rpc_header(out).frag_length, out.size());
            EXPECT_EQ(smb2::rpc_header(out).call_id, smb2::get_u32(*pdu, 12));
        }
    }
}

TEST(SrvsvcTruncation, ContextCountBeyondTheDataGetsTheFixedBindAck) {
    smb2::Bytes bind = smb2::rpc_bind_srvsvc(4);
    bind[24] = 255; // 255 contexts announced, one present
    smb2::Bytes out = transceive(bind);
    ASSERT_EQ(out.size(), 92u);
    EXPECT_EQ(out[40], 2u) << "n_results";
}

} // namespace
