// With guests admitted, a user who proves the password still gets a user
// session with a signing key; only a message that proves no configured user
// falls back to a guest logon.
#include "support/ntlm_client.h"
#include "support/smb2_session.h"

#include "config/qv2_cfg.h"
#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

#include <cstring>

#include <string>

using smb2::Bytes;

TEST(SessionUserBeforeGuest, ProvenUserGetsAUserSessionWhoseKeySignsWhileGuestsAreOn) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedOption guest("guest", "on");
    smb2::ScopedUser alice("alice", "secret");
    for (bool spnego : {true, false}) {
        SCOPED_TRACE(spnego ? "spnego" : "bare");
        smb2::Session s =
            smb2::logon_script({.user = "alice", .password = "secret", .spnego = spnego});
        ASSERT_TRUE(s.ok) << s.error;
        EXPECT_FALSE(s.guest);
        EXPECT_EQ(s.replies[2].u16(66), 0u) << "SessionFlags: not a guest";

        smb2::Script script = s.script();
        script.send(s.sign(smb2::request(s.header(SMB2_ECHO), smb2::echo_body())));
        smb2::Transcript t = smb2::run(script);
        ASSERT_EQ(t.replies.size(), 4u);
        EXPECT_EQ(t.replies[3].status(), STATUS_SUCCESS);
        EXPECT_EQ(t.replies[3].flags(), 0x9u);
        EXPECT_TRUE(t.replies[3].signed_with(s.key)) << "the server holds the client's key";
    }

    // Counted as a user logon: the challenge leg and the success.
    smb2::DirectConn dc;
    smb2::CounterWatch w;
    smb2::Session s = smb2::logon(dc, {.user = "alice", .password = "secret"});
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(w.delta(QV2_ST_SESSIONS), 2);
    EXPECT_EQ(w.delta(QV2_ST_GUEST_SESSIONS), 0);
    EXPECT_EQ(w.delta(QV2_ST_LOGON_FAILED), 0);
}

TEST(SessionUserBeforeGuest, AnyUserOfTheTableIsTriedBeforeTheGuestFallback) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedOption guest("guest", "on");
    smb2::ScopedUser alice("alice", "secret");
    smb2::ScopedUser bob("bob", "hunter2");
    smb2::DirectConn dc;
    smb2::Session s = smb2::logon(dc, {.user = "bob", .password = "hunter2"});
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_FALSE(s.guest);
}

TEST(SessionUserBeforeGuest, MessageThatProvesNoUserFallsBackToAGuestSession) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedOption guest("guest", "on");
    smb2::ScopedUser alice("alice", "secret");
    const smb2::LogonParams cases[] = {
        {.user = "alice", .password = "wrong"},
        {.user = "mallory", .password = "secret"},
        {}, // anonymous
    };
    for (const smb2::LogonParams &p : cases) {
        SCOPED_TRACE(p.user + "/" + p.password);
        smb2::DirectConn dc;
        smb2::CounterWatch w;
        smb2::Session s = smb2::logon(dc, p);
        ASSERT_TRUE(s.ok) << s.error;
        EXPECT_TRUE(s.guest);
        EXPECT_EQ(s.replies[2].u16(66), 1u);
        EXPECT_EQ(s.replies[2].flags() & 0x8u, 0u) << "a guest session has no key to sign with";
        EXPECT_EQ(dc.conn().must_sign, 0);
        EXPECT_EQ(w.delta(QV2_ST_GUEST_SESSIONS), 1);
        EXPECT_EQ(w.delta(QV2_ST_SESSIONS), 1) << "the challenge leg";
        EXPECT_EQ(w.delta(QV2_ST_LOGON_FAILED), 0);
    }
}

TEST(SessionUserBeforeGuest, WhenBothSidesRequireSigningOnlyTheProvenUserGetsIn) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedOption guest("guest", "on");
    smb2::ScopedOption signing("signing", "required");
    smb2::ScopedUser alice("alice", "secret");

    smb2::DirectConn ok_conn;
    smb2::Session s =
        smb2::logon(ok_conn, {.user = "alice", .password = "secret", .security_mode = 0x02});
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_FALSE(s.guest);
    EXPECT_TRUE(s.replies[2].signed_with(s.key));

    smb2::DirectConn bad_conn;
    smb2::Session f =
        smb2::logon(bad_conn, {.user = "alice", .password = "wrong", .security_mode = 0x02});
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(f.status, STATUS_LOGON_FAILURE) << "no guest session to fall back on";
}

TEST(SessionUserBeforeGuest, NtlmV1ProvesNoUserButIsAGuestWhileGuestsAreAdmitted) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedUser alice("alice", "secret");
    for (const char *guest_rule : {"on", "off"}) {
        SCOPED_TRACE(guest_rule);
        smb2::ScopedOption guest("guest", guest_rule);
        smb2::DirectConn dc;
        smb2::Reply nego = dc.process(smb2::negotiate_request(0, {0x0202, 0x0210}));
        ASSERT_EQ(nego.status(), STATUS_SUCCESS);
        smb2::Reply leg1 = dc.process(
            smb2::session_setup_request(1, 0, smb2::spnego_init(ntlm_negotiate_message())));
        ASSERT_EQ(leg1.status(), STATUS_MORE_PROCESSING_REQUIRED);
        Bytes challenge;
        ASSERT_TRUE(smb2::ntlm_from_token(smb2::security_buffer(leg1), &challenge));

        // NTLM without extended session security: an NTLMv1 client, never
        // verified, even with the right password.
        NtlmClientParams p;
        p.user = "alice";
        p.password = "secret";
        p.flags = NTLM_CLIENT_FLAGS & ~NTLM_EXTENDED_SESSIONSECURITY;
        NtlmAuth auth;
        ASSERT_TRUE(ntlm_authenticate(p, challenge, &auth));
        smb2::CounterWatch w;
        smb2::Reply leg2 = dc.process(
            smb2::session_setup_request(2, leg1.sid(), smb2::spnego_resp(auth.message)));
        bool admitted = strcmp(guest_rule, "on") == 0;
        EXPECT_EQ(leg2.status(), admitted ? STATUS_SUCCESS : STATUS_LOGON_FAILURE);
        EXPECT_EQ(dc.conn().authenticated, admitted ? 1 : 0);
        EXPECT_EQ(dc.conn().guest, admitted ? 1 : 0);
        EXPECT_EQ(w.delta(QV2_ST_GUEST_SESSIONS), admitted ? 1 : 0);
        EXPECT_EQ(w.delta(QV2_ST_LOGON_FAILED), admitted ? 0 : 1);
    }
}
