// The srvsvc pipe over WRITE and READ, the way impacket talks to it: the
// WRITE carries one PDU, READs take the answer, and no other WRITE is ever
// let through.
#include "support/smb2_client.h"
#include "support/smb2_file_requests.h"
#include "support/smb2_ioctl.h"
#include "support/builders/tempdir.h"

#include "files/scoped_share.h"

#include "config/qv2_cfg_types.h"
#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

using smb2::Bytes;

namespace {

// WRITE with the data right after the 48 fixed bytes (DataOffset 112).
Bytes write_req(smb2::Header h, uint64_t fid, const Bytes &data,
                std::optional<uint16_t> data_offset = {}, uint32_t channel = 0) {
    h.command = SMB2_WRITE;
    Bytes b(48, 0);
    smb2::put_u16(b, 0, 49);
    smb2::put_u16(b, 2, data_offset.value_or(64 + 48));
    smb2::put_u32(b, 4, uint32_t(data.size()));
    smb2::put_u64(b, 16, fid);
    smb2::put_u32(b, 32, channel);
    b.insert(b.end(), data.begin(), data.end());
    return smb2::request(h, b);
}

class PipeWriteRead : public ::testing::Test {
  protected:
    void SetUp() override {
        ipc_ = cl_.connect("IPC$");
        pipe_ = cl_.open(ipc_, "srvsvc");
        docs_tid_ = cl_.connect("docs");
        file_ = cl_.open(docs_tid_, "a.txt");
    }
    smb2::Reply write(uint64_t fid, const Bytes &data, uint32_t tid = 0) {
        return cl_.send(write_req(cl_.header(SMB2_WRITE, tid ? tid : ipc_), fid, data));
    }
    smb2::Reply read(uint64_t fid, uint32_t length, uint32_t tid = 0) {
        return cl_.send(
            smb2::read(cl_.header(SMB2_READ, tid ? tid : ipc_), {.fid = fid, .length = length}));
    }
    // What the same PDU gets through the IOCTL transceive.
    Bytes transceive(const Bytes &pdu) {
        smb2::Reply r = cl_.send(smb2::ioctl(cl_.header(SMB2_IOCTL, ipc_), {.fid = pipe_, .input = pdu}));
        return smb2::ioctl_output(r);
    }

