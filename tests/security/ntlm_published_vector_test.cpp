// The NTLMv2 worked example of MS-NLMP (user "User", domain "Domain",
// password "Password"): hashes, proof and session base key.
#include "security/qv2_crypto.h"
#include "foundation/qv2_util.h"
#include "security/qv2_ntlm.h"
#include "support/ntlm_client.h"
#include "support/builders/wire.h"

#include <gtest/gtest.h>

#include <cstring>

using smb2::Bytes;
using smb2::bytes_of;
using smb2::from_hex;
using smb2::hex;

namespace {

const Bytes kServerChallenge = from_hex("0123456789abcdef");
const Bytes kClientChallenge = from_hex("aaaaaaaaaaaaaaaa");

// NbDomainName "Domain", NbComputerName "Server", MsvAvEOL.
Bytes example_target_info() {
    Bytes ti = ntlm_av_pair(NTLM_AV_NB_DOMAIN, ntlm_utf16("Domain"));
    Bytes comp = ntlm_av_pair(NTLM_AV_NB_COMPUTER, ntlm_utf16("Server"));
    ti.insert(ti.end(), comp.begin(), comp.end());
    ti.insert(ti.end(), {0, 0, 0, 0});
    return ti;
}

// The example's NTLMv2_CLIENT_CHALLENGE: time 0, client challenge aa..aa.
Bytes example_blob() {
    Bytes b = from_hex("0101000000000000"
                       "0000000000000000"
                       "aaaaaaaaaaaaaaaa"
                       "00000000");
    Bytes ti = example_target_info();
    b.insert(b.end(), ti.begin(), ti.end());
    b.insert(b.end(), {0, 0, 0, 0});
    return b;
}

// A CHALLENGE message carrying the example's challenge and target info.
Bytes example_challenge_message() {
    Bytes ti = example_target_info();
    Bytes m = bytes_of(std::string("NTLMSSP\0", 8));
    m.resize(48, 0);
    m[8] = 2;
    qv2_put_le32(m.data() + 20, 0xE2898233);
    memcpy(m.data() + 24, kServerChallenge.data(), 8);
    qv2_put_le16(m.data() + 40, uint16_t(ti.size()));
    qv2_put_le16(m.data() + 42, uint16_t(ti.size()));
    qv2_put_le32(m.data() + 44, 48);
    m.insert(m.end(), ti.begin(), ti.end());
    return m;
}

} // namespace

TEST(NtlmPublishedVector, HashesGiveThePublishedNtHashAndNtowfv2) {
    uint8_t nt[16], ntowf[16];
    qv2_ntlm_hashes_dom("User", "Domain", "Password", nt, ntowf);
    EXPECT_EQ(hex(nt, 16), "a4f49c406510bdcab6824ee7c30fd852");
    EXPECT_EQ(hex(ntowf, 16), "0c868a403bfd7a93a3001ef22ef02e3f");
    // The user name is upper-cased; the domain is taken as it is.
    qv2_ntlm_hashes_dom("uSeR", "Domain", "Password", nt, ntowf);
    EXPECT_EQ(hex(ntowf, 16), "0c868a403bfd7a93a3001ef22ef02e3f");
    qv2_ntlm_hashes_dom("User", "DOMAIN", "Password", nt, ntowf);
    EXPECT_NE(hex(ntowf, 16), "0c868a403bfd7a93a3001ef22ef02e3f");
}

TEST(NtlmPublishedVector, EmptyOrNullDomainHashesTheUserAlone) {
    uint8_t nt[16], a[16], b[16], c[16];
    qv2_ntlm_hashes("User", "Password", nt, a);
    qv2_ntlm_hashes_dom("User", nullptr, "Password", nt, b);
    qv2_ntlm_hashes_dom("User", "", "Password", nt, c);
    // HMAC-MD5(NT hash, UTF-16LE "USER"), worked out independently.
    EXPECT_EQ(hex(a, 16), "4cf86da43b3cd4785ab26bcee1e1884b");
    EXPECT_EQ(hex(b, 16), hex(a, 16));
    EXPECT_EQ(hex(c, 16), hex(a, 16));
}

TEST(NtlmPublishedVector, UnusablePasswordGivesZeroHashes) {
    uint8_t nt[16], ntowf[16];
    memset(nt, 1, 16);
    memset(ntowf, 1, 16);
    qv2_ntlm_hashes_dom("User", "Domain", "bad\xff", nt, ntowf);
    EXPECT_EQ(hex(nt, 16), std::string(32, '0'));
    EXPECT_EQ(hex(ntowf, 16), std::string(32, '0'));
}

