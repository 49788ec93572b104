// Signature verification of requests and signing of replies on a connection
// whose session is set up.
#include "support/smb2_frames.h"
#include "support/smb2_transport.h"

#include "config/qv2_cfg.h"
#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

using smb2::Bytes;
using smb2::Header;

namespace {

const uint8_t kKey[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe,
                          0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
const uint8_t kOtherKey[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe,
                               0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xee};

constexpr uint64_t kSid = 0x1001; // DirectConn::authenticate's session

} // namespace

TEST(Signing, CorrectlySignedRequestGetsASignedReply) {
    smb2::DirectConn dc;
    dc.authenticate(kKey);
    Bytes req = smb2::echo(7, 1, kSid);
    smb2::sign(req, kKey);
    smb2::CounterWatch w;
    int send = 0;
    smb2::Reply r = dc.process(req, &send);
    EXPECT_EQ(send, 1);
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.flags(), 0x1u | 0x8u);
    EXPECT_TRUE(r.signed_with(kKey));
    EXPECT_EQ(w.delta(QV2_ST_BAD_SIGNATURE), 0);
    EXPECT_EQ(dc.last_message(), req) << "the request's signature is put back after checking";
}

TEST(Signing, UnsignedRequestGetsAnUnsignedReplyEvenWithASession) {
    smb2::DirectConn dc;
    dc.authenticate(kKey);
    smb2::Reply r = dc.process(smb2::echo(7, 1, kSid));
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.flags(), 0x1u);
    EXPECT_EQ(r.signature(), Bytes(16, 0));
}

TEST(Signing, WrongSignatureIsRefusedWithOneCredit) {
    smb2::DirectConn dc;
    dc.authenticate(kKey);
    Bytes req = smb2::echo(8, 20, kSid);
    smb2::sign(req, kOtherKey);
    smb2::CounterWatch w;
    smb2::Reply r = dc.process(req);
    EXPECT_EQ(r.status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(r.size(), 64u + 9u);
    EXPECT_EQ(r.credits(), 1u);
    EXPECT_EQ(r.credit_charge(), 0u);
    EXPECT_EQ(r.mid(), 8u);
    EXPECT_EQ(r.flags() & 0x8u, 0u) << "a refusal is not signed";
    EXPECT_EQ(w.delta(QV2_ST_BAD_SIGNATURE), 1);
}

TEST(Signing, TamperedBodyFailsVerification) {
    smb2::DirectConn dc;
    dc.authenticate(kKey);
    Bytes req = smb2::echo(8, 1, kSid);
    smb2::sign(req, kKey);
    req[66] ^= 1;
    EXPECT_EQ(dc.process(req).status(), STATUS_ACCESS_DENIED);
}

TEST(Signing, EveryReplyOfASignedCompoundVerifiesOverItsOwnBytes) {
    smb2::DirectConn dc;
    dc.authenticate(kKey);
    Bytes msg = smb2::compound(
        {smb2::echo(1, 1, kSid), smb2::echo(2, 1, kSid), smb2::echo(3, 1, kSid)}, true, kKey);
    smb2::Reply whole = dc.process(msg);
    std::vector<smb2::Reply> parts = whole.parts();
    ASSERT_EQ(parts.size(), 3u);
    for (size_t i = 0; i < parts.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(parts[i].status(), STATUS_SUCCESS);
        EXPECT_NE(parts[i].flags() & 0x8u, 0u);
        // A part includes its NextCommand link and its padding, as the
        // client's check of a compound reply expects.
        EXPECT_TRUE(parts[i].signed_with(kKey));
    }
    EXPECT_EQ(parts[0].size(), 72u);
}

TEST(Signing, BadSignatureInsideACompoundEndsTheMessageThere) {
    smb2::DirectConn dc;
    dc.authenticate(kKey);
    Bytes first = smb2::echo(1, 1, kSid);
    Bytes second = smb2::echo(2, 1, kSid);
    Bytes third = smb2::echo(3, 1, kSid);
    Bytes msg = smb2::compound({first, second, third}, false, kKey);
    msg[72 + 48] ^= 0xFF; // the second request's signature
    std::vector<smb2::Reply> parts = dc.process(msg).parts();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].status(), STATUS_SUCCESS);
    EXPECT_TRUE(parts[0].signed_with(kKey));
    EXPECT_EQ(parts[1].status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(parts[1].mid(), 2u);
}

TEST(Signing, SignedRequestWithoutSessionIsRefusedWithTheGrantedCredits) {
    smb2::DirectConn dc;
    Bytes req = smb2::echo(4, 30, kSid);
    smb2::sign(req, kKey);
    smb2::Reply r = dc.process(req);
    EXPECT_EQ(r.status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(r.credits(), 30u);
}

// Each session of a connection verifies and signs with its own key; a
// request signed with another session's key is a bad signature.
TEST(Signing, EachSessionOfAConnectionHasItsOwnKey) {
    smb2::DirectConn dc;
    dc.authenticate(kKey, kSid);
    dc.authenticate(kOtherKey, kSid + 2);
    struct Case {
        uint64_t sid;
        const uint8_t *signed_with, *owner;
    } cases[] = {{kSid, kKey, kKey},
                 {kSid + 2, kOtherKey, kOtherKey},
                 {kSid, kOtherKey, kKey},
                 {kSid + 2, kKey, kOtherKey}};
    uint64_t mid = 1;
    for (const Case &c : cases) {
        Bytes req = smb2::echo(mid++, 1, c.sid);
        smb2::sign(req, c.signed_with);
        smb2::Reply r = dc.process(req);
        if (c.signed_with == c.owner) {
            EXPECT_EQ(r.status(), STATUS_SUCCESS);
            EXPECT_TRUE(r.signed_with(c.owner));
        } else {
            EXPECT_EQ(r.status(), STATUS_ACCESS_DENIED);
        }
    }
}
