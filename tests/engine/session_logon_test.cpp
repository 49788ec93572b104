// User logons end to end through the simulation: the two SESSION_SETUP legs,
// the session key that signs the replies, failed logons, a second logon,
// LOGOFF, and the SessionId.
#include "support/ntlm_client.h"
#include "support/smb2_frames.h"
#include "support/smb2_requests.h"
#include "support/smb2_session.h"
#include "support/smb2_transport.h"

#include "config/qv2_cfg.h"
#include "engine/engine.h"
#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

using smb2::Bytes;
using smb2::Header;

namespace {

Bytes signed_echo(uint64_t mid, uint64_t sid, const uint8_t key[16]) {
    Bytes req =
        smb2::request(Header{.command = SMB2_ECHO, .mid = mid, .sid = sid}, smb2::echo_body());
    smb2::sign(req, key);
    return req;
}

NtlmClientParams client(const std::string &user, const std::string &password) {
    NtlmClientParams p;
    p.user = user;
    p.password = password;
    p.key_exch = true;
    return p;
}

} // namespace

TEST(SessionLogon, UserLogonAnsweringTheChallengeOfTheTranscriptLetsASignedEchoVerify) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedUser alice("alice", "secret");

    // First run: NEGOTIATE and the first leg, to learn the server's CHALLENGE.
    smb2::Script first;
    first.send(smb2::negotiate_request(0, {0x0202, 0x0210}));
    first.send(smb2::session_setup_request(1, 0, smb2::spnego_init(ntlm_negotiate_message())));
    smb2::Transcript t1 = smb2::run(first);
    ASSERT_EQ(t1.replies.size(), 2u);
    const smb2::Reply &leg1 = t1.replies[1];
    EXPECT_EQ(leg1.status(), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(leg1.u16(64), 9u);
    EXPECT_EQ(leg1.u16(66), 0u);
    EXPECT_EQ(leg1.u16(68), 72u);
    uint64_t sid = leg1.sid();
    EXPECT_EQ(sid & 1, 1u);
    Bytes token = smb2::security_buffer(leg1);
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(token[0], 0xa1) << "the CHALLENGE comes wrapped in a negTokenResp";
    Bytes challenge;
    ASSERT_TRUE(smb2::ntlm_from_token(token, &challenge));
    NtlmAuth auth;
    ASSERT_TRUE(ntlm_authenticate(client("alice", "secret"), challenge, &auth));

    // Second run: the same connection again, now with the AUTHENTICATE and a
    // signed ECHO.
    smb2::Script second = first;
    second.send(smb2::session_setup_request(2, sid, smb2::spnego_resp(auth.message)));
    second.send(signed_echo(3, sid, auth.session_key));
    smb2::CounterWatch w;
    smb2::Transcript t2 = smb2::run(second);
    ASSERT_EQ(t2.replies.size(), 4u);
    EXPECT_EQ(t2.replies[1].bytes(), leg1.bytes()) << "the clock option makes the run repeatable";
    const smb2::Reply &leg2 = t2.replies[2];
    EXPECT_EQ(leg2.status(), STATUS_SUCCESS);
    EXPECT_EQ(leg2.sid(), sid);
    EXPECT_EQ(leg2.u16(66), 0u) << "not a guest";
    // The client negotiated signing: accept-completed carries our
    // mechListMIC, which its keys must confirm.
    Bytes done = smb2::security_buffer(leg2);
    Bytes mic;
    ASSERT_TRUE(smb2::mech_list_mic_from_token(done, &mic));
    EXPECT_EQ(Bytes(done.begin(), done.begin() + 9), smb2::from_hex("a11b 3019 a003 0a0100"));
    uint8_t want[16];
    ntlm_mech_list_mic(auth.session_key, auth.fields.flags, true, smb2::spnego_mech_types(), want);
    EXPECT_EQ(mic, Bytes(want, want + 16));
    const smb2::Reply &echo = t2.replies[3];
    EXPECT_EQ(echo.status(), STATUS_SUCCESS);
    EXPECT_EQ(echo.flags(), 0x9u);
    EXPECT_TRUE(echo.signed_with(auth.session_key));
    EXPECT_EQ(w.delta(QV2_ST_SESSIONS), 2) << "the challenge leg counts too";
    EXPECT_EQ(w.delta(QV2_ST_GUEST_SESSIONS), 0);
    EXPECT_EQ(w.delta(QV2_ST_LOGON_FAILED), 0);
    EXPECT_EQ(w.delta(QV2_ST_BAD_SIGNATURE), 0);
}

