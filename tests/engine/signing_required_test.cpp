// Signing that either side required at NEGOTIATE is enforced on a user
// session: unsigned requests are refused as a bad signature is, except the
// few that can't be signed; guest sessions and sessions where nobody asked
// for signing take unsigned requests as before.
#include "support/smb2_requests.h"
#include "support/smb2_session.h"

#include "config/qv2_cfg.h"
#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

using smb2::Bytes;
using smb2::Header;

namespace {

constexpr uint16_t kClientSigns = 0x01;    // signing enabled
constexpr uint16_t kClientRequires = 0x02; // signing required

void expect_refused_like_a_bad_signature(const smb2::Reply &r, uint64_t mid) {
    EXPECT_EQ(r.status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(r.size(), 64u + 9u);
    EXPECT_EQ(r.credit_charge(), 0u);
    EXPECT_EQ(r.credits(), 1u);
    EXPECT_EQ(r.mid(), mid);
    EXPECT_EQ(r.flags() & 0x8u, 0u);
}

// A user logon of alice ("secret") on a fresh DirectConn.
struct UserConn {
    smb2::DirectConn dc;
    smb2::Session s;
    explicit UserConn(uint16_t security_mode) {
        s = smb2::logon(dc,
                        {.user = "alice", .password = "secret", .security_mode = security_mode});
        EXPECT_TRUE(s.ok && !s.guest) << s.error;
    }
    Bytes unsigned_req(uint16_t command, const Bytes &body) {
        return smb2::request(s.header(command), body);
    }
    Bytes signed_req(uint16_t command, const Bytes &body) {
        return s.sign(unsigned_req(command, body));
    }
};

} // namespace

TEST(SigningRequired, UnsignedEchoAfterAUserLogonIsRefusedAndASignedOneAnswered) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedOption signing("signing", "required");
    smb2::ScopedUser alice("alice", "secret");
    smb2::Session s = smb2::logon_script({.user = "alice", .password = "secret"});
    ASSERT_TRUE(s.ok) << s.error;
    ASSERT_FALSE(s.guest);
    smb2::Script script = s.script();
    script.send(smb2::request(s.header(SMB2_ECHO), smb2::echo_body()));         // mid 3
    script.send(s.sign(smb2::request(s.header(SMB2_ECHO), smb2::echo_body()))); // mid 4
    smb2::CounterWatch w;
    smb2::Transcript t = smb2::run(script);
    ASSERT_EQ(t.replies.size(), 5u);
    expect_refused_like_a_bad_signature(t.replies[3], 3);
    EXPECT_EQ(t.replies[4].status(), STATUS_SUCCESS);
    EXPECT_TRUE(t.replies[4].signed_with(s.key));
    EXPECT_EQ(w.delta(QV2_ST_BAD_SIGNATURE), 1);
}

TEST(SigningRequired, EitherSideRequiringSigningEnforcesItNeitherLeavesUnsignedRequestsAlone) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedUser alice("alice", "secret");
    struct Case {
        const char *server;
        uint16_t client;
        bool enforced;
    } cases[] = {
        {"required", kClientSigns, true},
        {"enabled", kClientRequires, true},
        {"required", kClientRequires, true},
        {"enabled", kClientSigns, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.server << " client " << c.client);
        smb2::ScopedOption signing("signing", c.server);
        UserConn u(c.client);
        EXPECT_EQ(u.dc.conn().sessions->must_sign, c.enforced ? 1 : 0);
        smb2::CounterWatch w;
        smb2::Reply r = u.dc.process(u.unsigned_req(SMB2_ECHO, smb2::echo_body()));
        EXPECT_EQ(r.status(), c.enforced ? STATUS_ACCESS_DENIED : STATUS_SUCCESS);
        EXPECT_EQ(w.delta(QV2_ST_BAD_SIGNATURE), c.enforced ? 1 : 0);
        smb2::Reply ok = u.dc.process(u.signed_req(SMB2_ECHO, smb2::echo_body()));
        EXPECT_EQ(ok.status(), STATUS_SUCCESS);
        EXPECT_TRUE(ok.signed_with(u.s.key));
    }
}

