// SMB 3 through the engine: the 3.1.1 negotiate contexts and what they
// settle, sealed messages (and every way one is refused), the encryption
// option's refusals, and the downgrade checks. Real clients cover the rest
// (tests/interop/smb3_test.py).
#include "support/smb2_client.h"
#include "support/smb2_ioctl.h"
#include "support/smb3_client.h"

#include "engine/engine.h"
#include "engine/nego_contexts.h"

#include <gtest/gtest.h>

#include <cstring>

using smb2::Bytes;

namespace {

constexpr uint16_t kGcm128 = 2, kCcm128 = 1, kGcm256 = 4, kCcm256 = 3;

// The messages a transport was sent, split at their session-service headers.
std::vector<Bytes> sent_messages(const smb2::ScriptedIo &io) {
    Bytes all;
    for (const Bytes &w : io.writes()) all.insert(all.end(), w.begin(), w.end());
    std::vector<Bytes> out;
    for (size_t at = 0; at + 4 <= all.size();) {
        size_t n = (size_t(all[at + 1]) << 16) | (size_t(all[at + 2]) << 8) | all[at + 3];
        out.emplace_back(all.begin() + long(at + 4), all.begin() + long(at + 4 + n));
        at += 4 + n;
    }
    return out;
}

// NEGOTIATE at 3.1.1 with these contexts through a fresh connection.
smb2::Reply negotiate(smb2::DirectConn &dc, const std::vector<Bytes> &contexts) {
    return dc.process(smb2::negotiate_311(0, contexts));
}

struct Smb3 : ::testing::Test {
    smb2::ScopedOption clock_{"clock", "1700000000"};
    smb2::ScopedOption dialect_{"max_dialect", "3.1.1"};
    smb2::ScopedUser alice_{"alice", "secret"};
};

} // namespace

TEST_F(Smb3, MalformedOrMissingNegotiateContextsRefuseTheNegotiate) {
    Bytes preauth = smb2::preauth_context();
    Bytes long_ctx = smb2::nego_context(2, smb2::Body().u16(1).u16(2).data());
    smb2::put_u16(long_ctx, 2, 200); // DataLength past the message
    struct Case {
        const char *what;
        std::vector<Bytes> contexts;
        uint32_t status;
    } cases[] = {
        {"no preauth context", {smb2::cipher_context({kGcm128})}, STATUS_INVALID_PARAMETER},
        {"two preauth contexts", {preauth, preauth}, STATUS_INVALID_PARAMETER},
        {"two cipher contexts",
         {preauth, smb2::cipher_context({1}), smb2::cipher_context({2})},
         STATUS_INVALID_PARAMETER},
        {"two signing contexts",
         {preauth, smb2::signing_context({1}), smb2::signing_context({2})},
         STATUS_INVALID_PARAMETER},
        {"no cipher in the list", {preauth, smb2::cipher_context({})}, STATUS_INVALID_PARAMETER},
        {"no hash in the list", {smb2::preauth_context({})}, STATUS_INVALID_PARAMETER},
        {"a context past the end", {preauth, long_ctx}, STATUS_INVALID_PARAMETER},
        {"no SHA-512", {smb2::preauth_context({7})}, STATUS_SMB_NO_PREAUTH_INTEGRITY_HASH_OVERLAP},
        {"an unknown context is skipped",
         {preauth, smb2::nego_context(0x77, Bytes(5, 1))},
         STATUS_SUCCESS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        smb2::DirectConn dc;
        smb2::Reply r = negotiate(dc, c.contexts);
        EXPECT_EQ(r.status(), c.status);
        EXPECT_EQ(dc.conn().closing, c.status != STATUS_SUCCESS ? 1 : 0);
    }
}

// The server's preference decides among what the client offers.
TEST_F(Smb3, CipherAndSigningAlgorithmAreTheServersFirstChoiceAmongTheOffered) {
    struct Case {
        std::vector<uint16_t> ciphers, signing;
        const char *encryption;
        uint16_t cipher, algorithm;
    } cases[] = {
        {{kCcm256, kCcm128, kGcm256, kGcm128}, {1, 2}, "enabled", kGcm128, SIGN_AES_GMAC},
        {{kCcm256, kCcm128}, {1}, "enabled", kCcm128, SIGN_AES_CMAC},
        {{kCcm256, kGcm256}, {0}, "enabled", kGcm256, SIGN_HMAC_SHA256},
        {{kCcm256}, {}, "enabled", kCcm256, SIGN_AES_CMAC},
        {{7}, {5}, "enabled", 0, SIGN_AES_CMAC}, // none in common: cipher 0
        {{kGcm128}, {2}, "off", 0, SIGN_AES_GMAC},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.encryption << " cipher " << c.cipher);
        smb2::ScopedOption enc("encryption", c.encryption);
        std::vector<Bytes> ctx = {smb2::preauth_context(), smb2::cipher_context(c.ciphers)};
        if (!c.signing.empty()) ctx.push_back(smb2::signing_context(c.signing));
        smb2::DirectConn dc;
        smb2::Reply r = negotiate(dc, ctx);
        ASSERT_EQ(r.status(), STATUS_SUCCESS);
        EXPECT_EQ(r.u16(68), 0x0311u);
        EXPECT_EQ(dc.conn().cipher, c.cipher);
        EXPECT_EQ(dc.conn().signing_algo, c.algorithm);
        EXPECT_EQ(r.u16(70), 1u + (std::string(c.encryption) == "off" ? 0u : 1u) +
                                 (c.signing.empty() ? 0u : 1u))
            << "the contexts answered: preauth, cipher (unless off), signing (when asked)";
    }
}