TEST(SessionLogon, BareNtlmsspIsAnsweredBare) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedUser alice("alice", "secret");
    smb2::Session s = smb2::logon_script({.user = "alice", .password = "secret", .spnego = false});
    ASSERT_TRUE(s.ok) << s.error;
    Bytes challenge = smb2::security_buffer(s.replies[1]);
    ASSERT_GE(challenge.size(), 8u);
    EXPECT_EQ(Bytes(challenge.begin(), challenge.begin() + 8), smb2::from_hex("4e544c4d53535000"));
    EXPECT_EQ(s.replies[2].u16(70), 0u) << "no token after a bare logon";
    EXPECT_EQ(s.replies[2].size(), 64u + 8u);
}

// The third failed logon in a row ends the connection after its reply,
// unless another session of the connection is in use: one user's failures
// don't cut the others off.
TEST(SessionLogon, ThirdWrongPasswordEndsTheConnectionUnlessAnotherSessionIsInUse) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedUser alice("alice", "secret");
    for (bool other : {false, true}) {
        SCOPED_TRACE(other ? "beside a session in use" : "alone");
        smb2::DirectConn dc;
        uint64_t mid = 0;
        bool negotiate = true;
        if (other) {
            smb2::Session good = smb2::logon(dc, {.user = "alice", .password = "secret"});
            ASSERT_TRUE(good.ok) << good.error;
            mid = good.next_mid;
            negotiate = false;
        }
        smb2::CounterWatch w;
        for (int i = 0; i < 3; i++) {
            ASSERT_EQ(dc.conn().closing, 0) << i;
            smb2::Session s = smb2::logon(
                dc,
                {.user = "alice", .password = "wrong", .negotiate = negotiate, .first_mid = mid});
            ASSERT_FALSE(s.ok);
            // NT_STATUS_LOGON_FAILURE: clients tell the user the password is
            // wrong (0xC0000064 would tell them the account does not exist).
            EXPECT_EQ(s.status, 0xC000006Du);
            EXPECT_EQ(smb2::hex(s.replies.back().body()), "090000000000000000");
            mid = s.next_mid;
            negotiate = false;
        }
        EXPECT_EQ(dc.conn().closing, other ? 0 : 1);
        EXPECT_EQ(dc.conn().session_count, other ? 1 : 0) << "failed logons leave no session";
        EXPECT_EQ(w.delta(QV2_ST_LOGON_FAILED), 3);
    }
}

TEST(SessionLogon, LoginFailureLimitFollowsTheOption) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedOption limit("max_login_failures", "1");
    smb2::ScopedUser alice("alice", "secret");
    smb2::Session s = smb2::logon_script({.user = "alice", .password = "wrong"});
    smb2::Script script = s.script();
    script.send(smb2::echo(9));
    smb2::Transcript t = smb2::run(script);
    EXPECT_EQ(t.replies.size(), 3u);
}

