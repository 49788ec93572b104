// Who gets which session: the `guest` option x the configured users x
// signing (the server's option, the client's security mode) x the
// credentials, one row each. A user who proves the password gets a user
// session with a key that signs, even while guests are on; a message that
// proves no user falls back to a guest session only while guests are
// admitted and the client does not require signing; anything else is
// refused. Every row is checked for all that its outcome implies: flags,
// counters, signatures, the connection's state.
#include "support/ntlm_client.h"
#include "support/smb2_session.h"

#include "config/qv2_cfg.h"
#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

using smb2::Bytes;
using Tamper = smb2::LogonParams::Tamper;

namespace {

enum class Outcome { refused, guest, user };

struct Row {
    const char *what;
    const char *guest;   // the option
    const char *users;   // configured users, by name (alice:secret, bob:hunter2)
    const char *signing; // the server's option
    smb2::LogonParams p; // credentials, and the client's side
    Outcome want;
};

const char *password_of(const std::string &user) {
    return user == "alice" ? "secret" : "hunter2";
}

// NTLM without extended session security: an NTLMv1 client, never verified.
constexpr uint32_t kNtlmV1 = NTLM_CLIENT_FLAGS & ~NTLM_EXTENDED_SESSIONSECURITY;
constexpr uint16_t kRequires = 0x02; // the client's SecurityMode: signing required

// One row a line reads better than one field a line.
// clang-format off
const Row kRows[] = {
    // Without users, guests are admitted (auto), whatever name is sent.
    {"no users: anonymous", "auto", "", "enabled", {}, Outcome::guest},
    {"no users: any name", "auto", "", "enabled", {.user = "nobody", .password = "x"},
     Outcome::guest},
    {"guest off, no users", "off", "", "enabled", {}, Outcome::refused},
    {"users, auto: anonymous", "auto", "alice", "enabled", {}, Outcome::refused},
    {"users, off: anonymous", "off", "alice", "enabled", {}, Outcome::refused},
    // A guest session has no key: a client that requires signing can't have one.
    {"client requires signing", "auto", "", "enabled", {.security_mode = kRequires},
     Outcome::refused},
    {"both require signing", "auto", "", "required", {.security_mode = kRequires},
     Outcome::refused},
    {"server requires signing", "auto", "", "required", {}, Outcome::guest},
    // Guests on: every user of the table is tried before the guest fallback.
    {"guest on: alice", "on", "alice", "enabled", {.user = "alice", .password = "secret"},
     Outcome::user},
    {"guest on: alice, bare", "on", "alice", "enabled",
     {.user = "alice", .password = "secret", .spnego = false}, Outcome::user},
    {"guest on: bob of two", "on", "alice bob", "enabled", {.user = "bob", .password = "hunter2"},
     Outcome::user},
    {"guest on: wrong password", "on", "alice", "enabled", {.user = "alice", .password = "wrong"},
     Outcome::guest},
    {"guest on: unknown user", "on", "alice", "enabled",
     {.user = "mallory", .password = "secret"}, Outcome::guest},
    {"guest on: anonymous", "on", "alice", "enabled", {}, Outcome::guest},
    {"guest on: NTLMv1", "on", "alice", "enabled",
     {.user = "alice", .password = "secret", .key_exch = false, .auth_flags = kNtlmV1},
     Outcome::guest},
    {"guest off: NTLMv1", "off", "alice", "enabled",
     {.user = "alice", .password = "secret", .key_exch = false, .auth_flags = kNtlmV1},
     Outcome::refused},
    {"guest on, both require signing: alice", "on", "alice", "required",
     {.user = "alice", .password = "secret", .security_mode = kRequires}, Outcome::user},
    {"guest on, both require signing: wrong password", "on", "alice", "required",
     {.user = "alice", .password = "wrong", .security_mode = kRequires}, Outcome::refused},
    {"guest on, server requires signing: anonymous", "on", "alice", "required", {},
     Outcome::guest},
    // Users alone; who signs the final reply.
    {"alice", "auto", "alice", "enabled", {.user = "alice", .password = "secret"}, Outcome::user},
    {"alice, server requires signing", "auto", "alice", "required",
     {.user = "alice", .password = "secret"}, Outcome::user},
    {"alice, client requires signing", "auto", "alice", "enabled",
     {.user = "alice", .password = "secret", .security_mode = kRequires}, Outcome::user},
    // Without key exchange the session base key signs; names match in any case.
    {"BOB without key exchange", "auto", "bob", "enabled",
     {.user = "BOB", .password = "hunter2", .key_exch = false}, Outcome::user},
    // The MICs that bind the NTLM and SPNEGO messages; a spoilt one is no guest either.
    {"MICs", "on", "alice", "enabled", {.user = "alice", .password = "secret", .mic = true},
     Outcome::user},
    {"bare, NTLM MIC", "on", "alice", "enabled",
     {.user = "alice", .password = "secret", .spnego = false, .mic = true}, Outcome::user},
    {"spoilt NTLM MIC", "on", "alice", "enabled",
     {.user = "alice", .password = "secret", .mic = true, .tamper = Tamper::ntlm_mic},
     Outcome::refused},
    {"bare, spoilt NTLM MIC", "on", "alice", "enabled",
     {.user = "alice", .password = "secret", .spnego = false, .mic = true,
      .tamper = Tamper::ntlm_mic},
     Outcome::refused},
    {"spoilt mechListMIC", "on", "alice", "enabled",
     {.user = "alice", .password = "secret", .mic = true, .tamper = Tamper::mech_list_mic},
     Outcome::refused},
};
// clang-format on

} // namespace

