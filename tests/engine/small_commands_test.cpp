// The commands answered with fixed replies: ECHO, CHANGE_NOTIFY and
// OPLOCK_BREAK; and CANCEL, never answered. Through the simulation and
// without a session.
#include "support/smb2_frames.h"

#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

using smb2::Bytes;
using smb2::Header;

namespace {

Bytes fixed(uint16_t command, uint64_t mid) {
    return smb2::request(Header{.command = command, .mid = mid}, smb2::Body().u16(4).u16(0));
}

} // namespace

// MS-SMB2 3.3.5.16: a CANCEL gets no reply. Every request is answered
// before the next is read, so a CANCEL can only name one already answered,
// and the Linux client reports an answer to it as an unknown frame.
TEST(SmallCommands, EachIsAnsweredWithItsStatusAndItsBodyButCancelIsNot) {
    smb2::Script s;
    s.send(fixed(SMB2_ECHO, 11));
    s.send(fixed(SMB2_CANCEL, 11));
    s.send(fixed(SMB2_CHANGE_NOTIFY, 12));
    s.send(fixed(SMB2_OPLOCK_BREAK, 13));
    smb2::Transcript t = smb2::run(s);
    EXPECT_EQ(t.received.size(), 4u);
    ASSERT_EQ(t.replies.size(), 3u);
    const uint32_t want[] = {STATUS_SUCCESS, STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED};
    const uint16_t cmd[] = {SMB2_ECHO, SMB2_CHANGE_NOTIFY, SMB2_OPLOCK_BREAK};
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(cmd[i]);
        const smb2::Reply &r = t.replies[i];
        EXPECT_EQ(r.status(), want[i]);
        EXPECT_EQ(r.command(), cmd[i]);
        EXPECT_EQ(r.mid(), 11 + i);
        if (want[i] == STATUS_SUCCESS) {
            ASSERT_EQ(r.size(), 68u);
            EXPECT_EQ(r.u32(64), 4u);
        } else {
            // An error status goes with the error body.
            EXPECT_EQ(smb2::hex(r.body()), "090000000000000000");
        }
    }
}

// These statuses belong to the reply, not to the message: the commands
// after them in a compound still run. A CANCEL in the chain is passed over.
TEST(SmallCommands, TheirStatusesDoNotFailTheRestOfACompound) {
    smb2::Script s;
    s.send(smb2::compound(
        {smb2::echo(1), fixed(SMB2_CHANGE_NOTIFY, 2), fixed(SMB2_CANCEL, 3), smb2::echo(4)}));
    smb2::Transcript t = smb2::run(s);
    ASSERT_EQ(t.replies.size(), 1u);
    std::vector<smb2::Reply> parts = t.replies[0].parts();
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[1].status(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(parts[2].status(), STATUS_SUCCESS);
    EXPECT_EQ(parts[2].mid(), 4u);
}