// A SESSION_SETUP on a session that is logged on re-authenticates it
// (MS-SMB2 3.3.5.5.2): the session keeps its id and its key; a failed
// re-authentication ends it. A new logon gets a session of its own.
TEST(SessionLogon, SecondLogonOnASessionReauthenticatesIt) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedUser alice("alice", "secret");
    smb2::DirectConn dc;
    smb2::Session s = smb2::logon(dc, {.user = "alice", .password = "secret"});
    ASSERT_TRUE(s.ok) << s.error;
    smb2::Session again = smb2::logon(dc, {.user = "alice",
                                           .password = "secret",
                                           .negotiate = false,
                                           .first_mid = s.next_mid,
                                           .session_id = s.session_id});
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_EQ(again.replies[0].sid(), s.session_id);
    EXPECT_EQ(again.replies[1].sid(), s.session_id);
    EXPECT_EQ(dc.conn().session_count, 1);
    smb2::Reply echo = dc.process(signed_echo(again.next_mid++, s.session_id, s.key));
    EXPECT_EQ(echo.status(), STATUS_SUCCESS);
    EXPECT_TRUE(echo.signed_with(s.key)) << "the key of the first logon";

    smb2::Session other = smb2::logon(
        dc,
        {.user = "alice", .password = "secret", .negotiate = false, .first_mid = again.next_mid});
    ASSERT_TRUE(other.ok) << other.error;
    EXPECT_NE(other.session_id, s.session_id);
    EXPECT_EQ(dc.conn().session_count, 2);

    smb2::Session wrong = smb2::logon(dc, {.user = "alice",
                                           .password = "wrong",
                                           .negotiate = false,
                                           .first_mid = other.next_mid,
                                           .session_id = s.session_id});
    EXPECT_EQ(wrong.status, STATUS_LOGON_FAILURE);
    EXPECT_EQ(session_find(&dc.conn(), s.session_id), nullptr);
    EXPECT_NE(session_find(&dc.conn(), other.session_id), nullptr);
}

TEST(SessionLogon, LogoffEndsTheSessionAndALaterLogonGetsANewSessionId) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedUser alice("alice", "secret");
    smb2::DirectConn dc;
    smb2::Session s = smb2::logon(dc, {.user = "alice", .password = "secret"});
    ASSERT_TRUE(s.ok) << s.error;
    smb2::Reply off = dc.process(smb2::logoff_request(s.next_mid++, s.session_id));
    EXPECT_EQ(off.status(), STATUS_SUCCESS);
    EXPECT_EQ(smb2::hex(off.body()), "04000000");
    EXPECT_EQ(dc.process(signed_echo(s.next_mid++, s.session_id, s.key)).status(),
              STATUS_ACCESS_DENIED)
        << "no session to check a signature";
    smb2::Session later = smb2::logon(
        dc, {.user = "alice", .password = "secret", .negotiate = false, .first_mid = s.next_mid});
    ASSERT_TRUE(later.ok) << later.error;
    EXPECT_NE(later.session_id, s.session_id);
}

// A connection holds at most 64 sessions, a logon in progress included.
TEST(SessionLogon, SixtyFifthSessionIsInsufficientResources) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::DirectConn dc;
    ASSERT_EQ(dc.process(smb2::negotiate_request(0, {0x0210})).status(), STATUS_SUCCESS);
    std::set<uint64_t> ids;
    for (uint64_t mid = 1; mid <= 65; mid++) {
        smb2::Reply r = dc.process(smb2::session_setup_request(mid, 0, {}));
        if (mid <= 64) {
            ASSERT_EQ(r.status(), STATUS_MORE_PROCESSING_REQUIRED) << mid;
            ids.insert(r.sid());
        } else {
            EXPECT_EQ(r.status(), STATUS_INSUFFICIENT_RESOURCES);
        }
    }
    EXPECT_EQ(ids.size(), 64u) << "every session has its own id";
    EXPECT_EQ(dc.conn().session_count, 64);
}

// Binding a session to a second channel is an SMB 3 feature.
TEST(SessionLogon, BindingIsRefused) {
    smb2::DirectConn dc;
    ASSERT_EQ(dc.process(smb2::negotiate_request(0, {0x0210})).status(), STATUS_SUCCESS);
    Bytes bind = smb2::session_setup_request(1, 0, {});
    bind[64 + 2] = 0x01; // Flags: SMB2_SESSION_FLAG_BINDING
    EXPECT_EQ(dc.process(bind).status(), STATUS_REQUEST_NOT_ACCEPTED);
    EXPECT_EQ(dc.conn().sessions, nullptr);
}

