// Every secret a user logon handles is wiped before its storage is left:
// the copies of the password (as configured and in UTF-16LE), the NT hash,
// NTOWFv2, the session base key, and the signing key the connection held.
// A hook records what each wipe covered at the moment of the wipe.
#include "support/ntlm_client.h"
#include "support/smb2_session.h"
#include "support/smb2_transport.h"

#include "security/qv2_crypto.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

std::vector<smb2::Bytes> g_wiped;

// Keeps what was about to be wiped, then wipes it as qv2_wipe would.
void recording_wipe(void *buf, uint64_t len) {
    auto *p = static_cast<uint8_t *>(buf);
    g_wiped.emplace_back(p, p + len);
    memset(p, 0, len);
}

struct WipeRecorder {
    WipeRecorder() {
        g_wiped.clear();
        wipe_hook = recording_wipe;
    }
    ~WipeRecorder() { wipe_hook = nullptr; }
};

// Some wipe covered these bytes, in one piece.
bool wiped(const smb2::Bytes &secret) {
    for (const smb2::Bytes &w : g_wiped)
        if (std::search(w.begin(), w.end(), secret.begin(), secret.end()) != w.end()) return true;
    return false;
}

smb2::Bytes bytes(const uint8_t *p, size_t n) {
    return smb2::Bytes(p, p + n);
}

// The NTProofStr of the AUTHENTICATE in the last SESSION_SETUP sent (its
// security buffer starts at offset 88).
smb2::Bytes nt_proof(const smb2::Session &s) {
    const smb2::Bytes &req = s.requests.back();
    smb2::Bytes auth;
    if (req.size() < 88 ||
        !smb2::ntlm_from_token(smb2::Bytes(req.begin() + 88, req.end()), &auth) || auth.size() < 28)
        return {};
    size_t off = smb2::get_u32(auth, 24);
    return off + 16 <= auth.size() ? smb2::Bytes(auth.begin() + off, auth.begin() + off + 16)
                                   : smb2::Bytes();
}

class LogonSecrets : public ::testing::Test {
  protected:
    smb2::ScopedOption clock_{"clock", "1700000000"};
    smb2::ScopedUser alice_{"alice", "Secret123"};

    // What the server derives from the configured password, whatever the
    // client sent.
    void expect_password_secrets_wiped() {
        uint8_t nt_hash[16], ntowf[16];
        ntlm_nt_hash("Secret123", nt_hash);
        ntlm_ntowfv2("Secret123", "alice", "", ntowf);
        const char pw[] = "Secret123";
        EXPECT_TRUE(wiped(bytes(reinterpret_cast<const uint8_t *>(pw), sizeof pw)))
            << "the copy of the configured password, with its terminator";
        EXPECT_TRUE(wiped(ntlm_utf16(pw))) << "the password in UTF-16LE";
        EXPECT_TRUE(wiped(bytes(nt_hash, 16))) << "the NT hash";
        EXPECT_TRUE(wiped(bytes(ntowf, 16))) << "NTOWFv2";
    }
};

} // namespace

TEST_F(LogonSecrets, UserLogonWipesPasswordCopiesHashesAndKeys) {
    WipeRecorder rec;
    smb2::Session s = smb2::logon_script({.user = "alice", .password = "Secret123"});
    ASSERT_TRUE(s.ok) << s.error;
    ASSERT_FALSE(s.guest);

    expect_password_secrets_wiped();
    uint8_t ntowf[16], base_key[16];
    ntlm_ntowfv2("Secret123", "alice", "", ntowf);
    smb2::Bytes proof = nt_proof(s);
    ASSERT_EQ(proof.size(), 16u);
    qv2_hmacmd5(ntowf, 16, proof.data(), 16, base_key);
    EXPECT_TRUE(wiped(bytes(base_key, 16))) << "the session base key";
    // With KEY_EXCH the signing key is the client's exported key: it is
    // wiped where the logon handled it and when the connection ends.
    EXPECT_TRUE(wiped(bytes(s.key, 16))) << "the signing key";
    EXPECT_GE(std::count(g_wiped.begin(), g_wiped.end(), bytes(s.key, 16)), 2)
        << "both the logon's copy and the connection's key";
}

TEST_F(LogonSecrets, FailedLogonWipesWhatTheServerDerivedFromThePassword) {
    WipeRecorder rec;
    smb2::Session s = smb2::logon_script({.user = "alice", .password = "wrong"});
    ASSERT_FALSE(s.ok);
    EXPECT_EQ(s.status, STATUS_LOGON_FAILURE);
    expect_password_secrets_wiped();
}
