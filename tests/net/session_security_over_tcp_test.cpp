// The session's security over real loopback TCP: a user who proves the
// password gets a keyed session while guests are on, required signing turns
// unsigned requests away, every connection gets a challenge of its own, and
// a folder swapped for a link after CREATE serves nothing from outside the
// share.
#include "support/loopback_client.h"
#include "net_fixture.h"

#include "config/qv2_cfg.h"
#include "engine/qv2_engine_types.h"
#include "files/scoped_share.h"
#include "support/ntlm_client.h"
#include "support/smb2_file_requests.h"
#include "support/smb2_requests.h"
#include "support/smb2_session.h"
#include "support/builders/tempdir.h"

#include <cstdio>
#include <string>
#include <unistd.h>

using namespace nettest;
using smb2::Bytes;

namespace {

class SessionSecurityOverTcp : public NetTest {
  protected:
    void SetUp() override {
        NetTest::SetUp();
        ASSERT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0) << dirir2i_last_error();
    }
    smb2::ScopedOption guest_{"guest", "on"};
};

Bytes echo_on(smb2::Session &s) {
    return smb2::request(s.header(SMB2_ECHO), smb2::echo_body());
}

} // namespace

TEST_F(SessionSecurityOverTcp, ProvenUserGetsAKeyedSessionAndRequiredSigningRefusesUnsigned) {
    smb2::ScopedOption signing("signing", "required");
    smb2::ScopedUser alice("alice", "secret");

    Conn user(dirir2i_port());
    smb2::Session s = user.logon({.user = "alice", .password = "secret"});
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_FALSE(s.guest);
    EXPECT_EQ(s.replies[2].u16(66), 0u);
    EXPECT_TRUE(s.replies[2].signed_with(s.key));
    long long bad = stat("bad_signature");
    smb2::Reply refused = user.exchange(echo_on(s));
    EXPECT_EQ(refused.status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(refused.credit_charge(), 0u);
    EXPECT_EQ(stat("bad_signature"), bad + 1);
    smb2::Reply ok = user.exchange(s.sign(echo_on(s)));
    EXPECT_EQ(ok.status(), STATUS_SUCCESS);
    EXPECT_TRUE(ok.signed_with(s.key));

    // Proving no user still gives a guest session, which has no key and
    // takes unsigned requests.
    for (const smb2::LogonParams &p : {smb2::LogonParams{.user = "alice", .password = "wrong"},
                                       smb2::LogonParams{.user = "nobody", .password = "secret"}}) {
        SCOPED_TRACE(p.user + "/" + p.password);
        Conn other(dirir2i_port());
        smb2::Session g = other.logon(p);
        ASSERT_TRUE(g.ok) << g.error;
        EXPECT_TRUE(g.guest);
        EXPECT_EQ(other.exchange(echo_on(g)).status(), STATUS_SUCCESS);
    }
}

TEST_F(SessionSecurityOverTcp, FreshChallengesMakeACapturedAuthenticateWorthlessElsewhere) {
    // The same second on both connections: a challenge derived from the name
    // and the time would repeat, and the captured AUTHENTICATE would verify.
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedOption no_guest("guest", "off"); // a failure is not softened into a guest
    smb2::ScopedUser alice("alice", "secret");
    auto first_leg = [](Conn &c, Bytes *challenge) {
        EXPECT_EQ(c.exchange(smb2::negotiate_request(0, {0x0210})).status(), STATUS_SUCCESS);
        smb2::Reply leg1 = c.exchange(
            smb2::session_setup_request(1, 0, smb2::spnego_init(ntlm_negotiate_message())));
        EXPECT_TRUE(smb2::ntlm_from_token(smb2::security_buffer(leg1), challenge));
        return leg1.sid();
    };
    Conn victim(dirir2i_port()), attacker(dirir2i_port());
    Bytes victim_challenge, attacker_challenge;
    uint64_t victim_sid = first_leg(victim, &victim_challenge);
    uint64_t attacker_sid = first_leg(attacker, &attacker_challenge);
    ASSERT_GE(victim_challenge.size(), 32u);
    ASSERT_GE(attacker_challenge.size(), 32u);
    EXPECT_NE(Bytes(victim_challenge.begin() + 24, victim_challenge.begin() + 32),
              Bytes(attacker_challenge.begin() + 24, attacker_challenge.begin() + 32));

    NtlmClientParams p;
    p.user = "alice";
    p.password = "secret";
    NtlmAuth auth;
    ASSERT_TRUE(ntlm_authenticate(p, victim_challenge, &auth));
    Bytes captured = smb2::spnego_resp(auth.message);
    EXPECT_EQ(attacker.exchange(smb2::session_setup_request(2, attacker_sid, captured)).status(),
              STATUS_LOGON_FAILURE);
    EXPECT_EQ(victim.exchange(smb2::session_setup_request(2, victim_sid, captured)).status(),
              STATUS_SUCCESS);
}

TEST_F(SessionSecurityOverTcp, FolderSwappedForALinkAfterCreateServesNothingFromOutside) {
    TempDir dir, outside;
    dir.write("sub/data.txt", "inside\n");
    dir.write("sub/list/a.txt", "a");
    outside.write("sub/data.txt", "OUTSIDE SECRET\n");
    outside.write("sub/list/secret.txt", "s");
    dir.write("plain.txt", "first\n");
    ScopedShare share("swaptcp", dir.path());

    Conn c(dirir2i_port());
    smb2::Session s = c.logon();
    ASSERT_TRUE(s.ok) << s.error;
    uint32_t tid =
        c.exchange(smb2::tree_connect(s.header(SMB2_TREE_CONNECT), "\\\\h\\swaptcp")).tid();
    auto open = [&](const std::string &name) {
        smb2::Reply r = c.exchange(smb2::create(s.header(SMB2_CREATE, tid), {.name = name}));
        EXPECT_EQ(r.status(), STATUS_SUCCESS) << name;
        return smb2::create_fid(r);
    };
    auto read = [&](uint64_t fid) {
        return c.exchange(smb2::read(s.header(SMB2_READ, tid), {.fid = fid, .length = 4096}));
    };
    uint64_t file = open("sub\\data.txt");
    uint64_t folder = open("sub\\list");
    uint64_t plain = open("plain.txt");

    ASSERT_EQ(rename(dir.join("sub").c_str(), dir.join("sub.orig").c_str()), 0);
    dir.symlink(outside.join("sub"), "sub");
    smb2::Reply r = read(file);
    EXPECT_EQ(r.status(), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(smb2::read_data(r).empty());
    smb2::Reply l =
        c.exchange(smb2::query_directory(s.header(SMB2_QUERY_DIRECTORY, tid), {.fid = folder}));
    EXPECT_EQ(l.status(), STATUS_ACCESS_DENIED);

    dir.write("plain.new", "second\n");
    ASSERT_EQ(rename(dir.join("plain.new").c_str(), dir.join("plain.txt").c_str()), 0);
    Bytes data = smb2::read_data(read(plain));
    EXPECT_EQ(std::string(data.begin(), data.end()), "second\n");
}