TEST(LogonAdmission, EveryRowGetsItsSessionAndAllThatComesWithIt) {
    smb2::ScopedOption clock("clock", "1700000000");
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.what);
        smb2::ScopedOption guest("guest", row.guest);
        smb2::ScopedOption signing("signing", row.signing);
        std::vector<std::unique_ptr<smb2::ScopedUser>> users;
        std::istringstream names(row.users);
        for (std::string name; names >> name;)
            users.push_back(std::make_unique<smb2::ScopedUser>(name.c_str(), password_of(name)));

        smb2::DirectConn dc;
        smb2::CounterWatch w;
        smb2::Session s = smb2::logon(dc, row.p);
        // A refused logon leaves no session behind.
        const qv2_session *cs = dc.conn().sessions;
        const bool server_requires = std::string(row.signing) == "required";
        EXPECT_EQ(w.delta(QV2_ST_SIGN_REQUIRED_SESSIONS),
                  server_requires ? w.delta(QV2_ST_SESSIONS) + w.delta(QV2_ST_GUEST_SESSIONS) : 0);
        EXPECT_EQ(w.delta(QV2_ST_SESSIONS), row.want == Outcome::user ? 2 : 1)
            << "the challenge leg counts too";
        ASSERT_EQ(s.replies.size(), 3u) << s.error;
        const smb2::Reply &last = s.replies[2];
        EXPECT_EQ(s.replies[1].flags() & 0x8u, 0u) << "the challenge leg has no key yet";

        if (row.want == Outcome::refused) {
            EXPECT_FALSE(s.ok);
            EXPECT_EQ(s.status, STATUS_LOGON_FAILURE);
            EXPECT_EQ(smb2::hex(last.body()), "090000000000000000");
            EXPECT_EQ(cs, nullptr);
            EXPECT_EQ(w.delta(QV2_ST_LOGON_FAILED), 1);
            EXPECT_EQ(w.delta(QV2_ST_GUEST_SESSIONS), 0);
            continue;
        }
        ASSERT_TRUE(s.ok) << s.error;
        ASSERT_NE(cs, nullptr);
        EXPECT_EQ(cs->valid, 1);
        EXPECT_EQ(s.session_id & 1, 1u);
        EXPECT_EQ(w.delta(QV2_ST_LOGON_FAILED), 0);
        if (row.want == Outcome::guest) {
            EXPECT_TRUE(s.guest);
            EXPECT_EQ(cs->guest, 1);
            EXPECT_EQ(last.u16(66), 1u) << "SessionFlags: guest";
            EXPECT_EQ(w.delta(QV2_ST_GUEST_SESSIONS), 1);
            // No key: never signed, even while the server requires signing,
            // and no mechListMIC.
            EXPECT_EQ(cs->must_sign, 0);
            EXPECT_EQ(last.flags() & 0x8u, 0u);
            if (row.p.spnego) {
                EXPECT_EQ(smb2::security_buffer(last), smb2::from_hex("a107 3005 a003 0a0100"));
            }
            continue;
        }
        EXPECT_FALSE(s.guest);
        EXPECT_EQ(cs->guest, 0);
        EXPECT_EQ(last.u16(66), 0u) << "SessionFlags: not a guest";
        EXPECT_EQ(w.delta(QV2_ST_GUEST_SESSIONS), 0);
        // The final reply is signed when either side requires signing: the
        // client's check of it tells the client the server holds its key.
        const bool must_sign = server_requires || row.p.security_mode == kRequires;
        EXPECT_EQ(cs->must_sign, must_sign ? 1 : 0);
        EXPECT_EQ(last.flags() & 0x8u, must_sign ? 0x8u : 0u);
        if (must_sign) {
            EXPECT_TRUE(last.signed_with(s.key));
        }
        // The client negotiated signing: over SPNEGO our mechListMIC comes
        // back, made with the server-to-client keys.
        EXPECT_EQ(s.server_mic.size(), row.p.spnego ? 16u : 0u);
        EXPECT_EQ(s.server_mic_ok, row.p.spnego);
        // The key the client holds signs, and the server signs with it.
        smb2::Reply echo =
            dc.process(s.sign(smb2::request(s.header(SMB2_ECHO), smb2::echo_body())));
        EXPECT_EQ(echo.status(), STATUS_SUCCESS);
        EXPECT_EQ(echo.flags(), 0x9u);
        EXPECT_TRUE(echo.signed_with(s.key));
    }
}
