// Verifying AUTHENTICATE messages: complete client messages against the
// server's CHALLENGE, the session key with and without KEY_EXCH, and every
// refusal in the order the checks happen.
#include "dirir2i.h"
#include "security/qv2_crypto.h"
#include "foundation/qv2_trace.h"
#include "foundation/qv2_util.h"
#include "security/qv2_ntlm.h"
#include "support/ntlm_client.h"
#include "test_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

const char *const kServer = "KESTRAVONDLEX";
const uint8_t kChallenge[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
const int64_t kNow = 1700000000;

uint64_t filetime(int64_t unix_seconds) {
    return uint64_t(unix_seconds + 11644473600LL) * 10000000ULL;
}

struct Verdict {
    int rc;
    int guest;
    std::string key; // hex
    qv2_ntlm_reason why;
};

const std::string kZeroKey(32, '0');

bytes challenge_msg(const char *server = kServer, int64_t t = kNow) {
    qv2_buf b{};
    EXPECT_EQ(qv2_ntlm_type2(server, kChallenge, t, qv2_ntlm_offer(nullptr, 0), &b), 0);
    bytes m(b.data, b.data + b.len);
    qv2_buf_free(&b);
    return m;
}

NtlmClientParams alice() {
    NtlmClientParams p;
    p.user = "alice";
    p.password = "Secret123";
    p.domain = "WORKGROUP";
    return p;
}

NtlmAuth authenticate(const NtlmClientParams &p, const char *server = kServer) {
    NtlmAuth a;
    EXPECT_TRUE(ntlm_authenticate(p, challenge_msg(server), &a));
    return a;
}

// AV pairs naming `name` in both places, then `extra`, then MsvAvEOL.
bytes av_pairs(const std::string &dom, const std::string &comp, const bytes &extra = {}) {
    bytes b = ntlm_av_pair(NTLM_AV_NB_DOMAIN, ntlm_utf16(dom));
    bytes c = ntlm_av_pair(NTLM_AV_NB_COMPUTER, ntlm_utf16(comp));
    b.insert(b.end(), c.begin(), c.end());
    b.insert(b.end(), extra.begin(), extra.end());
    b.insert(b.end(), {0, 0, 0, 0});
    return b;
}

class NtlmVerify : public ::testing::Test {
  protected:
    int guest_allowed_ = 0; // the guest rule the verifier is given

    // Runs the verifier over an exactly sized copy of msg, so reading past it
    // is caught by the sanitizer build.
    Verdict verify(const bytes &msg, const char *user, const char *password, int timecheck = 1,
                   const char *server = kServer, int64_t now = kNow, uint64_t len = UINT64_MAX) {
        if (len == UINT64_MAX) len = msg.size();
        std::unique_ptr<uint8_t[]> copy(new uint8_t[len ? len : 1]);
        if (len) memcpy(copy.get(), msg.data(), len);
        Verdict v;
        uint8_t key[16];
        memset(key, 0xcc, 16);
        qv2_ntlm_check chk{kChallenge, server, now, timecheck, guest_allowed_};
        v.why = qv2_ntlm_type3(copy.get(), len, chk, user, password, key);
        // The outcome as the result codes the session setup acts on.
        switch (qv2_ntlm_outcome_of(v.why)) {
        case QV2_NTLM_USER: v.rc = 0, v.guest = 0; break;
        case QV2_NTLM_GUEST: v.rc = 0, v.guest = 1; break;
        case QV2_NTLM_NO_MATCH: v.rc = 1, v.guest = 0; break;
        case QV2_NTLM_MALFORMED: v.rc = -1, v.guest = 0; break;
        }
        v.key = hex(key, 16);
        return v;
    }

    Verdict verify_alice(const NtlmAuth &a, int timecheck = 1) {
        return verify(a.message, "alice", "Secret123", timecheck);
    }

    static void expect_refused(const Verdict &v, int rc = -1) {
        EXPECT_EQ(v.rc, rc);
        EXPECT_EQ(v.guest, 0);
        EXPECT_EQ(v.key, kZeroKey);
    }
};

} // namespace