    TempDir dir_;
    std::string file_path_ = dir_.write("a.txt", "content\n");
    ScopedShare share_{"docs", dir_.path()};
    smb2::Client cl_;
    uint32_t ipc_ = 0, docs_tid_ = 0;
    uint64_t pipe_ = 0, file_ = 0;
};

TEST_F(PipeWriteRead, WrittenBindIsAnsweredByTheNextRead) {
    Bytes bind = smb2::rpc_bind_srvsvc(7);
    smb2::Reply w = write(pipe_, bind);
    EXPECT_EQ(w.status(), STATUS_SUCCESS);
    EXPECT_EQ(w.u16(64), 17u);
    EXPECT_EQ(w.u32(68), bind.size()) << "Count: everything was taken";
    smb2::Reply r = read(pipe_, 4280);
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    Bytes ack = smb2::read_data(r);
    EXPECT_EQ(ack, transceive(bind)) << "the same answer as the IOCTL transceive";
    EXPECT_EQ(smb2::rpc_header(ack).ptype, 12u);
    EXPECT_EQ(smb2::rpc_header(ack).call_id, 7u);
    // The answer is taken once; with nothing written there is nothing to read.
    EXPECT_EQ(read(pipe_, 4280).status(), STATUS_NOT_SUPPORTED);
}

TEST_F(PipeWriteRead, LongAnswerComesInPiecesFlaggedBufferOverflow) {
    Bytes call = smb2::rpc_request(3, 15, smb2::netr_share_enum_stub());
    Bytes whole = transceive(call);
    ASSERT_GT(whole.size(), 40u);
    ASSERT_EQ(write(pipe_, call).status(), STATUS_SUCCESS);
    Bytes got;
    smb2::Reply first = read(pipe_, 16);
    EXPECT_EQ(first.status(), STATUS_BUFFER_OVERFLOW);
    Bytes part = smb2::read_data(first);
    EXPECT_EQ(part.size(), 16u);
    got.insert(got.end(), part.begin(), part.end());
    smb2::Reply rest = read(pipe_, 65536);
    EXPECT_EQ(rest.status(), STATUS_SUCCESS);
    part = smb2::read_data(rest);
    got.insert(got.end(), part.begin(), part.end());
    EXPECT_EQ(got, whole);
    smb2::ShareEnum e = smb2::decode_share_enum(smb2::rpc_stub(got));
    ASSERT_TRUE(e.ok) << e.error;
    ASSERT_EQ(e.entries.size(), 2u);
    EXPECT_EQ(smb2::ascii(e.entries[1].name), "docs");
}

TEST_F(PipeWriteRead, WritesToAnythingButThePipeAreRefusedAndChangeNothing) {
    smb2::CounterWatch w;
    smb2::Reply to_file = write(file_, smb2::from_hex("6f7665727772697474656e"), docs_tid_);
    EXPECT_EQ(to_file.status(), STATUS_ACCESS_DENIED);
    smb2::Reply to_nothing = write(0x9991, smb2::from_hex("00"));
    EXPECT_EQ(to_nothing.status(), STATUS_FILE_CLOSED);
    EXPECT_EQ(w.delta(QV2_ST_MUTATING_REFUSED), 2);
    EXPECT_EQ(read_file(file_path_), "content\n");
    // A READ of the file still reads the file, not a pipe answer.
    EXPECT_EQ(smb2::read_data(read(file_, 100, docs_tid_)), smb2::from_hex("636f6e74656e740a"));
}

TEST_F(PipeWriteRead, MalformedPipeWritesAreRefused) {
    Bytes bind = smb2::rpc_bind_srvsvc(1);
    // Data said to lie past the message, or before the body.
    smb2::Reply past = cl_.send(write_req(cl_.header(SMB2_WRITE, ipc_), pipe_, bind, 2000));
    EXPECT_EQ(past.status(), STATUS_INVALID_PARAMETER);
    smb2::Reply before = cl_.send(write_req(cl_.header(SMB2_WRITE, ipc_), pipe_, bind, 10));
    EXPECT_EQ(before.status(), STATUS_INVALID_PARAMETER);
    // More than the 16384 bytes a transceive may carry.
    EXPECT_EQ(write(pipe_, Bytes(16385, 0)).status(), STATUS_INVALID_PARAMETER);
    smb2::Reply chan = cl_.send(write_req(cl_.header(SMB2_WRITE, ipc_), pipe_, bind, {}, 1));
    EXPECT_EQ(chan.status(), STATUS_NOT_SUPPORTED);
    // None of them left an answer behind.
    EXPECT_EQ(read(pipe_, 4280).status(), STATUS_NOT_SUPPORTED);
}

TEST_F(PipeWriteRead, ANewWriteReplacesAnUnreadAnswerAndCloseFreesIt) {
    ASSERT_EQ(write(pipe_, smb2::rpc_bind_srvsvc(1)).status(), STATUS_SUCCESS);
    ASSERT_EQ(write(pipe_, smb2::rpc_bind_srvsvc(2)).status(), STATUS_SUCCESS);
    Bytes ack = smb2::read_data(read(pipe_, 4280));
    EXPECT_EQ(smb2::rpc_header(ack).call_id, 2u);
    // An answer left unread goes with the handle (the sanitizer build checks).
    ASSERT_EQ(write(pipe_, smb2::rpc_bind_srvsvc(3)).status(), STATUS_SUCCESS);
    EXPECT_EQ(cl_.close(ipc_, pipe_).status(), STATUS_SUCCESS);
    ASSERT_EQ(write(pipe_, smb2::rpc_bind_srvsvc(4)).status(), STATUS_FILE_CLOSED);
}

} // namespace
