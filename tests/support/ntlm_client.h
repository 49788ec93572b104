// A small client side of NTLMv2 (MS-NLMP) for tests: the NEGOTIATE message,
// the AUTHENTICATE message answering a server's CHALLENGE, and the session
// key the client ends up with. Written apart from the server's verifier; it
// shares only the primitives qv2_md4, qv2_hmacmd5 and qv2_rc4, which are
// pinned by published vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using ntlm_bytes = std::vector<uint8_t>;

// NegotiateFlags bits.
constexpr uint32_t NTLM_UNICODE = 0x00000001;
constexpr uint32_t NTLM_REQUEST_TARGET = 0x00000004;
constexpr uint32_t NTLM_SIGN = 0x00000010;
constexpr uint32_t NTLM_NTLM = 0x00000200;
constexpr uint32_t NTLM_ALWAYS_SIGN = 0x00008000;
constexpr uint32_t NTLM_EXTENDED_SESSIONSECURITY = 0x00080000;
constexpr uint32_t NTLM_TARGET_INFO = 0x00800000;
constexpr uint32_t NTLM_128 = 0x20000000;
constexpr uint32_t NTLM_KEY_EXCH = 0x40000000;
constexpr uint32_t NTLM_56 = 0x80000000;
// What a typical NTLMv2 client announces (without KEY_EXCH).
constexpr uint32_t NTLM_CLIENT_FLAGS = NTLM_UNICODE | NTLM_REQUEST_TARGET | NTLM_SIGN | NTLM_NTLM |
                                       NTLM_ALWAYS_SIGN | NTLM_EXTENDED_SESSIONSECURITY |
                                       NTLM_TARGET_INFO | NTLM_128 | NTLM_56;

// AV pair ids.
constexpr uint16_t NTLM_AV_EOL = 0;
constexpr uint16_t NTLM_AV_NB_COMPUTER = 1;
constexpr uint16_t NTLM_AV_NB_DOMAIN = 2;
constexpr uint16_t NTLM_AV_TIMESTAMP = 7;

struct NtlmClientParams {
    std::string user;
    std::string password;
    std::string domain;
    std::string workstation = "TESTCLIENT";
    // Send KEY_EXCH and an encrypted exported session key.
    bool key_exch = false;
    // NegotiateFlags of the AUTHENTICATE; 0 means NTLM_CLIENT_FLAGS (plus
    // KEY_EXCH when key_exch is set).
    uint32_t flags = 0;
    uint8_t client_challenge[8] = {0x5a, 0x11, 0xc3, 0x07, 0x9e, 0x42, 0x6b, 0xd8};
    // The exported session key sent under KEY_EXCH (a real client draws it at random).
    uint8_t exported_key[16] = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                                0x98, 0xa9, 0xba, 0xcb, 0xdc, 0xed, 0xfe, 0x0f};
    // The blob's own TimeStamp when the CHALLENGE carries no MsvAvTimestamp.
    uint64_t timestamp = 0;
    // When set, these AV pairs go into the blob instead of the CHALLENGE's TargetInfo.
    bool replace_av_pairs = false;
    ntlm_bytes av_pairs;
    // Zero bytes appended to the blob (to reach a chosen NT response length).
    size_t blob_padding = 0;
    // Announce a MIC (MsvAvFlags 0x2) and send it: HMAC-MD5 with the
    // exported session key over `negotiate`, the CHALLENGE and the message.
    bool mic = false;
    ntlm_bytes negotiate;
};

// What a CHALLENGE message carries that the client needs.
struct NtlmChallenge {
    uint32_t flags = 0;
    uint8_t server_challenge[8] = {0};
    ntlm_bytes target_info;
};

// Field contents of an AUTHENTICATE message; names already in UTF-16LE.
struct NtlmAuthFields {
    ntlm_bytes lm, nt, domain, user, workstation, enc_key;
    uint32_t flags = 0;
};

struct NtlmAuth {
    ntlm_bytes message;      // the AUTHENTICATE message
    NtlmAuthFields fields;   // what went into it (tests alter and re-assemble it)
    uint8_t nt_proof[16];    // NTProofStr
    uint8_t base_key[16];    // session base key
    uint8_t session_key[16]; // exported session key: the signing key
};

// NEGOTIATE message (32 bytes, no domain or workstation).
ntlm_bytes ntlm_negotiate_message(uint32_t flags = NTLM_CLIENT_FLAGS | NTLM_KEY_EXCH);

// Reads a CHALLENGE message. False when it is not one or its TargetInfo
// lies outside it.
bool ntlm_parse_challenge(const uint8_t *msg, size_t len, NtlmChallenge *out);

// Builds the AUTHENTICATE message answering `challenge_msg`. False when that
// is not a CHALLENGE message.
bool ntlm_authenticate(const NtlmClientParams &p, const uint8_t *challenge_msg, size_t len,
                       NtlmAuth *out);
inline bool ntlm_authenticate(const NtlmClientParams &p, const ntlm_bytes &challenge_msg,
                              NtlmAuth *out) {
    return ntlm_authenticate(p, challenge_msg.data(), challenge_msg.size(), out);
}

// Assembles an AUTHENTICATE message (header, zero Version and MIC, then the
// payload: domain, user, workstation, LM, NT, session key).
ntlm_bytes ntlm_auth_message(const NtlmAuthFields &f);

// The SPNEGO mechListMIC over `mech_types` (MS-NLMP 3.4.4.2 with extended
// session security, sequence number 0), under the client's keys or, with
// from_server, the server's: what each side sends and the other checks.
void ntlm_mech_list_mic(const uint8_t exported[16], uint32_t flags, bool from_server,
                        const ntlm_bytes &mech_types, uint8_t out[16]);

// Small pieces, for building unusual messages by hand.
ntlm_bytes ntlm_utf16(const std::string &utf8); // UTF-8 to UTF-16LE
ntlm_bytes ntlm_av_pair(uint16_t id, const ntlm_bytes &value);
ntlm_bytes ntlm_av_timestamp(uint64_t filetime);
void ntlm_nt_hash(const std::string &password, uint8_t out[16]);
// NTOWFv2 over the upper-cased (ASCII) user and the domain.
void ntlm_ntowfv2(const std::string &password, const std::string &user, const std::string &domain,
                  uint8_t out[16]);
