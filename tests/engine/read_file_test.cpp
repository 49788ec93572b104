// READ: data of a regular file read afresh from the host on every request, in
// 64 KiB pieces, up to the negotiated MaxReadSize and the CreditCharge; the
// end of the file; the refusals; and READ in a compound after the CREATE
// that opened the file.
#include "support/docs_share.h"
#include "support/smb2_client.h"
#include "support/smb2_file_requests.h"

#include "config/qv2_cfg.h"
#include "engine/engine.h"

#include <gtest/gtest.h>

#include <cstdio>

using smb2::Bytes;
using smb2::ReadParams;

namespace {

constexpr uint32_t kLargeMtu = 0x04;

Bytes bytes_of(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

class Read : public ::testing::Test {
  protected:
    smb2::ScopedOption guest_{"guest", "on"};
    DocsShare docs_;
    smb2::Client cl_{{.capabilities = kLargeMtu}};
    uint32_t tid_ = cl_.connect("docs");

    smb2::Reply read(const ReadParams &p) {
        return cl_.send(smb2::read(cl_.header(SMB2_READ, tid_), p));
    }
};

} // namespace

TEST_F(Read, LengthPastTheEndReturnsTheWholeFile) {
    ASSERT_EQ(cl_.conn().max_read, 1048576u);
    uint64_t fid = cl_.open(tid_, "big.bin");
    smb2::CounterWatch w;
    smb2::Reply r = read({.fid = fid, .length = 100000});
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.u16(64), 17u);
    EXPECT_EQ(r.u8(66), 80u) << "DataOffset";
    EXPECT_EQ(r.u8(67), 0u);
    EXPECT_EQ(r.u32(68), 70000u);
    EXPECT_EQ(r.u32(72), 0u) << "DataRemaining";
    EXPECT_EQ(r.u32(76), 0u);
    EXPECT_EQ(r.size(), 80u + 70000u);
    EXPECT_EQ(smb2::read_data(r), bytes_of(docs_.big));
    EXPECT_EQ(w.delta(QV2_ST_READS), 1);
}

TEST_F(Read, RangesInsideTheFileAcrossPieceBoundaries) {
    uint64_t fid = cl_.open(tid_, "big.bin");
    for (auto [offset, length] :
         {std::pair<uint64_t, uint32_t>{0, 1}, {65530, 20}, {1, 65536}, {69990, 10}, {69995, 10}}) {
        smb2::Reply r = read({.fid = fid, .length = length, .offset = offset});
        ASSERT_EQ(r.status(), STATUS_SUCCESS);
        size_t end = std::min<size_t>(docs_.big.size(), offset + length);
        EXPECT_EQ(smb2::read_data(r), bytes_of(docs_.big.substr(offset, end - offset)))
            << offset << "+" << length;
    }
}

// Clients read until the server says END_OF_FILE (MS-SMB2 3.3.5.12): a read
// at or past the end, or one that finds fewer bytes than MinimumCount, gets
// it with the error body. Only reads that succeed count.
TEST_F(Read, AtOrPastTheEndOrShortOfMinimumCountIsEndOfFile) {
    uint64_t fid = cl_.open(tid_, "hello.txt"); // 12 bytes
    struct Row {
        uint64_t offset;
        uint32_t length, minimum;
        uint32_t status, data;
    };
    const Row rows[] = {
        {12, 100, 0, STATUS_END_OF_FILE, 0},
        {13, 100, 0, STATUS_END_OF_FILE, 0},
        {12, 0, 0, STATUS_END_OF_FILE, 0}, // nothing lies at the end, even for nothing
        {0x7FFFFFFFFFFFFFFFull, 65536, 0, STATUS_END_OF_FILE, 0},
        {0x8000000000000000ull, 65536, 0, STATUS_END_OF_FILE, 0},
        {~0ull, 1048576, 0, STATUS_END_OF_FILE, 0},
        {0, 100, 13, STATUS_END_OF_FILE, 0},
        {6, 100, 7, STATUS_END_OF_FILE, 0},
        {0, 0, 1, STATUS_END_OF_FILE, 0},
        {0, 0, 0, STATUS_SUCCESS, 0},
        {0, 100, 12, STATUS_SUCCESS, 12},
        {11, 100, 1, STATUS_SUCCESS, 1},
    };
    smb2::CounterWatch w;
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message()
                     << row.offset << "+" << row.length << " min " << row.minimum);
        smb2::Reply r =
            read({.fid = fid, .length = row.length, .offset = row.offset, .minimum = row.minimum});
        EXPECT_EQ(r.status(), row.status);
        if (row.status == STATUS_SUCCESS) {
            EXPECT_EQ(r.u32(68), row.data);
            EXPECT_EQ(r.size(), 80u + row.data);
        } else {
            EXPECT_EQ(r.size(), 64u + 9u) << "the header and the error body";
        }
    }
    EXPECT_EQ(w.delta(QV2_ST_READS), 3);
}

