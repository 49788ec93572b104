// Guest logons: who may log on without a password under the `guest` and
// `signing` options, and what a guest session looks like.
#include "support/smb2_session.h"

#include "config/qv2_cfg.h"
#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

using smb2::Bytes;

TEST(SessionGuest, WithoutUsersAnyAuthenticateThatParsesGivesAGuestSession) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::LogonParams anonymous{};
    smb2::LogonParams named{.user = "nobody", .password = "whatever"};
    for (const smb2::LogonParams &p : {anonymous, named}) {
        SCOPED_TRACE(p.user);
        smb2::DirectConn dc;
        smb2::CounterWatch w;
        smb2::Session s = smb2::logon(dc, p);
        ASSERT_TRUE(s.ok) << s.error;
        EXPECT_TRUE(s.guest);
        EXPECT_EQ(s.replies[2].u16(66), 1u) << "SessionFlags: guest";
        EXPECT_EQ(s.session_id & 1, 1u);
        EXPECT_EQ(w.delta(QV2_ST_GUEST_SESSIONS), 1);
        EXPECT_EQ(w.delta(QV2_ST_SESSIONS), 1) << "the challenge leg";
        EXPECT_EQ(dc.conn().authenticated, 1);
    }
}

TEST(SessionGuest, AnonymousLogonIsRefusedOnceUsersExist) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedUser alice("alice", "secret");
    for (const char *guest : {"auto", "off"}) {
        SCOPED_TRACE(guest);
        smb2::ScopedOption g("guest", guest);
        smb2::DirectConn dc;
        smb2::CounterWatch w;
        smb2::Session s = smb2::logon(dc);
        EXPECT_FALSE(s.ok);
        EXPECT_EQ(s.status, STATUS_LOGON_FAILURE);
        EXPECT_EQ(smb2::hex(s.replies[2].body()), "090000000000000000");
        EXPECT_EQ(dc.conn().authenticated, 0);
        EXPECT_EQ(w.delta(QV2_ST_LOGON_FAILED), 1);
        EXPECT_EQ(w.delta(QV2_ST_GUEST_SESSIONS), 0);
    }
}

TEST(SessionGuest, GuestOffRefusesEvenWithoutUsers) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedOption g("guest", "off");
    smb2::DirectConn dc;
    smb2::Session s = smb2::logon(dc);
    EXPECT_EQ(s.status, STATUS_LOGON_FAILURE);
}

TEST(SessionGuest, GuestOnAdmitsAWrongPasswordAsAGuestDespiteUsers) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedOption g("guest", "on");
    smb2::ScopedUser alice("alice", "secret");
    smb2::DirectConn dc;
    smb2::Session s = smb2::logon(dc, {.user = "alice", .password = "wrong"});
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_TRUE(s.guest);
}

TEST(SessionGuest, NoGuestForAClientThatRequiresSigning) {
    // A guest session has no key: a client that insists on signing can't
    // have one, whatever the server says about signing.
    smb2::ScopedOption clock("clock", "1700000000");
    struct Case {
        const char *signing;
        uint16_t client_mode;
        bool guest_ok;
    } cases[] = {
        {"required", 0x02, false},
        {"required", 0x01, true},
        {"enabled", 0x02, false},
        {"enabled", 0x01, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.signing << " client " << c.client_mode);
        smb2::ScopedOption signing("signing", c.signing);
        smb2::DirectConn dc;
        smb2::Session s = smb2::logon(dc, {.security_mode = c.client_mode});
        EXPECT_EQ(s.ok, c.guest_ok) << s.error;
        EXPECT_EQ(s.status, c.guest_ok ? STATUS_SUCCESS : STATUS_LOGON_FAILURE);
    }
}