TEST_F(NtlmVerify, RightPasswordIsVerifiedAndTheKeyIsTheSessionBaseKey) {
    NtlmAuth a = authenticate(alice());
    // Worked out independently for these inputs (user ALICE, domain WORKGROUP,
    // the client challenge and the server's timestamp).
    EXPECT_EQ(hex(a.nt_proof, 16), "e67a42e935eb6d698f20d418ef3537aa");
    EXPECT_EQ(hex(a.base_key, 16), "3678f19424e6fd8dd5ef7ce10f9f24bc");
    Verdict v = verify_alice(a);
    EXPECT_EQ(v.rc, 0);
    EXPECT_EQ(v.guest, 0);
    EXPECT_EQ(v.key, "3678f19424e6fd8dd5ef7ce10f9f24bc");
    EXPECT_EQ(v.key, hex(a.session_key, 16));
    EXPECT_EQ(v.why, QV2_NTLM_VERIFIED);
}

TEST_F(NtlmVerify, KeyExchangeHandsOverTheClientsExportedKey) {
    NtlmClientParams p = alice();
    p.key_exch = true;
    NtlmAuth a = authenticate(p);
    Verdict v = verify_alice(a);
    EXPECT_EQ(v.rc, 0);
    EXPECT_EQ(v.key, hex(p.exported_key, 16));
    EXPECT_NE(v.key, hex(a.base_key, 16));
}

TEST_F(NtlmVerify, KeyExchangeWithoutA16ByteEncryptedKeyIsRefused) {
    NtlmClientParams p = alice();
    p.key_exch = true;
    NtlmAuth a = authenticate(p);
    for (size_t n : {0u, 15u, 17u}) {
        NtlmAuthFields f = a.fields;
        f.enc_key.resize(n, 0x42);
        expect_refused(verify_alice(NtlmAuth{ntlm_auth_message(f), f, {}, {}, {}}));
    }
}

TEST_F(NtlmVerify, WrongPasswordDoesNotMatchThisUser) {
    NtlmClientParams p = alice();
    p.password = "secret123";
    Verdict v = verify_alice(authenticate(p));
    expect_refused(v, 1);
    EXPECT_EQ(v.why, QV2_NTLM_WRONG_PROOF);
}

TEST_F(NtlmVerify, AnotherUserNameDoesNotMatchThisUser) {
    NtlmClientParams p = alice();
    p.user = "bob";
    Verdict v = verify_alice(authenticate(p));
    expect_refused(v, 1);
    EXPECT_EQ(v.why, QV2_NTLM_OTHER_USER);
}

TEST_F(NtlmVerify, UserNameCaseIsIgnoredAndTheClientsDomainEntersTheHash) {
    NtlmClientParams p = alice();
    p.user = "ALICE";
    p.domain = "somewhere.example";
    EXPECT_EQ(verify_alice(authenticate(p)).rc, 0);
    // The domain is not matched against anything: an empty one works too.
    p.domain = "";
    EXPECT_EQ(verify_alice(authenticate(p)).rc, 0);
    // A user configured in capitals verifies a lower-case client.
    p.user = "alice";
    EXPECT_EQ(verify(authenticate(p).message, "ALICE", "Secret123").rc, 0);
}

TEST_F(NtlmVerify, EmptyConfiguredUserSkipsTheNameCheckButNotTheProof) {
    Verdict v = verify(authenticate(alice()).message, "", "");
    expect_refused(v, 1);
    EXPECT_EQ(v.why, QV2_NTLM_WRONG_PROOF);

    NtlmClientParams p;
    p.user = "";
    p.password = "";
    v = verify(authenticate(p).message, "", "");
    EXPECT_EQ(v.rc, 0);
    EXPECT_EQ(v.guest, 0);
    EXPECT_NE(v.key, kZeroKey);
}

TEST_F(NtlmVerify, EmptyNtResponseIsAnonymousWhateverTheGuestRule) {
    NtlmAuth a = authenticate(alice());
    NtlmAuthFields f = a.fields;
    f.nt.clear();
    f.lm.clear();
    for (const char *guest : {"off", "on"}) {
        guest_allowed_ = strcmp(guest, "on") == 0;
        Verdict v = verify_alice(NtlmAuth{ntlm_auth_message(f), f, {}, {}, {}});
        EXPECT_EQ(v.rc, 0);
        EXPECT_EQ(v.guest, 1);
        EXPECT_EQ(v.key, kZeroKey);
        EXPECT_EQ(v.why, QV2_NTLM_ANONYMOUS);
    }
}