TEST_F(Read, OneMebibyteFileComesWholeInOneRead) {
    std::string mib(1048576 + 3, 0);
    for (size_t i = 0; i < mib.size(); i++)
        mib[i] = char((i * 131) >> 7);
    docs_.dir.write("mib.bin", mib);
    uint64_t fid = cl_.open(tid_, "mib.bin");
    smb2::Reply r = read({.fid = fid, .length = 1048576});
    ASSERT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(smb2::read_data(r), bytes_of(mib.substr(0, 1048576)));
    EXPECT_EQ(read({.fid = fid, .length = 1048577}).status(), STATUS_INVALID_PARAMETER);
}

TEST(ReadLimit, AtTwoPointZeroTwoLengthIsBoundBySixtyFourKibibytes) {
    smb2::ScopedOption guest{"guest", "on"};
    DocsShare docs;
    smb2::Client cl{{.dialects = {0x0202}}};
    ASSERT_EQ(cl.conn().max_read, 65536u);
    uint32_t tid = cl.connect("docs");
    uint64_t fid = cl.open(tid, "big.bin");
    smb2::CounterWatch w;
    smb2::Reply ok = cl.send(smb2::read(cl.header(SMB2_READ, tid), {.fid = fid, .length = 65536}));
    EXPECT_EQ(ok.u32(68), 65536u);
    smb2::Reply r = cl.send(smb2::read(cl.header(SMB2_READ, tid), {.fid = fid, .length = 65537}));
    EXPECT_EQ(r.status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.size(), 64u + 9u) << "the header and the error body";
    EXPECT_EQ(w.delta(QV2_ST_READS), 1) << "only the successful read counts";
}

// At 2.1 every client may read a megabyte at a time, whatever its
// capability bits, but must pay for it in CreditCharge: a credit per
// 64 KiB, CreditCharge 0 counting as one (MS-SMB2 3.3.5.2.5). At 2.0.2 the
// charge is not looked at.
TEST(ReadLimit, CreditChargeMustPayForTheLengthAtTwoPointOne) {
    smb2::ScopedOption guest{"guest", "on"};
    DocsShare docs;
    std::string mib(1048576, 'm');
    docs.dir.write("mib.bin", mib);
    struct Row {
        uint16_t dialect;
        uint32_t length;
        uint16_t charge;
        uint32_t status;
    };
    const Row rows[] = {
        {0x0210, 1048576, 16, STATUS_SUCCESS},
        {0x0210, 1048576, 17, STATUS_SUCCESS},
        {0x0210, 1048576, 15, STATUS_INVALID_PARAMETER},
        {0x0210, 1048576, 0, STATUS_INVALID_PARAMETER},
        {0x0210, 65537, 1, STATUS_INVALID_PARAMETER},
        {0x0210, 65537, 2, STATUS_SUCCESS},
        {0x0210, 65536, 0, STATUS_SUCCESS},
        {0x0210, 65536, 1, STATUS_SUCCESS},
        {0x0202, 65536, 0, STATUS_SUCCESS},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.dialect << std::dec << " " << row.length
                                        << " charge " << row.charge);
        smb2::Client cl{{.dialects = {row.dialect}}};
        uint32_t tid = cl.connect("docs");
        uint64_t fid = cl.open(tid, "mib.bin");
        Bytes msg = smb2::read(cl.header(SMB2_READ, tid), {.fid = fid, .length = row.length});
        smb2::put_u16(msg, 6, row.charge);
        smb2::Reply r = cl.send(msg);
        EXPECT_EQ(r.status(), row.status);
        if (row.status == STATUS_SUCCESS) {
            EXPECT_EQ(r.u32(68), row.length);
        }
        EXPECT_EQ(r.credit_charge(), row.charge) << "echoed";
    }
}

