// IOCTL refusals, end to end through the simulation: controls other than the
// two served, handles other than the pipe, and input that lies outside the
// message or above the limit. Every refusal is a bare error header.
#include "support/docs_share.h"
#include "support/smb2_client.h"
#include "support/smb2_ioctl.h"

#include "config/qv2_cfg_types.h"
#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kIpcTree = 1, kDocsTree = 3;
constexpr uint64_t kPipe = 0x21, kFile = 0x41; // trees and opens draw from one counter

class IoctlRefusal : public ::testing::Test {
  protected:
    // Connects IPC$ and opens the pipe, connects docs and opens hello.txt,
    // then sends each IOCTL. Returns the IOCTL replies.
    std::vector<smb2::Reply> send(const std::vector<smb2::IoctlParams> &calls) {
        std::vector<smb2::Bytes> msgs = {
            smb2::tree_connect(sim.header(SMB2_TREE_CONNECT), "\\\\127.0.0.1\\IPC$"),
            smb2::create(sim.header(SMB2_CREATE, kIpcTree), {.name = "srvsvc"}),
            smb2::tree_connect(sim.header(SMB2_TREE_CONNECT), "\\\\127.0.0.1\\docs"),
            smb2::create(sim.header(SMB2_CREATE, kDocsTree), {.name = "hello.txt"}),
        };
        for (const smb2::IoctlParams &p : calls)
            msgs.push_back(smb2::ioctl(sim.header(SMB2_IOCTL, kIpcTree), p));
        std::vector<smb2::Reply> r = sim.run(msgs);
        EXPECT_EQ(smb2::create_fid(r[1]), kPipe);
        EXPECT_EQ(r[2].tid(), kDocsTree);
        EXPECT_EQ(smb2::create_fid(r[3]), kFile);
        return std::vector<smb2::Reply>(r.begin() + 4, r.end());
    }

    DocsShare docs;
    smb2::ScopedOption clock{"clock", "1700000000"};
    smb2::SimClient sim;
};

void expect_error(const std::vector<smb2::Reply> &r, uint32_t status) {
    for (size_t i = 0; i < r.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(r[i].status(), status);
        EXPECT_EQ(r[i].command(), SMB2_IOCTL);
        EXPECT_EQ(r[i].size(), 64u + 9u) << "an error reply is the header and the error body";
    }
}

TEST_F(IoctlRefusal, OtherControlsAndHandlesAreNotSupportedAndCounted) {
    smb2::Bytes bind = smb2::rpc_bind_srvsvc(1);
    smb2::CounterWatch w;
    std::vector<smb2::Reply> r = send({
        // A network file-system control, whatever the handle.
        {.ctl = smb2::FSCTL_QUERY_NETWORK_INTERFACE_INFO,
         .fid = smb2::FID_NONE,
         .fid_volatile = smb2::FID_NONE},
        {.ctl = smb2::FSCTL_QUERY_NETWORK_INTERFACE_INFO, .fid = kPipe},
        // Transceive on a file.
        {.fid = kFile, .input = bind},
        // Another control on the pipe.
        {.ctl = smb2::FSCTL_GET_REPARSE_POINT, .fid = kPipe},
    });
    expect_error(r, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(w.delta(QV2_ST_IOCTL_REFUSED), 4);
}

// The handle is looked up before the control: one that isn't open is
// FILE_CLOSED whatever it asks (MS-SMB2 3.3.5.15).
TEST_F(IoctlRefusal, UnknownHandleIsFileClosedBeforeTheControlIsLookedAt) {
    smb2::Bytes bind = smb2::rpc_bind_srvsvc(1);
    smb2::CounterWatch w;
    std::vector<smb2::Reply> r = send({
        {.fid = 0x31, .input = bind}, // an id no open ever had
        {.fid = smb2::FID_NONE, .fid_volatile = 0, .input = bind},
        {.fid = smb2::FID_NONE, .fid_volatile = smb2::FID_NONE, .input = bind},
        {.ctl = smb2::FSCTL_GET_REPARSE_POINT, .fid = 0x31},
    });
    expect_error(r, STATUS_FILE_CLOSED);
    EXPECT_EQ(w.delta(QV2_ST_IOCTL_REFUSED), 0);
}

TEST_F(IoctlRefusal, MalformedRequestIsInvalidParameter) {
    smb2::Bytes bind = smb2::rpc_bind_srvsvc(1);
    smb2::Bytes body = smb2::ioctl_body({.fid = kPipe});
    body.resize(40); // ends inside InputCount
    std::vector<smb2::Reply> r = send({{.fid = kPipe, .input = bind, .structure_size = 56}});
    r.push_back(sim.run({smb2::request(sim.header(SMB2_IOCTL, kIpcTree), body)})[0]);
    expect_error(r, STATUS_INVALID_PARAMETER);
}

TEST_F(IoctlRefusal, InputMustLieInsideTheMessageAndWithinTheLimit) {
    smb2::Bytes big(20000, 0);
    smb2::Bytes bind = smb2::rpc_bind_srvsvc(1);
    std::copy(bind.begin(), bind.end(), big.begin());
    smb2::Bytes limit(big.begin(), big.begin() + 16384);
    smb2::Bytes over(big.begin(), big.begin() + 16385);
    std::vector<smb2::Reply> r = send({
        {.fid = kPipe, .input = big}, // 20000 bytes
        {.fid = kPipe, .input = over},
        {.fid = kPipe, .input = bind, .input_offset = 40}, // inside the header
        {.fid = kPipe, .input = bind, .input_count = 73},  // one byte too many
        {.fid = kPipe, .input = bind, .input_offset = 0x7FFFFFF0, .input_count = 16},
        {.fid = kPipe, .input = bind, .input_offset = 0xFFFFFFFF, .input_count = 0xFFFFFFFF},
        {.fid = kPipe, .input = limit}, // exactly the limit
    });
    smb2::Reply at_limit = r.back();
    r.pop_back();
    expect_error(r, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(at_limit.status(), STATUS_SUCCESS);
    EXPECT_EQ(smb2::rpc_header(smb2::ioctl_output(at_limit)).ptype, 12u) << "BIND_ACK";
}

} // namespace