// A 3.1.1 NEGOTIATE's answer repeats in the simulation: its salt is derived
// there as the challenge is.
TEST_F(Smb3, SimulatedNegotiateAt311Repeats) {
    smb2::Script s;
    s.send(smb2::negotiate_311(0, {smb2::preauth_context(), smb2::cipher_context({kGcm128})}));
    smb2::Transcript a = smb2::run(s), b = smb2::run(s);
    ASSERT_EQ(a.replies.size(), 1u);
    EXPECT_EQ(a.replies[0].status(), STATUS_SUCCESS);
    EXPECT_EQ(a.text, b.text);
}

// Sealed messages at 3.0 (AES-128-CCM): a good one is answered sealed; any
// other ends the connection unanswered (MS-SMB2 3.3.5.2.1.1).
TEST_F(Smb3, SealedMessagesOpenOrEndTheConnection) {
    smb2::Session s = smb2::logon_script({.user = "alice",
                                          .password = "secret",
                                          .dialects = {0x0300},
                                          .capabilities = 0x40});
    ASSERT_TRUE(s.ok) << s.error;
    qv2_smb3_keys k = smb2::keys_300(s.key);
    Bytes echo = smb2::echo(s.next_mid, 1, s.session_id);
    struct Case {
        const char *what;
        Bytes msg;
        bool answered;
    } cases[] = {
        {"sealed right", smb2::seal(k, s.session_id, echo, 1), true},
        {"tag changed", smb2::seal(k, s.session_id, echo, 1), false},
        {"unknown session", smb2::seal(k, s.session_id + 2, echo, 1), false},
        {"flags 0", smb2::seal(k, s.session_id, echo, 1), false},
        {"size past the frame", smb2::seal(k, s.session_id, echo, 1), false},
        {"size short of the frame", smb2::seal(k, s.session_id, echo, 1), false},
        {"another session inside",
         smb2::seal(k, s.session_id, smb2::echo(s.next_mid, 1, s.session_id + 2), 1), false},
    };
    cases[1].msg[4] ^= 1;
    smb2::put_u16(cases[3].msg, 42, 0);
    smb2::put_u32(cases[4].msg, 36, uint32_t(echo.size() + 1));
    smb2::put_u32(cases[5].msg, 36, uint32_t(echo.size() - 1));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        smb2::ScriptedIo io;
        io.without_log();
        for (const Bytes &req : s.requests) io.data(smb2::nbss(req));
        io.data(smb2::nbss(c.msg)).data(smb2::nbss(smb2::echo(9)));
        io.run();
        std::vector<Bytes> out = sent_messages(io);
        ASSERT_EQ(out.size(), s.requests.size() + (c.answered ? 2 : 0));
        if (!c.answered) continue;
        Bytes reply = smb2::open(k, out[s.requests.size()]);
        ASSERT_FALSE(reply.empty()) << "the reply is sealed with the session's key";
        EXPECT_EQ(smb2::Reply(reply).status(), STATUS_SUCCESS);
        EXPECT_EQ(smb2::Reply(reply).command(), SMB2_ECHO);
    }
}

