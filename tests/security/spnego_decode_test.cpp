// Taking client security buffers apart: GSS-framed negTokenInit,
// negTokenResp and bare NTLMSSP, and the DER headers under them.
#include "der_build.h"
#include "foundation/qv2_util.h"
#include "security/qv2_ntlm.h"
#include "support/ntlm_client.h"

#include <gtest/gtest.h>

namespace {

struct Decoded : qv2_spnego_token {
    int rc;
};

Decoded decode(const Bytes &blob) {
    Decoded d{};
    d.tok = reinterpret_cast<const uint8_t *>(1); // must be reset on entry
    d.toklen = 99;
    d.raw = 7;
    d.rc = qv2_spnego_decode(blob.data(), blob.size(), &d);
    return d;
}

Bytes part(const uint8_t *p, uint64_t n) {
    return p ? Bytes(p, p + n) : Bytes{};
}

int header(const Bytes &b, int *tag, uint64_t *len, uint64_t *pos = nullptr) {
    der_reader r{b.data(), b.size(), 0};
    int rc = der_tag(&r, tag, len);
    if (pos) *pos = r.pos;
    return rc;
}

const Bytes kNegotiate = ntlm_negotiate_message();

} // namespace

TEST(SpnegoDecode, InitGivesItsMechTokenAndTheExactMechanismListBytes) {
    Bytes blob = gss_init(cat({mech_types({kOidNegoex, kOidNtlm}), der(0xa2, der(0x04, kNegotiate)),
                               der(0xa3, der(0x04, Bytes(16, 0x11)))}));
    Decoded d = decode(blob);
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(part(d.tok, d.toklen), kNegotiate);
    EXPECT_EQ(d.raw, 0);
    // The mechListMIC covers MechTypeList, its SEQUENCE header included.
    EXPECT_EQ(part(d.mech_types, d.mech_types_len), der(0x30, cat({kOidNegoex, kOidNtlm})));
    // A mechToken that isn't an OCTET STRING is refused.
    EXPECT_EQ(decode(gss_init(cat({mech_types({kOidNtlm}), der(0xa2, der(0x03, kNegotiate))}))).rc,
              -1);
}

TEST(SpnegoDecode, InitWithoutNtlmAmongItsMechanismsIsRefusedWithMinusTwo) {
    EXPECT_EQ(decode(gss_init(mech_types({kOidKerberos, kOidMsKerberos}))).rc, -2);
    EXPECT_EQ(decode(gss_init(mech_types({}))).rc, -2);
    // mechTypes that isn't a constructed list.
    EXPECT_EQ(decode(gss_init(der(0xa0, kOidNtlm))).rc, -2);
}

TEST(SpnegoDecode, NtlmOidStraightInsideGssFramingMeansRawNtlm) {
    Decoded d = decode(der(0x60, cat({kOidNtlm, kNegotiate})));
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.raw, 1);
    EXPECT_EQ(d.tok, nullptr);
}

TEST(SpnegoDecode, InitCarryingReqFlagsIsRefused) {
    Bytes req_flags = der(0xa1, from_hex("03 02 07 80"));
    EXPECT_EQ(decode(gss_init(cat({mech_types({kOidNtlm}), req_flags}))).rc, -1);
    // A constructed element in that place is passed over.
    Decoded d = decode(gss_init(cat({mech_types({kOidNtlm}), der(0xa1, der(0x30, {}))})));
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.tok, nullptr);
}

TEST(SpnegoDecode, MalformedGssFramingIsRefused) {
    // Outer element empty, or running past the blob.
    EXPECT_EQ(decode(from_hex("60 00")).rc, -1);
    EXPECT_EQ(decode(from_hex("60 05 06 01 00")).rc, -1);
    // No [0] among the children.
    EXPECT_EQ(decode(der(0x60, kOidSpnego)).rc, -1);
    // [0] holding a primitive element.
    EXPECT_EQ(decode(der(0x60, cat({kOidSpnego, der(0xa0, from_hex("04 00"))}))).rc, -1);
    // An empty NegTokenInit asks for nothing: the challenge follows.
    EXPECT_EQ(decode(gss_init({})).rc, 0);
}

TEST(SpnegoDecode, NegTokenRespYieldsItsResponseToken) {
    Bytes auth = bytes_of(std::string("NTLMSSP\0\3\0\0\0authenticate", 24));
    Bytes blob = neg_resp(cat({der(0xa0, from_hex("0a 01 01")), der(0xa1, kOidNtlm),
                               der(0xa2, der(0x04, auth)), der(0xa3, der(0x04, Bytes(16, 2)))}));
    Decoded d = decode(blob);
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(d.raw, 0);
    ASSERT_EQ(d.toklen, auth.size());
    EXPECT_GE(d.tok, blob.data());
    EXPECT_LE(d.tok + d.toklen, blob.data() + blob.size());
    EXPECT_EQ(Bytes(d.tok, d.tok + d.toklen), auth);
    EXPECT_EQ(part(d.mic, d.miclen), Bytes(16, 2));

    // Without the SEQUENCE wrapper the children are read straight from [1].
    Bytes flat = der(0xa1, cat({der(0xa0, from_hex("0a 01 01")), der(0xa2, der(0x04, auth))}));
    d = decode(flat);
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(Bytes(d.tok, d.tok + d.toklen), auth);
}

