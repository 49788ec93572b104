// The client's side of SMB 3 for tests: 3.1.1 NEGOTIATE requests with
// negotiate contexts, the session keys a client derives at 3.0, and sealing
// and opening TRANSFORM_HEADER messages with them.
//
//   smb2::Session s = smb2::logon_script({.user = "alice", .password = "pw",
//                                         .dialects = {0x0300}, .capabilities = 0x40});
//   smb2::Smb3Keys k = smb2::keys_300(s.key);
//   smb2::Bytes sealed = smb2::seal(k, s.session_id, smb2::echo(3, 1, s.session_id), 1);
#pragma once

#include "support/smb2_frames.h"

#include "security/qv2_smb3_crypto_types.h"

namespace smb2 {

// One negotiate context (its 8-byte header, then data).
Bytes nego_context(uint16_t type, const Bytes &data);
// PREAUTH_INTEGRITY with these hash ids and a 32-byte salt; ENCRYPTION and
// SIGNING with these ids.
Bytes preauth_context(const std::vector<uint16_t> &hashes = {1});
Bytes cipher_context(const std::vector<uint16_t> &ciphers);
Bytes signing_context(const std::vector<uint16_t> &algorithms);
// A NEGOTIATE offering 2.0.2 to 3.1.1 with these contexts (each already
// built), 8-byte aligned after the dialects.
Bytes negotiate_311(uint64_t mid, const std::vector<Bytes> &contexts,
                    uint16_t security_mode = 0x01, uint32_t capabilities = 0x40);

// The keys of a 3.0 or 3.0.2 session (AES-128-CCM) as the server holds them:
// a client seals with `decryption` and opens with `encryption`.
qv2_smb3_keys keys_300(const uint8_t session_key[16]);
// req signed with AES-128-CMAC and the session's signing key.
Bytes sign_cmac(const qv2_smb3_keys &k, Bytes req);
// msg sealed (AES-128-CCM, the client's key) behind a TRANSFORM_HEADER for
// session sid, with this nonce counter.
Bytes seal(const qv2_smb3_keys &k, uint64_t sid, const Bytes &msg, uint64_t nonce);
// A sealed message from the server opened; empty when it does not open.
Bytes open(const qv2_smb3_keys &k, const Bytes &sealed);

} // namespace smb2