TEST(SigningRequired, GuestSessionStillWorksUnsigned) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedOption signing("signing", "required");
    smb2::DirectConn dc;
    smb2::Session s = smb2::logon(dc); // no users: a guest
    ASSERT_TRUE(s.ok && s.guest) << s.error;
    EXPECT_EQ(dc.conn().sessions->must_sign, 0);
    smb2::Reply r = dc.process(smb2::request(s.header(SMB2_ECHO), smb2::echo_body()));
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    r = dc.process(smb2::tree_connect(s.header(SMB2_TREE_CONNECT), "\\\\h\\IPC$"));
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
}

TEST(SigningRequired, RequestsThatCannotBeSignedPassAndALaterNegotiateEndsTheConnection) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedUser alice("alice", "secret");
    UserConn u(kClientRequires);
    smb2::CounterWatch w;

    smb2::Reply again =
        u.dc.process(smb2::session_setup_request(u.s.next_mid++, u.s.session_id, {}));
    EXPECT_EQ(again.status(), STATUS_MORE_PROCESSING_REQUIRED)
        << "an unsigned SESSION_SETUP starts a re-authentication";
    EXPECT_EQ(u.dc.process(u.unsigned_req(SMB2_CANCEL, smb2::echo_body())).size(), 0u)
        << "a CANCEL is never answered, signed or not";
    EXPECT_EQ(u.dc.process(u.unsigned_req(SMB2_OPLOCK_BREAK, {})).status(),
              STATUS_INVALID_PARAMETER)
        << "refused for its empty body, not for its missing signature";
    EXPECT_EQ(w.delta(QV2_ST_BAD_SIGNATURE), 0);

    uint64_t mid = u.s.next_mid;
    expect_refused_like_a_bad_signature(u.dc.process(u.unsigned_req(SMB2_ECHO, smb2::echo_body())),
                                        mid);
    EXPECT_EQ(w.delta(QV2_ST_BAD_SIGNATURE), 1);

    // A NEGOTIATE that no longer asks for signing can't lift the rule: it
    // ends the connection, unanswered.
    smb2::Reply nego =
        u.dc.process(smb2::negotiate_request(u.s.next_mid++, {0x0210}, kClientSigns));
    EXPECT_EQ(nego.size(), 0u);
    EXPECT_EQ(u.dc.conn().closing, 1);
    EXPECT_EQ(u.dc.conn().sessions->must_sign, 1);
}

TEST(SigningRequired, OnlyASignedLogoffEndsTheSessionAndTheRuleWithIt) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedUser alice("alice", "secret");
    UserConn u(kClientRequires);
    qv2_conn &c = u.dc.conn();

    smb2::Reply r = u.dc.process(smb2::logoff_request(u.s.next_mid++, u.s.session_id));
    EXPECT_EQ(r.status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(c.session_count, 1) << "an injected LOGOFF must not end the session";

    r = u.dc.process(u.s.sign(smb2::logoff_request(u.s.next_mid++, u.s.session_id)));
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(c.sessions, nullptr);
    EXPECT_EQ(u.dc.process(u.unsigned_req(SMB2_ECHO, smb2::echo_body())).status(), STATUS_SUCCESS)
        << "no session left to protect";
}

TEST(SigningRequired, UnsignedCommandInsideASignedCompoundEndsTheMessageThere) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedOption signing("signing", "required");
    smb2::ScopedUser alice("alice", "secret");
    UserConn u(kClientSigns);
    Bytes first = u.unsigned_req(SMB2_ECHO, smb2::echo_body());
    Bytes second = u.unsigned_req(SMB2_ECHO, smb2::echo_body());
    Bytes third = u.unsigned_req(SMB2_ECHO, smb2::echo_body());
    Bytes msg = smb2::compound({first, second, third}, false, u.s.key);
    // Take the signature off the second request (each ECHO pads to 72 bytes).
    smb2::put_u32(msg, 72 + 16, smb2::get_u32(msg, 72 + 16) & ~0x8u);
    std::fill(msg.begin() + 72 + 48, msg.begin() + 72 + 64, 0);

    std::vector<smb2::Reply> parts = u.dc.process(msg).parts();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].status(), STATUS_SUCCESS);
    EXPECT_TRUE(parts[0].signed_with(u.s.key));
    EXPECT_EQ(parts[1].status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(parts[1].credit_charge(), 0u);
}