TEST_F(NtlmVerify, AnonymousLogonWithoutExtendedSessionSecurityIsStillAGuest) {
    // Samba's anonymous AUTHENTICATE: NTLM and ANONYMOUS set, no extended
    // session security, empty user and responses.
    NtlmAuthFields f = authenticate(alice()).fields;
    f.nt.clear();
    f.lm.clear();
    f.user.clear();
    f.domain.clear();
    f.enc_key.clear();
    f.flags = 0x62000a05;
    Verdict v = verify(ntlm_auth_message(f), "", "");
    EXPECT_EQ(v.rc, 0);
    EXPECT_EQ(v.guest, 1);
    EXPECT_EQ(v.why, QV2_NTLM_ANONYMOUS);
}

TEST_F(NtlmVerify, ResponsesTooShortOrLongForNtlmv2AreGuestsOnlyWhenGuestsAreAllowed) {
    NtlmAuth a = authenticate(alice());
    for (size_t n : {24u, 47u, 1041u}) {
        NtlmAuthFields f = a.fields;
        f.nt.resize(n, 0x11);
        bytes msg = ntlm_auth_message(f);
        guest_allowed_ = 0;
        Verdict v = verify(msg, "alice", "Secret123");
        expect_refused(v);
        EXPECT_EQ(v.why, QV2_NTLM_RESPONSE_LENGTH);
        guest_allowed_ = 1;
        v = verify(msg, "alice", "Secret123");
        EXPECT_EQ(v.rc, 0);
        EXPECT_EQ(v.guest, 1);
        EXPECT_EQ(v.key, kZeroKey);
        EXPECT_EQ(v.why, QV2_NTLM_UNPROVEN_GUEST);
    }
}

TEST_F(NtlmVerify, ResponsesOf48And1040BytesAreVerified) {
    NtlmClientParams p = alice();
    p.blob_padding = 1040 - 16 - 108; // the blob is 28 + 76 AV bytes + 4 without padding
    NtlmAuth a = authenticate(p);
    ASSERT_EQ(a.fields.nt.size(), 1040u);
    EXPECT_EQ(verify_alice(a).rc, 0);

    // 48 bytes leave room for MsvAvEOL alone: past the length rule, stopped by the names.
    p = alice();
    p.replace_av_pairs = true;
    p.av_pairs = {0, 0, 0, 0};
    NtlmAuth small = authenticate(p);
    NtlmAuthFields f = small.fields;
    f.nt.resize(48);
    Verdict v = verify(ntlm_auth_message(f), "alice", "Secret123", 0);
    expect_refused(v);
    EXPECT_EQ(v.why, QV2_NTLM_DOMAIN_NAME);
}

TEST_F(NtlmVerify, MessagesTooShortOrOfAnotherKindAreRefused) {
    bytes msg = authenticate(alice()).message;
    Verdict v = verify(msg, "alice", "Secret123", 1, kServer, kNow, 31);
    expect_refused(v);
    EXPECT_EQ(v.why, QV2_NTLM_SHORT);

    uint8_t key[16];
    qv2_ntlm_check chk{kChallenge, kServer, kNow, 1, 0};
    EXPECT_EQ(qv2_ntlm_type3(nullptr, 100, chk, "alice", "x", key), QV2_NTLM_SHORT);
    chk.challenge = nullptr;
    EXPECT_EQ(qv2_ntlm_type3(msg.data(), msg.size(), chk, "alice", "x", key),
              QV2_NTLM_BAD_ARGUMENT);

    bytes bad_sig = msg;
    bad_sig[7] = ' ';
    v = verify(bad_sig, "alice", "Secret123");
    expect_refused(v);
    EXPECT_EQ(v.why, QV2_NTLM_SIGNATURE);

    bytes type1 = msg;
    type1[8] = 1;
    v = verify(type1, "alice", "Secret123");
    expect_refused(v);
    EXPECT_EQ(v.why, QV2_NTLM_NOT_AUTHENTICATE);
}

TEST_F(NtlmVerify, NtResponseFieldOutsideTheMessageIsRefused) {
    bytes msg = authenticate(alice()).message;
    bytes past = msg;
    qv2_put_le32(past.data() + 24, uint32_t(msg.size()) - 10); // NT offset near the end
    Verdict v = verify(past, "alice", "Secret123");
    expect_refused(v);
    std::string len = std::to_string(qv2_le16(msg.data() + 20));
    EXPECT_EQ(v.why, QV2_NTLM_NO_NT_RESPONSE);

    // Offsets near 2^32 must not wrap around.
    bytes wrap = msg;
    qv2_put_le32(wrap.data() + 24, 0xffffffffu);
    expect_refused(verify(wrap, "alice", "Secret123"));

    bytes zero_off = msg;
    qv2_put_le32(zero_off.data() + 24, 0);
    v = verify(zero_off, "alice", "Secret123");
    expect_refused(v);
    EXPECT_EQ(v.why, QV2_NTLM_NO_NT_RESPONSE);
}

