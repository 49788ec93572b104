// The NetrShareEnum answer at the table's extremes: an empty table, a full
// one with the longest names (which must still fit one fragment), and names
// that are not ASCII.
#include "support/smb2_ioctl.h"
#include "support/smb2_transport.h"
#include "support/builders/tempdir.h"

#include "files/scoped_share.h"

#include "config/qv2_cfg_types.h"
#include "engine/engine.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// One REQUEST through the pipe's RPC server; the RESPONSE PDU.
smb2::Bytes call(uint16_t opnum) {
    smb2::Bytes in = smb2::rpc_request(1, opnum, smb2::netr_share_enum_stub());
    qv2_buf out{};
    srvsvc_transceive("", 0, in.data(), in.size(), &out);
    EXPECT_FALSE(out.failed);
    smb2::Bytes pdu(out.data, out.data + out.len);
    qv2_buf_free(&out);
    return pdu;
}

TEST(SrvsvcShareEnum, EmptyTableListsIpcAlone) {
    smb2::ShareEnum e = smb2::decode_share_enum(smb2::rpc_stub(call(15)));
    ASSERT_TRUE(e.ok) << e.error;
    ASSERT_EQ(e.entries.size(), 1u);
    EXPECT_EQ(e.entries[0].name, smb2::u16("IPC$"));
    EXPECT_EQ(e.entries[0].type, 3u);
    EXPECT_EQ(e.entries_read, 1u);
    EXPECT_EQ(e.total_entries, 1u);
}

TEST(SrvsvcShareEnum, FullTableOfLongestNamesFitsOneFragment) {
    TempDir dir;
    std::vector<std::unique_ptr<ScopedShare>> shares;
    for (int i = 0; i < QV2_MAX_SHARES; i++) {
        char prefix[8];
        snprintf(prefix, sizeof prefix, "%03d", i);
        shares.push_back(std::make_unique<ScopedShare>(prefix + std::string(77, 'n'), dir.path()));
    }
    smb2::CounterWatch w;
    smb2::Bytes pdu = call(15);
    EXPECT_EQ(w.delta(QV2_ST_SRVSVC_QUERIES), 1);
    ASSERT_GT(pdu.size(), 59000u);
    ASSERT_LE(pdu.size(), 0xFFFFu);
    EXPECT_EQ(smb2::rpc_header(pdu).frag_length, pdu.size());

    smb2::Bytes stub = smb2::rpc_stub(pdu);
    smb2::ShareEnum e = smb2::decode_share_enum(stub);
    ASSERT_TRUE(e.ok) << e.error;
    EXPECT_EQ(e.consumed, stub.size());
    ASSERT_EQ(e.entries.size(), 257u);
    EXPECT_EQ(e.total_entries, 257u);
    EXPECT_EQ(e.entries[0].name, smb2::u16("IPC$"));
    EXPECT_EQ(e.entries[1].name, smb2::u16("000" + std::string(77, 'n')));
    EXPECT_EQ(e.entries[256].name, smb2::u16("255" + std::string(77, 'n')));
    EXPECT_EQ(e.entries[256].name_referent, 0x00022000u + 4 * 256);
    EXPECT_EQ(e.entries[256].remark, smb2::u16("read-only share"));
}

TEST(SrvsvcShareEnum, NamesGoOutAsUtf16SoTheListedNameConnects) {
    TempDir dir;
    ScopedShare music("M\xC3\xBCsik", dir.path());    // "Müsik"
    ScopedShare clef("\xF0\x9D\x84\x9E", dir.path()); // U+1D11E, a surrogate pair
    ScopedShare latin1("caf\xE9", dir.path());        // not UTF-8: byte by byte
    smb2::ShareEnum e = smb2::decode_share_enum(smb2::rpc_stub(call(15)));
    ASSERT_TRUE(e.ok) << e.error;
    ASSERT_EQ(e.entries.size(), 4u);
    EXPECT_TRUE(e.strings_padded);
    // IPC$, then by name with ASCII case folded: bytes 'c' < 'M' < 0xF0.
    EXPECT_EQ(e.entries[1].name, std::u16string(u"caf\u00E9"));
    EXPECT_EQ(e.entries[2].name, std::u16string(u"M\u00FCsik"));
    EXPECT_EQ(e.entries[3].name, std::u16string(u"\U0001D11E"));
    EXPECT_EQ(e.entries[3].name.size(), 2u);
}

TEST(SrvsvcShareEnum, IpcTypeGoesOnlyToTheBuiltInName) {
    TempDir dir;
    ScopedShare lower("ipc", dir.path());
    smb2::ShareEnum e = smb2::decode_share_enum(smb2::rpc_stub(call(15)));
    ASSERT_TRUE(e.ok) << e.error;
    ASSERT_EQ(e.entries.size(), 2u);
    EXPECT_EQ(e.entries[1].name, smb2::u16("ipc"));
    EXPECT_EQ(e.entries[1].type, 0u);
    EXPECT_EQ(e.entries[1].remark, smb2::u16("read-only share"));
}

} // namespace
