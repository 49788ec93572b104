// FSCTL_VALIDATE_NEGOTIATE_INFO answers from what the connection negotiated,
// end to end through the simulation.
#include "support/smb2_ioctl.h"
#include "support/smb2_session.h"
#include "support/smb2_transport.h"

#include "config/qv2_cfg_types.h"
#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

namespace {

// What a client believes it negotiated; the server does not look at it.
smb2::Bytes client_view() {
    return smb2::Body().u32(0x7F).bytes(smb2::Bytes(16, 0xAB)).u16(1).u16(1).u16(0x0311);
}

struct Validated {
    smb2::Reply negotiate, ioctl;
};

// NEGOTIATE and a user's logon, then the validation (signed, as clients
// send it) on a handle that does not exist.
Validated validate(uint16_t security_mode, uint32_t capabilities,
                   const std::vector<uint16_t> &dialects) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedUser alice("alice", "secret");
    smb2::Session s = smb2::logon_script({.user = "alice",
                                          .password = "secret",
                                          .dialects = dialects,
                                          .security_mode = security_mode,
                                          .capabilities = capabilities});
    EXPECT_TRUE(s.ok) << s.error;
    smb2::Script script = s.script();
    script.send(
        s.sign(smb2::ioctl(s.header(SMB2_IOCTL), {.ctl = smb2::FSCTL_VALIDATE_NEGOTIATE_INFO,
                                                  .fid = 0x1234,
                                                  .fid_volatile = 0x5678,
                                                  .input = client_view()})));
    smb2::Transcript t = smb2::run(script);
    EXPECT_TRUE(t.ok) << t.error;
    EXPECT_EQ(t.replies.size(), 4u);
    if (t.replies.size() < 4) return {};
    return {t.replies[0], t.replies[3]};
}

TEST(IoctlValidateNegotiate, AfterSmb21WithLargeMtuAndSigningRequired) {
    smb2::ScopedOption signing("signing", "required");
    smb2::CounterWatch w;
    Validated v = validate(0x02, 0x04, {0x0202, 0x0210});
    ASSERT_EQ(v.negotiate.status(), STATUS_SUCCESS);
    ASSERT_EQ(v.ioctl.status(), STATUS_SUCCESS);
    EXPECT_EQ(smb2::ioctl_ctl(v.ioctl), smb2::FSCTL_VALIDATE_NEGOTIATE_INFO);
    EXPECT_EQ(smb2::ioctl_fid(v.ioctl), 0x1234u) << "persistent half echoed";
    EXPECT_EQ(smb2::ioctl_fid_volatile(v.ioctl), smb2::FID_NONE);
    smb2::Bytes out = smb2::ioctl_output(v.ioctl);
    ASSERT_EQ(out.size(), 24u);
    EXPECT_EQ(smb2::get_u32(out, 0), 4u) << "Capabilities: large MTU";
    smb2::Bytes guid(out.begin() + 4, out.begin() + 20);
    smb2::Bytes negotiated(v.negotiate.bytes().begin() + 72, v.negotiate.bytes().begin() + 88);
    EXPECT_EQ(guid, negotiated) << "the ServerGuid of the NEGOTIATE response";
    EXPECT_EQ(smb2::get_u16(out, 20), 2u) << "SecurityMode: signing required";
    EXPECT_EQ(smb2::get_u16(out, 22), 0x0210u);
    EXPECT_EQ(w.delta(QV2_ST_IOCTL_REFUSED), 0);
}

TEST(IoctlValidateNegotiate, AfterSmb202WithSigningEnabled) {
    Validated v = validate(0x01, 0x04, {0x0202});
    ASSERT_EQ(v.ioctl.status(), STATUS_SUCCESS);
    smb2::Bytes out = smb2::ioctl_output(v.ioctl);
    ASSERT_EQ(out.size(), 24u);
    EXPECT_EQ(smb2::get_u32(out, 0), 0u) << "no large MTU on 2.0.2";
    EXPECT_EQ(smb2::Bytes(out.begin() + 4, out.begin() + 20),
              smb2::Bytes(v.negotiate.bytes().begin() + 72, v.negotiate.bytes().begin() + 88));
    EXPECT_EQ(smb2::get_u16(out, 20), 1u);
    EXPECT_EQ(smb2::get_u16(out, 22), 0x0202u);
}

} // namespace