TEST_F(NtlmVerify, MissingNegotiateFlagsAreRefused) {
    bytes msg = str_bytes(std::string("NTLMSSP\0", 8));
    msg.resize(62, 0);
    msg[8] = 3;
    qv2_put_le32(msg.data() + 24, 32); // empty NT response at offset 32
    Verdict v = verify(msg, "alice", "Secret123");
    expect_refused(v);
    EXPECT_EQ(v.why, QV2_NTLM_NO_FLAGS);
}

TEST_F(NtlmVerify, NtlmV1ProvesNoUserEvenWithTheRightProofButMayBeAGuest) {
    NtlmClientParams p = alice();
    p.flags = NTLM_CLIENT_FLAGS & ~NTLM_EXTENDED_SESSIONSECURITY;
    Verdict v = verify_alice(authenticate(p));
    expect_refused(v, 1);
    EXPECT_EQ(v.why, QV2_NTLM_NTLMV1);
    // While guests are admitted it is a guest logon, like any unproven one.
    guest_allowed_ = 1;
    v = verify_alice(authenticate(p));
    EXPECT_EQ(v.rc, 0);
    EXPECT_EQ(v.guest, 1);
    EXPECT_EQ(v.key, kZeroKey);
    guest_allowed_ = 0;
    // Without the NTLM bit as well, the same message goes on to be verified.
    p.flags &= ~NTLM_NTLM;
    EXPECT_EQ(verify_alice(authenticate(p)).rc, 0);
}

TEST_F(NtlmVerify, BlobOfAnotherVersionIsRefused) {
    NtlmAuth a = authenticate(alice());
    NtlmAuthFields f = a.fields;
    f.nt[16] = 2;
    Verdict v = verify(ntlm_auth_message(f), "alice", "Secret123");
    expect_refused(v);
    EXPECT_EQ(v.why, QV2_NTLM_BLOB_VERSION);
    f.nt[16] = 1;
    f.nt[17] = 0;
    EXPECT_EQ(verify(ntlm_auth_message(f), "alice", "Secret123").why, QV2_NTLM_BLOB_VERSION);
}

TEST_F(NtlmVerify, WireUserNameThatIsNotUtf16IsRefused) {
    NtlmAuth a = authenticate(alice());
    NtlmAuthFields f = a.fields;
    f.user.pop_back(); // odd length
    expect_refused(verify(ntlm_auth_message(f), "alice", "Secret123"));
    f.user = {0x00, 0xdc}; // lone low surrogate
    expect_refused(verify(ntlm_auth_message(f), "alice", "Secret123"));
    f.user = ntlm_utf16(std::string(129, 'a')); // longer than 128 bytes of UTF-8
    expect_refused(verify(ntlm_auth_message(f), "", ""));

    bytes msg = a.message;
    qv2_put_le32(msg.data() + 40, 0); // user name offset 0 with a non-zero length
    expect_refused(verify(msg, "alice", "Secret123"));
}

TEST_F(NtlmVerify, TimestampMustBeWithinTwoHoursOfNowWhenChecked) {
    struct {
        int64_t skew;
        int rc;
    } cases[] = {{0, 0}, {7200, 0}, {-7200, 0}, {7201, -1}, {-7201, -1}};
    for (const auto &c : cases) {
        NtlmClientParams p = alice();
        p.replace_av_pairs = true;
        p.av_pairs = av_pairs(kServer, kServer, ntlm_av_timestamp(filetime(kNow + c.skew)));
        NtlmAuth a = authenticate(p);
        Verdict v = verify_alice(a);
        EXPECT_EQ(v.rc, c.rc) << c.skew;
        if (c.rc != 0) expect_refused(v);
        EXPECT_EQ(verify_alice(a, 0).rc, 0) << c.skew;
    }
    // Far outside, including values whose seconds precede 1970.
    for (uint64_t ft : {1ULL, 10000000ULL, ~0ULL}) {
        NtlmClientParams p = alice();
        p.replace_av_pairs = true;
        p.av_pairs = av_pairs(kServer, kServer, ntlm_av_timestamp(ft));
        EXPECT_EQ(verify_alice(authenticate(p)).rc, -1) << ft;
    }
}