TEST(SpnegoDecode, NegTokenRespWithoutAnOctetStringTokenIsRefused) {
    EXPECT_EQ(decode(neg_resp(cat({der(0xa0, from_hex("0a 01 01")), der(0xa1, kOidNtlm)}))).rc, -1);
    EXPECT_EQ(decode(neg_resp(der(0xa2, der(0x03, Bytes(4, 1))))).rc, -1);
    EXPECT_EQ(decode(neg_resp(der(0xa2, der(0x24, der(0x04, Bytes(4, 1)))))).rc, -1);
    EXPECT_EQ(decode(neg_resp(der(0xa2, {}))).rc, -1);
    EXPECT_EQ(decode(from_hex("a1 03 30 01")).rc, -1);
}

TEST(SpnegoDecode, BareNtlmMessagesOfAnyTypeAreTakenWhole) {
    for (uint8_t type : {1, 2, 3, 9}) {
        Bytes msg = bytes_of(std::string("NTLMSSP\0", 8));
        msg.insert(msg.end(), {type, 0, 0, 0});
        Decoded d = decode(msg);
        ASSERT_EQ(d.rc, 0);
        EXPECT_EQ(d.tok, msg.data());
        EXPECT_EQ(d.toklen, msg.size());
        EXPECT_EQ(d.raw, 1);
    }
    EXPECT_EQ(decode(bytes_of(std::string("NTLMSSP\0", 8))).rc, 0);
    EXPECT_EQ(decode(bytes_of("NTLMSSP")).rc, -1);
    EXPECT_EQ(decode(bytes_of("NTLMSSP!")).rc, -1);
    EXPECT_EQ(decode(Bytes{0x60}).rc, -1);
    EXPECT_EQ(decode(Bytes{}).rc, -1);
    qv2_spnego_token t;
    EXPECT_EQ(qv2_spnego_decode(nullptr, 10, &t), -1);
    Bytes bare = ntlm_negotiate_message();
    EXPECT_EQ(qv2_spnego_decode(bare.data(), bare.size(), nullptr), -1);
}

TEST(SpnegoDecode, LongLengthFormsUpToFourBytesAndTheIndefiniteMarker) {
    int tag;
    uint64_t len, pos;
    Bytes four = cat({from_hex("04 84 00 00 00 03"), Bytes(3, 9)});
    ASSERT_EQ(header(four, &tag, &len, &pos), 0);
    EXPECT_EQ(tag, 0x04);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(pos, 6u);
    // Four length bytes claiming more than is there.
    EXPECT_EQ(header(from_hex("04 84 00 01 00 00 00"), &tag, &len), -1);
    EXPECT_EQ(header(from_hex("04 84 ff ff ff ff"), &tag, &len), -1);
    // Five length bytes are never accepted, even when they fit.
    EXPECT_EQ(header(cat({from_hex("04 85 00 00 00 00 01"), Bytes(1, 0)}), &tag, &len), -1);
    // Length bytes missing.
    EXPECT_EQ(header(from_hex("04 82 01"), &tag, &len), -1);
    EXPECT_EQ(header(from_hex("04"), &tag, &len), -1);
    // 0x80 reads as an empty element.
    ASSERT_EQ(header(from_hex("30 80 00 00"), &tag, &len, &pos), 0);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(pos, 2u);
    // A two-byte form inside a whole token.
    Bytes auth = Bytes(300, 0x41);
    Decoded d = decode(neg_resp(der(0xa2, der(0x04, auth))));
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(d.toklen, 300u);
}

TEST(SpnegoDecode, HighTagNumberIdentifiersAreRefused) {
    int tag = 0;
    uint64_t len;
    EXPECT_EQ(header(from_hex("1f 01 00"), &tag, &len), -1);
    EXPECT_EQ(tag, 0x1f); // the identifier is stored even when refused
    EXPECT_EQ(header(from_hex("bf 01 00"), &tag, &len), -1);
    EXPECT_EQ(decode(neg_resp(cat({der(0xbf, {}), der(0xa2, der(0x04, Bytes(2, 0)))}))).rc, -1);
    der_reader empty{nullptr, 0, 0};
    EXPECT_EQ(der_tag(&empty, &tag, &len), -1);
}

TEST(SpnegoDecode, TheServersOwnTokensDecode) {
    qv2_buf b{};
    qv2_spnego_init_tok_nomect(nullptr, 0, &b);
    Decoded d = decode(Bytes(b.data, b.data + b.len));
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.tok, nullptr);
    qv2_buf_free(&b);

    Bytes challenge(124, 0x33);
    qv2_spnego_resp(challenge.data(), challenge.size(), &b);
    Bytes resp(b.data, b.data + b.len);
    qv2_buf_free(&b);
    d = decode(resp);
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(Bytes(d.tok, d.tok + d.toklen), challenge);
}