TEST(NtlmPublishedVector, ProofAndSessionBaseKeyFollowFromNtowfv2) {
    uint8_t nt[16], ntowf[16];
    qv2_ntlm_hashes_dom("User", "Domain", "Password", nt, ntowf);
    Bytes in = kServerChallenge;
    Bytes blob = example_blob();
    in.insert(in.end(), blob.begin(), blob.end());
    uint8_t proof[16], base[16];
    qv2_hmacmd5(ntowf, 16, in.data(), in.size(), proof);
    EXPECT_EQ(hex(proof, 16), "68cd0ab851e51c96aabc927bebef6a1c");
    qv2_hmacmd5(ntowf, 16, proof, 16, base);
    EXPECT_EQ(hex(base, 16), "8de40ccadbc14a82f15cb0ad0de95ca3");
}

TEST(NtlmPublishedVector, TestClientReproducesTheExample) {
    NtlmClientParams p;
    p.user = "User";
    p.password = "Password";
    p.domain = "Domain";
    memset(p.client_challenge, 0xaa, 8);
    p.timestamp = 0;
    Bytes ch = example_challenge_message();
    NtlmAuth a;
    ASSERT_TRUE(ntlm_authenticate(p, ch, &a));
    EXPECT_EQ(hex(a.nt_proof, 16), "68cd0ab851e51c96aabc927bebef6a1c");
    EXPECT_EQ(hex(a.base_key, 16), "8de40ccadbc14a82f15cb0ad0de95ca3");
    EXPECT_EQ(hex(a.session_key, 16), hex(a.base_key, 16));
    Bytes nt(a.nt_proof, a.nt_proof + 16);
    Bytes blob = example_blob();
    nt.insert(nt.end(), blob.begin(), blob.end());
    EXPECT_EQ(hex(a.fields.nt), hex(nt));

    // The example's names differ from each other, so no server name can be
    // echoed in both: the server refuses it at the name check, not earlier.
    uint8_t key[16];
    qv2_ntlm_check chk{kServerChallenge.data(), "Server", 0, 0, 0};
    EXPECT_EQ(qv2_ntlm_type3(a.message.data(), a.message.size(), chk, "User", "Password", key),
              QV2_NTLM_DOMAIN_NAME);
}

TEST(NtlmPublishedVector, SessionKeysAndMessageSignatureOfTheExample) {
    // The example's exported session key (RandomSessionKey) and flags,
    // which include 128 and KEY_EXCH.
    const Bytes exported(16, 0x55);
    const uint32_t flags = 0xe28a8233;
    // The client sends it encrypted with the session base key.
    Bytes enc = exported;
    qv2_rc4_state rc4;
    qv2_rc4_init(&rc4, from_hex("8de40ccadbc14a82f15cb0ad0de95ca3").data(), 16);
    qv2_rc4(&rc4, enc.data(), 16);
    EXPECT_EQ(hex(enc), "c5dad2544fc9799094ce1ce90bc9d03e");

    qv2_ntlm_keys k;
    qv2_ntlm_session_keys(exported.data(), flags, &k);
    EXPECT_EQ(hex(k.client_seal, 16), "59f600973cc4960a25480a7c196e4c58");
    EXPECT_EQ(hex(k.client_sign, 16), "4788dc861b4782f35d43fd98fe1a2d39");

    // GSS_WrapEx of "Plaintext": the data is sealed first, then the
    // checksum is encrypted with the same RC4 handle.
    Bytes plain = ntlm_utf16("Plaintext");
    Bytes sealed = plain;
    qv2_rc4_init(&rc4, k.client_seal, 16);
    qv2_rc4(&rc4, sealed.data(), sealed.size());
    EXPECT_EQ(hex(sealed), "54e50165bf1936dc996020c1811b0f06fb5f");
    uint8_t sig[16];
    qv2_ntlm_mac(k.client_sign, &rc4, 0, plain.data(), plain.size(), sig);
    EXPECT_EQ(hex(sig, 16), "010000007fb38ec5c55d497600000000");

    // The test client's own mechListMIC agrees with the server's for both
    // directions (the pair is written apart from each other).
    Bytes mech_types = from_hex("300c060a2b06010401823702020a");
    for (int from_server : {0, 1}) {
        uint8_t ours[16], theirs[16];
        qv2_ntlm_mech_list_mic(exported.data(), flags, from_server, mech_types.data(),
                               mech_types.size(), ours);
        ntlm_mech_list_mic(exported.data(), flags, from_server != 0, mech_types, theirs);
        EXPECT_EQ(hex(ours, 16), hex(theirs, 16)) << from_server;
    }
}