TEST_F(NtlmVerify, ZeroTimestampFailsTheTimeCheck) {
    // Otherwise a response collected once would stay valid for ever.
    NtlmClientParams p = alice();
    p.replace_av_pairs = true;
    p.av_pairs = av_pairs(kServer, kServer, ntlm_av_timestamp(0));
    NtlmAuth a = authenticate(p);
    expect_refused(verify_alice(a));
    EXPECT_EQ(verify_alice(a, 0).rc, 0);
}

TEST_F(NtlmVerify, MissingTimestampIsRefusedOnlyWhenTimeIsChecked) {
    NtlmClientParams p = alice();
    p.replace_av_pairs = true;
    p.av_pairs = av_pairs(kServer, kServer);
    NtlmAuth a = authenticate(p);
    Verdict v = verify_alice(a);
    expect_refused(v);
    EXPECT_EQ(v.why, QV2_NTLM_TIMESTAMP);
    EXPECT_EQ(verify_alice(a, 0).rc, 0);

    // A timestamp pair of the wrong size counts as missing.
    bytes four = ntlm_av_pair(NTLM_AV_TIMESTAMP, {1, 2, 3, 4});
    p.av_pairs = av_pairs(kServer, kServer, four);
    expect_refused(verify_alice(authenticate(p)));
}

TEST_F(NtlmVerify, EchoedServerNamesMatchIgnoringLetterCaseOnly) {
    NtlmClientParams p = alice();
    p.replace_av_pairs = true;
    bytes ts = ntlm_av_timestamp(filetime(kNow));

    p.av_pairs = av_pairs("kestravondlex", "KestraVondleX", ts);
    EXPECT_EQ(verify_alice(authenticate(p)).rc, 0);

    p.av_pairs = av_pairs("KESTRAVONDLEY", kServer, ts);
    Verdict v = verify_alice(authenticate(p));
    expect_refused(v);
    EXPECT_EQ(v.why, QV2_NTLM_DOMAIN_NAME);

    p.av_pairs = av_pairs("KESTRAVONDLE", kServer, ts);
    expect_refused(verify_alice(authenticate(p)));

    p.av_pairs = av_pairs(kServer, "OTHER", ts);
    v = verify_alice(authenticate(p));
    expect_refused(v);
    EXPECT_EQ(v.why, QV2_NTLM_COMPUTER_NAME);

    // An AV pair running past the blob ends the list.
    bytes over = ntlm_av_pair(NTLM_AV_NB_DOMAIN, ntlm_utf16(kServer));
    over[2] = 0xff;
    p.av_pairs = over;
    v = verify_alice(authenticate(p), 1);
    expect_refused(v);
    EXPECT_EQ(v.why, QV2_NTLM_TIMESTAMP) << "the list ends before any timestamp";
}

TEST_F(NtlmVerify, ServerNameDefaultsAndIsComparedAsConfigured) {
    NtlmAuth a = authenticate(alice());
    EXPECT_EQ(verify(a.message, "alice", "Secret123", 1, nullptr).rc, 0);
    EXPECT_EQ(verify(a.message, "alice", "Secret123", 1, "").rc, 0);
    EXPECT_EQ(verify(a.message, "alice", "Secret123", 1, "fileserver").rc, -1);

    std::string long_name(63, 'L');
    NtlmAuth l = authenticate(alice(), long_name.c_str());
    EXPECT_EQ(verify(l.message, "alice", "Secret123", 1, long_name.c_str()).rc, 0);
}

TEST_F(NtlmVerify, ItsTraceLinesAppearAtTheLowerTraceLevelToo) {
    NtlmClientParams p = alice();
    p.password = "wrong";
    NtlmAuth a = authenticate(p);
    int saved = qv2_trace_level();
    for (int level : {0, 1, 2}) {
        qv2_trace_set_level(level);
        testing::internal::CaptureStderr();
        EXPECT_EQ(verify_alice(a).why, QV2_NTLM_WRONG_PROOF);
        EXPECT_EQ(testing::internal::GetCapturedStderr().empty(), level == 0) << level;
    }
    qv2_trace_set_level(saved);
}

TEST_F(NtlmVerify, PasswordThatCannotBeHashedMatchesNothing) {
    // "caf\xe9" is not UTF-8: the NT hash can't be formed, and the all-zero
    // NTOWFv2 it would leave must not act as a key.
    NtlmAuth a = authenticate(alice());
    bytes proof_in(kChallenge, kChallenge + 8);
    proof_in.insert(proof_in.end(), a.fields.nt.begin() + 16, a.fields.nt.end());
    uint8_t zero_key[16] = {0};
    NtlmAuthFields f = a.fields;
    qv2_hmacmd5(zero_key, 16, proof_in.data(), proof_in.size(), f.nt.data());
    Verdict v = verify(ntlm_auth_message(f), "alice", "caf\xe9");
    expect_refused(v, 1);
}

