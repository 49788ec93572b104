// What keeps a logon honest besides who is admitted (logon_admission_test.cpp,
// the MICs included): a challenge that answers one AUTHENTICATE only, no
// logon before NEGOTIATE, guest sessions that neither sign nor verify, and a
// signed LOGOFF answered signed, and a wrong MIC logged as one.
#include "support/builders/tempdir.h"
#include "support/ntlm_client.h"
#include "support/smb2_frames.h"
#include "support/smb2_session.h"
#include "support/smb2_transport.h"

#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

using smb2::Bytes;
using smb2::Header;

namespace {

Bytes echo_on(smb2::Session &s) { return smb2::request(s.header(SMB2_ECHO), smb2::echo_body()); }

} // namespace

TEST(LogonIntegrity, EachChallengeAnswersOneAuthenticateOnly) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedUser alice("alice", "secret");
    smb2::DirectConn dc;
    smb2::Session s = smb2::logon(dc, {.user = "alice", .password = "secret"});
    ASSERT_TRUE(s.ok) << s.error;
    ASSERT_EQ(dc.process(smb2::logoff_request(s.next_mid++, s.session_id)).status(), 0u);

    // The same AUTHENTICATE again, on the same connection: its session is
    // gone, and as the first message of a new one it answers no challenge
    // (the challenge it answers was used, even though a new one would
    // repeat it here).
    Bytes replay = s.requests[2];
    smb2::put_u64(replay, 24, s.next_mid++);
    EXPECT_EQ(dc.process(replay).status(), STATUS_USER_SESSION_DELETED);
    smb2::put_u64(replay, 24, s.next_mid++);
    smb2::put_u64(replay, 40, 0);
    EXPECT_EQ(dc.process(replay).status(), STATUS_LOGON_FAILURE);
    EXPECT_EQ(dc.conn().sessions, nullptr);

    // An AUTHENTICATE on a fresh connection that has sent no CHALLENGE.
    smb2::DirectConn fresh;
    ASSERT_EQ(fresh.process(smb2::negotiate_request(0, {0x0210})).status(), 0u);
    EXPECT_EQ(fresh.process(replay).status(), STATUS_LOGON_FAILURE);
    EXPECT_EQ(fresh.conn().sessions, nullptr);
}

TEST(LogonIntegrity, SessionSetupBeforeNegotiateIsRefused) {
    smb2::DirectConn dc;
    smb2::CounterWatch w;
    smb2::Reply r = dc.process(smb2::session_setup_request(0, 0, {}));
    EXPECT_EQ(r.status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(dc.conn().sessions, nullptr) << "no session, no challenge was made";
    EXPECT_EQ(w.delta(QV2_ST_PROTOCOL_ERRORS), 1);
}

TEST(LogonIntegrity, GuestSessionsNeitherSignNorVerify) {
    smb2::ScopedOption guest("guest", "on");
    smb2::DirectConn dc;
    smb2::Session s = smb2::logon(dc);
    ASSERT_TRUE(s.ok) << s.error;
    ASSERT_TRUE(s.guest);
    // Signed with a key the guest can't have: taken as unsigned, answered
    // unsigned, not refused as a bad signature.
    const uint8_t key[16] = {1, 2, 3};
    smb2::CounterWatch w;
    Bytes req = echo_on(s);
    smb2::sign(req, key);
    smb2::Reply r = dc.process(req);
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.flags() & 0x8u, 0u);
    EXPECT_EQ(w.delta(QV2_ST_BAD_SIGNATURE), 0);
}

TEST(LogonIntegrity, SignedLogoffIsAnsweredSigned) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedUser alice("alice", "secret");
    smb2::DirectConn dc;
    smb2::Session s = smb2::logon(dc, {.user = "alice", .password = "secret"});
    ASSERT_TRUE(s.ok) << s.error;
    smb2::Reply r = dc.process(s.sign(smb2::logoff_request(s.next_mid++, s.session_id)));
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_TRUE(r.signed_with(s.key)) << "the client checks it with the key it still holds";
}

// With the right password, a MIC that doesn't match means the messages were
// changed on the way: the access log says that, not "bad password".
TEST(LogonIntegrity, AWrongMicIsLoggedAsOneNotAsABadPassword) {
    using Tamper = smb2::LogonParams::Tamper;
    TempDir dir;
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedOption log("log", dir.join("access.log").c_str());
    smb2::ScopedUser alice("alice", "secret");
    const struct {
        smb2::LogonParams p;
        const char *reason;
    } cases[] = {
        {{.user = "alice", .password = "secret", .mic = true, .tamper = Tamper::ntlm_mic},
         "reason=bad_mic"},
        {{.user = "alice", .password = "secret", .mic = true, .tamper = Tamper::mech_list_mic},
         "reason=bad_mic"},
        {{.user = "alice", .password = "wrong", .mic = true}, "reason=bad_password"},
    };
    for (const auto &tc : cases) {
        smb2::DirectConn dc;
        EXPECT_FALSE(smb2::logon(dc, tc.p).ok);
        std::string text = read_file(dir.join("access.log"));
        std::string last = text.substr(text.rfind("event=logon"));
        EXPECT_NE(last.find(tc.reason), std::string::npos) << last;
    }
}
