// SESSION_SETUP requests that are malformed: bad fixed fields, security
// buffers outside the message, tokens that don't decode, and AUTHENTICATE
// messages cut short or pointing outside themselves. Each gets its status and
// nothing is read outside the request.
#include "support/ntlm_client.h"
#include "support/smb2_frames.h"
#include "support/smb2_session.h"
#include "support/smb2_transport.h"

#include "config/qv2_cfg.h"
#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

using smb2::Bytes;
using smb2::Header;

namespace {

// A connection that has negotiated, so it holds a challenge.
struct Negotiated {
    smb2::DirectConn dc;
    Negotiated() { EXPECT_EQ(dc.process(smb2::negotiate_request(0, {0x0210})).status(), 0u); }
    smb2::Reply send(const Bytes &msg) {
        dc.conn().login_failures = 0; // keep the limit out of the way
        return dc.process(msg);
    }
    // Starts the logon of a new session: our CHALLENGE (its NTLM message in
    // *challenge). The session's id.
    uint64_t start(Bytes *challenge = nullptr) {
        smb2::Reply leg1 =
            send(smb2::session_setup_request(1, 0, smb2::spnego_init(ntlm_negotiate_message())));
        EXPECT_EQ(leg1.status(), STATUS_MORE_PROCESSING_REQUIRED);
        if (challenge) {
            EXPECT_TRUE(smb2::ntlm_from_token(smb2::security_buffer(leg1), challenge));
        }
        return leg1.sid();
    }
};

Bytes setup_with(uint16_t structure_size, uint16_t boff, uint16_t blen, const Bytes &tail) {
    smb2::Body b;
    b.u16(structure_size).u8(0).u8(1).u32(0).u32(0).u16(boff).u16(blen).u64(0).bytes(tail);
    return smb2::request(Header{.command = SMB2_SESSION_SETUP, .mid = 1}, b);
}

// An AUTHENTICATE for the CHALLENGE of a new session, whose id goes to *sid.
Bytes authenticate_for(Negotiated &n, const std::string &user, const std::string &password,
                       uint64_t *sid) {
    Bytes challenge;
    *sid = n.start(&challenge);
    NtlmClientParams p;
    p.user = user;
    p.password = password;
    NtlmAuth auth;
    EXPECT_TRUE(ntlm_authenticate(p, challenge, &auth));
    return auth.message;
}

bool is_failure(const smb2::Reply &r) {
    return (r.status() == STATUS_LOGON_FAILURE || r.status() == STATUS_INVALID_PARAMETER) &&
           smb2::hex(r.body()) == "090000000000000000";
}

} // namespace