// Two sessions on one connection, each with trees and opens: LOGOFF of one
// frees what it holds, counted, and leaves the other's.
TEST(SessionLogon, LogoffFreesOnlyItsOwnTreesAndOpens) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::DirectConn dc;
    smb2::Session a = smb2::logon(dc);
    ASSERT_TRUE(a.ok) << a.error;
    smb2::Session b = smb2::logon(dc, {.negotiate = false, .first_mid = a.next_mid});
    ASSERT_TRUE(b.ok) << b.error;
    ASSERT_NE(a.session_id, b.session_id);
    qv2_conn &c = dc.conn();
    ASSERT_EQ(c.session_count, 2);
    for (int i = 0; i < 6; i++) {
        qv2_session *owner = session_find(&c, i % 2 ? b.session_id : a.session_id);
        qv2_tree *t = static_cast<qv2_tree *>(calloc(1, sizeof(qv2_tree)));
        t->id = uint32_t(i + 1);
        t->sess = owner;
        t->next = c.tree_list;
        c.tree_list = t;
        qv2_stat_add(QV2_ST_TREES, 1);
        qv2_open *o = static_cast<qv2_open *>(calloc(1, sizeof(qv2_open)));
        o->id = uint64_t(i + 1);
        o->in_use = 1;
        o->sess = owner;
        o->next = c.open_list;
        c.open_list = o;
        c.open_count++;
    }
    smb2::CounterWatch w;
    smb2::Reply r = dc.process(smb2::logoff_request(b.next_mid++, a.session_id));
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(c.open_count, 3);
    EXPECT_EQ(c.session_count, 1);
    EXPECT_EQ(session_find(&c, a.session_id), nullptr);
    for (qv2_tree *t = c.tree_list; t; t = t->next)
        EXPECT_EQ(t->sess->id, b.session_id);
    for (qv2_open *o = c.open_list; o; o = o->next)
        EXPECT_EQ(o->sess->id, b.session_id);
    EXPECT_EQ(w.delta(QV2_ST_TREES), -3) << "the live trees went with the session";
    EXPECT_EQ(w.delta(QV2_ST_OPENS), 0);
    // The logged-off session is unknown now; the other goes on.
    EXPECT_EQ(dc.process(smb2::tree_connect(a.header(SMB2_TREE_CONNECT), "\\\\h\\IPC$")).status(),
              STATUS_USER_SESSION_DELETED);
    EXPECT_EQ(dc.process(smb2::logoff_request(b.next_mid++, b.session_id)).status(),
              STATUS_SUCCESS);
    EXPECT_EQ(c.open_list, nullptr);
    EXPECT_EQ(c.tree_list, nullptr);
    EXPECT_EQ(w.delta(QV2_ST_TREES), -6);
}

TEST(SessionLogon, SessionIdComesFromPeerConnectionNumberAndSecond) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::Session a = smb2::logon_script({}, "127.0.0.1");
    smb2::Session b = smb2::logon_script({}, "127.0.0.1");
    smb2::Session other = smb2::logon_script({}, "127.0.0.2");
    ASSERT_TRUE(a.ok && b.ok && other.ok);
    EXPECT_EQ(a.session_id, b.session_id);
    EXPECT_NE(a.session_id, other.session_id);

    // FNV-1a of the clock's 8 bytes, seeded with the hash of the peer text
    // (connection number 0), bit 0 set.
    const std::string peer = "127.0.0.1";
    uint64_t seed = smb2::fnv1a64(peer.data(), peer.size());
    uint8_t t[8];
    for (int i = 0; i < 8; i++)
        t[i] = uint8_t(1700000000ULL >> (8 * i));
    EXPECT_EQ(a.session_id, smb2::fnv1a64(t, 8, seed) | 1);
}