TEST_F(Smb3, RequiredEncryptionRefusesWhatCannotEncrypt) {
    smb2::ScopedOption enc("encryption", "required");
    smb2::ScopedOption guest("guest", "on");
    struct Case {
        const char *what;
        smb2::LogonParams p;
        uint32_t status;
    } cases[] = {
        {"2.1", {.user = "alice", .password = "secret", .dialects = {0x0210}},
         STATUS_ACCESS_DENIED},
        {"3.0 without CAP_ENCRYPTION", {.user = "alice", .password = "secret", .dialects = {0x0300}},
         STATUS_ACCESS_DENIED},
        {"a guest at 3.0", {.dialects = {0x0300}, .capabilities = 0x40}, STATUS_ACCESS_DENIED},
        {"a user at 3.0",
         {.user = "alice", .password = "secret", .dialects = {0x0300}, .capabilities = 0x40},
         STATUS_SUCCESS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        smb2::DirectConn dc;
        smb2::Session s = smb2::logon(dc, c.p);
        EXPECT_EQ(s.status, c.status);
        if (c.status != STATUS_SUCCESS) continue;
        EXPECT_EQ(s.replies.back().u16(66) & 0x4u, 0x4u) << "SESSION_FLAG_ENCRYPT_DATA";
        // Nothing in clear on that session.
        smb2::Reply t = dc.process(smb2::tree_connect(s.header(SMB2_TREE_CONNECT), "\\\\h\\IPC$"));
        EXPECT_EQ(t.status(), STATUS_ACCESS_DENIED);
    }
}

// At 3.1.1 a user's TREE_CONNECT must be signed or sealed.
TEST_F(Smb3, UnsignedTreeConnectOfA311UserIsRefused) {
    smb2::DirectConn dc;
    ASSERT_EQ(negotiate(dc, {smb2::preauth_context()}).status(), STATUS_SUCCESS);
    smb2::Session s = smb2::logon(dc, {.user = "alice",
                                       .password = "secret",
                                       .negotiate = false,
                                       .first_mid = 1});
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(s.replies.back().flags() & 0x8u, 0x8u) << "the final response is signed";
    smb2::Reply t = dc.process(smb2::tree_connect(s.header(SMB2_TREE_CONNECT), "\\\\h\\IPC$"));
    EXPECT_EQ(t.status(), STATUS_ACCESS_DENIED);
}

// MS-SMB2 3.3.5.15.12: at 3.x the client's description of its NEGOTIATE
// must match what the server received, or the connection ends.
TEST_F(Smb3, ValidateNegotiateAt30ComparesWhatTheNegotiateSaid) {
    auto input = [](uint32_t caps, uint16_t mode, std::vector<uint16_t> dialects) {
        smb2::Body b;
        b.u32(caps).bytes(Bytes{0x63, 0x6c, 0x69, 0x65, 0x6e, 0x74, 0x2d, 0x67, 0x75, 0x69, 0x64,
                                0x2d, 0x74, 0x65, 0x73, 0x74}); // the builder's ClientGuid
        b.u16(mode).u16(uint16_t(dialects.size()));
        for (uint16_t d : dialects) b.u16(d);
        return b.data();
    };
    struct Case {
        const char *what;
        Bytes in;
        bool kept;
    } cases[] = {
        {"the same", input(0x40, 0x01, {0x0202, 0x0300}), true},
        {"other capabilities", input(0x00, 0x01, {0x0202, 0x0300}), false},
        {"another security mode", input(0x40, 0x02, {0x0202, 0x0300}), false},
        {"a list that chooses 2.0.2", input(0x40, 0x01, {0x0202}), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        smb2::DirectConn dc;
        smb2::Session s = smb2::logon(dc, {.user = "alice",
                                           .password = "secret",
                                           .dialects = {0x0202, 0x0300},
                                           .capabilities = 0x40});
        ASSERT_TRUE(s.ok) << s.error;
        qv2_smb3_keys k = smb2::keys_300(s.key);
        smb2::Reply r = dc.process(smb2::sign_cmac(k, smb2::ioctl(
            s.header(SMB2_IOCTL),
            {.ctl = smb2::FSCTL_VALIDATE_NEGOTIATE_INFO, .fid = smb2::FID_NONE,
             .fid_volatile = smb2::FID_NONE, .input = c.in})));
        EXPECT_EQ(dc.conn().closing, c.kept ? 0 : 1);
        if (!c.kept) {
            EXPECT_EQ(r.size(), 0u) << "no answer";
            continue;
        }
        EXPECT_EQ(r.status(), STATUS_SUCCESS);
        EXPECT_EQ(smb2::sign_cmac(k, r.bytes()), r.bytes()) << "signed with AES-CMAC";
        EXPECT_EQ(smb2::get_u16(smb2::ioctl_output(r), 22), 0x0300u);
    }
}