TEST(SessionSetupInput, BadFixedFieldsAndBufferBoundsAreInvalidParameterWithoutABody) {
    Bytes token = smb2::spnego_init(ntlm_negotiate_message());
    struct Case {
        const char *what;
        Bytes msg;
    } cases[] = {
        {"StructureSize 24", setup_with(24, 88, uint16_t(token.size()), token)},
        {"StructureSize 27", setup_with(27, 88, uint16_t(token.size()), token)},
        {"fields cut before PreviousSessionId",
         smb2::request(Header{.command = SMB2_SESSION_SETUP},
                       smb2::Body().u16(25).u8(0).u8(1).u32(0).u32(0).u16(88).u16(0).u32(0))},
        {"offset inside the header", setup_with(25, 63, 4, token)},
        {"offset 0", setup_with(25, 0, 0, token)},
        {"buffer one byte past the end", setup_with(25, 88, uint16_t(token.size() + 1), token)},
        {"offset far past the end", setup_with(25, 0xFFFF, 1, token)},
        {"largest offset and length", setup_with(25, 0xFFFF, 0xFFFF, token)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Negotiated n;
        smb2::CounterWatch w;
        smb2::Reply r = n.send(c.msg);
        EXPECT_EQ(r.status(), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(r.size(), 64u + 9u);
        EXPECT_EQ(w.delta(QV2_ST_LOGON_FAILED), 0);
        EXPECT_EQ(n.dc.conn().sessions, nullptr);
    }
    // StructureSize 26 is taken, and a buffer ending exactly at the message end.
    Negotiated n;
    EXPECT_EQ(n.send(setup_with(26, 88, uint16_t(token.size()), token)).status(),
              STATUS_MORE_PROCESSING_REQUIRED);
}

TEST(SessionSetupInput, EmptySecurityBufferAsksForTheChallenge) {
    Negotiated n;
    smb2::Reply r = n.send(setup_with(25, 88, 0, {}));
    EXPECT_EQ(r.status(), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(r.sid() & 1, 1u);
    ASSERT_NE(n.dc.conn().sessions, nullptr);
    EXPECT_EQ(r.sid(), n.dc.conn().sessions->id);
    Bytes challenge;
    ASSERT_TRUE(smb2::ntlm_from_token(smb2::security_buffer(r), &challenge));
    EXPECT_EQ(smb2::security_buffer(r)[0], 0xa1) << "SPNEGO-wrapped";
}

TEST(SessionSetupInput, TokensThatAreNoUsableNtlmMessageFailTheLogon) {
    Bytes kerberos_only = smb2::from_hex("6018 06062b0601050502 a00e300c a00a3008 06062a864886f712");
    Bytes type2 = smb2::from_hex("4e544c4d53535000 02000000 0000000000000000");
    Bytes type7 = smb2::from_hex("4e544c4d53535000 07000000");
    Bytes signature_only = smb2::from_hex("4e544c4d53535000");
    struct Case {
        const char *what;
        Bytes buffer;
        uint32_t status;
    } cases[] = {
        {"one byte", smb2::from_hex("60"), STATUS_LOGON_FAILURE},
        {"not DER, not NTLMSSP", smb2::from_hex("300300000000"), STATUS_LOGON_FAILURE},
        {"GSS length past the buffer", smb2::from_hex("6084ffffffff06"), STATUS_LOGON_FAILURE},
        {"mechanisms without NTLMSSP", kerberos_only, STATUS_LOGON_FAILURE},
        {"negTokenResp holding no NTLMSSP", smb2::spnego_resp(smb2::from_hex("0102030405060708")),
         STATUS_LOGON_FAILURE},
        {"NTLMSSP without its zero byte", smb2::from_hex("4e544c4d53535001"), STATUS_LOGON_FAILURE},
        {"a CHALLENGE from the client", type2, STATUS_INVALID_PARAMETER},
        {"message type 7", smb2::spnego_resp(type7), STATUS_INVALID_PARAMETER},
        {"signature without a message type", signature_only, STATUS_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Negotiated n;
        smb2::CounterWatch w;
        smb2::Reply r = n.send(smb2::session_setup_request(1, 0, c.buffer));
        EXPECT_EQ(r.status(), c.status);
        EXPECT_TRUE(is_failure(r));
        EXPECT_EQ(w.delta(QV2_ST_LOGON_FAILED), 1);
        EXPECT_EQ(n.dc.conn().login_failures, 1);
    }
}

TEST(SessionSetupInput, MalformedAuthenticateIsInvalidParameterOnTheUserAndTheGuestPath) {
    for (bool with_user : {true, false}) {
        SCOPED_TRACE(with_user ? "user path" : "guest path");
        std::unique_ptr<smb2::ScopedUser> alice;
        if (with_user) alice = std::make_unique<smb2::ScopedUser>("alice", "secret");
        Negotiated n;
        // Each AUTHENTICATE answers a challenge of its own: one is used once.
        auto spoil = [](Bytes m, int how) {
            if (how == 0) m.resize(40);
            if (how == 1) smb2::put_u32(m, 12 + 8 + 4, 0xFFFFFFF0); // NtChallengeResponse offset
            if (how == 2) smb2::put_u16(m, 12 + 8, 0xFFFF);         // NtChallengeResponse length
            return m;
        };
        uint64_t sid = 0;
        for (int how = 0; how < 3; how++) {
            Bytes m = spoil(authenticate_for(n, "alice", "secret", &sid), how);
            smb2::Reply r = n.send(smb2::session_setup_request(2, sid, smb2::spnego_resp(m)));
            EXPECT_EQ(r.status(), STATUS_INVALID_PARAMETER);
            EXPECT_TRUE(is_failure(r));
            EXPECT_EQ(n.dc.conn().sessions, nullptr) << "the failed logon's session is gone";
        }
        // An untouched message still logs on.
        Bytes good = authenticate_for(n, "alice", "secret", &sid);
        smb2::Reply ok = n.send(smb2::session_setup_request(2, sid, smb2::spnego_resp(good)));
        EXPECT_EQ(ok.status(), STATUS_SUCCESS);
        EXPECT_EQ(ok.u16(66), with_user ? 0u : 1u);
    }
}

TEST(SessionSetupInput, AuthenticateCutAtEveryLengthNeverLogsOnOrReadsPastIt) {
    smb2::ScopedUser alice("alice", "secret");
    Negotiated n;
    uint64_t sid = 0;
    Bytes good = authenticate_for(n, "alice", "secret", &sid);
    n.send(smb2::logoff_request(3, sid)); // only the message is wanted
    for (size_t len = 0; len < good.size(); len++) {
        Bytes cut(good.begin(), good.begin() + len);
        for (bool spnego : {false, true}) {
            SCOPED_TRACE(testing::Message() << len << (spnego ? " spnego" : " bare"));
            // Each cut answers a live challenge of its own, so it is parsed.
            sid = n.start();
            smb2::Reply r = n.send(
                smb2::session_setup_request(2, sid, spnego ? smb2::spnego_resp(cut) : cut));
            // An empty token asks for the challenge again; anything else fails.
            if (len == 0) EXPECT_EQ(r.status(), STATUS_MORE_PROCESSING_REQUIRED);
            else EXPECT_TRUE(is_failure(r)) << std::hex << r.status();
            if (len == 0) n.send(smb2::logoff_request(3, sid));
            ASSERT_EQ(n.dc.conn().sessions, nullptr);
        }
    }
}

TEST(SessionSetupInput, RandomSecurityBuffersOnlyEverFailOrAskForTheChallenge) {
    smb2::ScopedUser alice("alice", "secret");
    std::mt19937 rng(20240611);
    Negotiated n;
    for (int i = 0; i < 2000; i++) {
        Bytes buf(rng() % 200);
        for (uint8_t &b : buf) b = uint8_t(rng());
        // Give most of them a plausible start so the decoders get past it.
        switch (i % 4) {
        case 0: if (buf.size() >= 2) buf[0] = 0x60; break;
        case 1: if (buf.size() >= 2) buf[0] = 0xa1; break;
        case 2:
            if (buf.size() >= 12) {
                memcpy(buf.data(), "NTLMSSP", 8);
                buf[8] = 3, buf[9] = buf[10] = buf[11] = 0;
            }
            break;
        default: break;
        }
        uint64_t sid = n.start();
        smb2::Reply r = n.send(smb2::session_setup_request(2, sid, buf));
        uint32_t st = r.status();
        ASSERT_TRUE(is_failure(r) || st == STATUS_MORE_PROCESSING_REQUIRED)
            << i << " " << smb2::hex(buf) << " " << std::hex << st;
        if (st == STATUS_MORE_PROCESSING_REQUIRED) n.send(smb2::logoff_request(3, sid));
        ASSERT_EQ(n.dc.conn().sessions, nullptr);
    }
}