TEST_F(Read, RefusalsInTheirOrder) {
    uint64_t file = cl_.open(tid_, "hello.txt");
    uint64_t dir = cl_.open(tid_, "sub");
    uint32_t ipc = cl_.connect("IPC$");
    smb2::Reply p = cl_.create(ipc, {.name = "srvsvc"});
    ASSERT_EQ(p.status(), STATUS_SUCCESS);
    uint64_t pipe = smb2::create_fid(p);
    smb2::CounterWatch w;

    Bytes msg = smb2::read(cl_.header(SMB2_READ, tid_), {.fid = file});
    smb2::put_u16(msg, 64, 48);
    EXPECT_EQ(cl_.send(msg).status(), STATUS_INVALID_PARAMETER) << "StructureSize";
    msg = smb2::read(cl_.header(SMB2_READ, tid_), {.fid = file});
    msg.resize(64 + 40);
    EXPECT_EQ(cl_.send(msg).status(), STATUS_INVALID_PARAMETER) << "short body";

    EXPECT_EQ(read({.fid = file, .channel = 1}).status(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(read({.fid = 0x999, .channel = 1}).status(), STATUS_NOT_SUPPORTED)
        << "the channel before the handle";
    EXPECT_EQ(read({.fid = pipe, .length = 1048577}).status(), STATUS_INVALID_PARAMETER)
        << "the length before the handle";
    EXPECT_EQ(read({.fid = 0x999}).status(), STATUS_FILE_CLOSED) << "unknown FileId";
    EXPECT_EQ(read({.fid = pipe}).status(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(read({.fid = dir}).status(), STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(w.delta(QV2_ST_READS), 0);
}

TEST_F(Read, EachReadSeesTheFileAsItIsNow) {
    uint64_t fid = cl_.open(tid_, "hello.txt");
    docs_.dir.write("hello.txt", "rewritten and longer\n");
    EXPECT_EQ(smb2::read_data(read({.fid = fid})), bytes_of("rewritten and longer\n"));

    ASSERT_EQ(::remove(docs_.dir.join("hello.txt").c_str()), 0);
    smb2::CounterWatch w;
    smb2::Reply r = read({.fid = fid});
    EXPECT_EQ(r.status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(r.size(), 64u + 9u);
    EXPECT_EQ(w.delta(QV2_ST_READS), 0);

    docs_.dir.mkdir("hello.txt");
    EXPECT_EQ(read({.fid = fid}).status(), STATUS_ACCESS_DENIED) << "no longer a regular file";
}

TEST(ReadEndToEnd, RelatedReadUsesTheFileIdOfThePrecedingCreate) {
    smb2::ScopedOption guest{"guest", "on"};
    smb2::ScopedOption clock{"clock", "1700000000"};
    DocsShare docs;
    smb2::SimClient sim{{.capabilities = kLargeMtu}};
    std::vector<smb2::Reply> r = sim.run({
        smb2::tree_connect(sim.header(SMB2_TREE_CONNECT), "\\\\h\\docs"),
        smb2::compound({smb2::create(sim.header(SMB2_CREATE, 1), {.name = "hello.txt"}),
                        smb2::read(sim.header(SMB2_READ, 1), {.fid = ~0ull, .length = 100}),
                        smb2::close(sim.header(SMB2_CLOSE, 1), ~0ull)},
                       true),
        smb2::compound({smb2::create(sim.header(SMB2_CREATE, 1), {.name = "big.bin"}),
                        smb2::read(sim.header(SMB2_READ, 1), {.fid = ~0ull, .length = 100000})},
                       true),
    });
    ASSERT_EQ(r.size(), 3u);
    std::vector<smb2::Reply> a = r[1].parts();
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[1].status(), STATUS_SUCCESS);
    EXPECT_EQ(a[1].flags(), 0x5u);
    EXPECT_EQ(smb2::read_data(a[1]), bytes_of("hello world\n"));
    EXPECT_EQ(a[2].status(), STATUS_SUCCESS) << "the CLOSE after it";
    std::vector<smb2::Reply> b = r[2].parts();
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(smb2::read_data(b[1]), bytes_of(docs.big));
}