namespace {

std::vector<bytes> g_wiped;
void copying_hook(void *buf, uint64_t len) {
    uint8_t *p = static_cast<uint8_t *>(buf);
    g_wiped.emplace_back(p, p + len);
    memset(p, 0, len);
}

bool was_wiped(const uint8_t secret[16]) {
    for (const bytes &w : g_wiped)
        for (size_t i = 0; i + 16 <= w.size(); i++)
            if (memcmp(w.data() + i, secret, 16) == 0) return true;
    return false;
}

} // namespace

TEST_F(NtlmVerify, SecretsAreWipedOnEveryWayOutAfterHashing) {
    uint8_t nt_hash[16], ntowf[16];
    ntlm_nt_hash("Secret123", nt_hash);
    ntlm_ntowfv2("Secret123", "alice", "WORKGROUP", ntowf);

    NtlmClientParams key_exch = alice();
    key_exch.key_exch = true;
    NtlmAuth kx = authenticate(key_exch);
    NtlmAuthFields short_key = kx.fields;
    short_key.enc_key.resize(15);
    NtlmClientParams wrong = alice();
    wrong.password = "nope";
    NtlmAuth ok = authenticate(alice());

    struct {
        const char *what;
        bytes msg;
        int rc;
        const uint8_t *base_key;
    } ways[] = {
        {"verified", ok.message, 0, ok.base_key},
        {"key exchange", kx.message, 0, kx.base_key},
        {"short exchanged key", ntlm_auth_message(short_key), -1, kx.base_key},
        {"wrong proof", authenticate(wrong).message, 1, nullptr},
    };
    for (const auto &w : ways) {
        g_wiped.clear();
        wipe_hook = copying_hook;
        Verdict v = verify(w.msg, "alice", "Secret123");
        wipe_hook = nullptr;
        EXPECT_EQ(v.rc, w.rc) << w.what;
        EXPECT_TRUE(was_wiped(nt_hash)) << w.what;
        EXPECT_TRUE(was_wiped(ntowf)) << w.what;
        if (w.base_key) {
            EXPECT_TRUE(was_wiped(w.base_key)) << w.what;
        }
        // The UTF-16LE password ("S\0e\0c\0r\0e\0t\0" ...) is wiped as well.
        bytes pw16 = ntlm_utf16("Secret123");
        bool pw_wiped = false;
        for (const bytes &b : g_wiped)
            pw_wiped |= b.size() >= pw16.size() && std::equal(pw16.begin(), pw16.end(), b.begin());
        EXPECT_TRUE(pw_wiped) << w.what;
    }
}

TEST_F(NtlmVerify, MicIsRequiredAndCheckedOnlyWhenTheBlobAnnouncesIt) {
    bytes neg = ntlm_negotiate_message();
    bytes chal = challenge_msg();
    NtlmClientParams p = alice();
    p.key_exch = true;
    p.mic = true;
    p.negotiate = neg;
    NtlmAuth a;
    ASSERT_TRUE(ntlm_authenticate(p, chal, &a));
    Verdict v = verify_alice(a);
    ASSERT_EQ(v.rc, 0);
    const uint8_t *key = a.session_key;
    auto check = [&](const bytes &msg, const bytes &n) {
        return qv2_ntlm_check_mic(msg.data(), msg.size(), n.data(), n.size(), chal.data(),
                                  chal.size(), key);
    };
    EXPECT_EQ(check(a.message, neg), 0);
    bytes spoilt = a.message;
    spoilt[80] ^= 1;
    EXPECT_EQ(check(spoilt, neg), -1);
    bytes other_neg = neg;
    other_neg[12] ^= 0x10; // a NEGOTIATE whose SIGN was stripped on the way
    EXPECT_EQ(check(a.message, other_neg), -1);

    // Without MsvAvFlags 0x2 nothing is checked: the MIC field is not there.
    p.mic = false;
    ASSERT_TRUE(ntlm_authenticate(p, chal, &a));
    bytes junk = a.message;
    junk[72] = 0xee;
    EXPECT_EQ(check(junk, neg), 0);
}
