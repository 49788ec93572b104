// ECHO, answered with a fixed reply; CHANGE_NOTIFY and OPLOCK_BREAK, whose
// refusals of a malformed request come with the error body; and CANCEL,
// never answered. Through the simulation, on a guest's session.
#include "support/smb2_client.h"
#include "support/smb2_frames.h"

#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

using smb2::Bytes;
using smb2::Header;

namespace {

Bytes fixed(smb2::SimClient &sim, uint16_t command) {
    return smb2::request(sim.header(command), smb2::Body().u16(4).u16(0));
}

struct SmallCommands : ::testing::Test {
    smb2::ScopedOption guest_{"guest", "on"};
    smb2::ScopedOption clock_{"clock", "1700000000"};
    smb2::SimClient sim_;
};

} // namespace

// MS-SMB2 3.3.5.16: a CANCEL gets no reply. Every request is answered
// before the next is read, so a CANCEL can only name one already answered,
// and the Linux client reports an answer to it as an unknown frame.
TEST_F(SmallCommands, EachIsAnsweredWithItsStatusAndItsBodyButCancelIsNot) {
    uint64_t first = sim_.session().next_mid;
    Bytes cancel = fixed(sim_, SMB2_CANCEL);
    smb2::put_u64(cancel, 24, first);
    sim_.session().next_mid = first;
    Bytes echo = fixed(sim_, SMB2_ECHO);
    smb2::Script s = sim_.session().script();
    s.send(echo).send(cancel);
    s.send(fixed(sim_, SMB2_CHANGE_NOTIFY));
    s.send(fixed(sim_, SMB2_OPLOCK_BREAK));
    smb2::Transcript t = smb2::run(s);
    size_t logon = sim_.session().replies.size();
    EXPECT_EQ(t.received.size(), logon + 4);
    ASSERT_EQ(t.replies.size(), logon + 3);
    t.replies.erase(t.replies.begin(), t.replies.begin() + long(logon));
    const uint32_t want[] = {STATUS_SUCCESS, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER};
    const uint16_t cmd[] = {SMB2_ECHO, SMB2_CHANGE_NOTIFY, SMB2_OPLOCK_BREAK};
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(cmd[i]);
        const smb2::Reply &r = t.replies[i];
        EXPECT_EQ(r.status(), want[i]);
        EXPECT_EQ(r.command(), cmd[i]);
        EXPECT_EQ(r.mid(), first + i);
        if (want[i] == STATUS_SUCCESS) {
            ASSERT_EQ(r.size(), 68u);
            EXPECT_EQ(r.u32(64), 4u);
        } else {
            // An error status goes with the error body.
            EXPECT_EQ(smb2::hex(r.body()), "090000000000000000");
        }
    }
}

// A CANCEL in a compound is passed over: the commands after it still run.
TEST_F(SmallCommands, ACancelInACompoundIsPassedOver) {
    Bytes cancel = fixed(sim_, SMB2_CANCEL);
    Bytes echo = fixed(sim_, SMB2_ECHO);
    std::vector<smb2::Reply> parts =
        sim_.run({smb2::compound({fixed(sim_, SMB2_ECHO), cancel, echo})})[0].parts();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[1].status(), STATUS_SUCCESS);
    EXPECT_EQ(parts[1].mid(), smb2::get_u64(echo, 24));
}
