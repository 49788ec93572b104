// The SMB 3 cryptography: AES-128-CMAC and AES-128-GMAC signing, the four
// AEAD ciphers of the TRANSFORM_HEADER, SHA-512 for the 3.1.1 preauth
// integrity hash, and the SP 800-108 key derivation, on libcrypto.
//
// Every function returns DIRIR2I_OK (0) or a negative DIRIR2I_E... code with
// the reason in the error slot; a libcrypto failure is DIRIR2I_ESYS, never
// an abort. The algorithms are fetched from libcrypto once per process, on
// first use, from whichever thread comes first. A context is used by one
// thread at a time; its key is set once by _init, so a message costs a
// re-start with a nonce, not a fetch or a key schedule. _free wipes the key
// material and may be called on a zeroed or already freed context.
#pragma once

#include "foundation/qv2_util.h" // qv2_wipe, qv2_ct_equal
#include "security/qv2_smb3_crypto_types.h"

// Fetches every algorithm now (the first message need not pay for it).
// DIRIR2I_ESYS when libcrypto lacks one of them; the answer never changes.
int qv2_smb3_crypto_ready(void);

// ---- AES-128-CMAC (RFC 4493; SMB 3.x signing, MS-SMB2 3.1.4.1) ----

int qv2_cmac_init(qv2_cmac_ctx *c, const uint8_t key[16]);
// The MAC of the concatenated pieces (nparts >= 0, a piece may be empty).
int qv2_cmac_sign(qv2_cmac_ctx *c, const qv2_span *parts, int nparts, uint8_t mac[16]);
// One-shot, for a key used once.
int qv2_cmac(const uint8_t key[16], const void *msg, uint64_t len, uint8_t mac[16]);
void qv2_cmac_free(qv2_cmac_ctx *c);

// ---- AES-128-GMAC (SMB 3.1.1 signing with the AES-GMAC algorithm) ----

int qv2_gmac_init(qv2_gmac_ctx *c, const uint8_t key[16]);
// The GCM tag of an empty plaintext whose additional data is the
// concatenated pieces, under a 12-byte nonce.
int qv2_gmac_sign(qv2_gmac_ctx *c, const uint8_t nonce[12], const qv2_span *parts, int nparts,
                  uint8_t mac[16]);
void qv2_gmac_free(qv2_gmac_ctx *c);

// ---- AEAD: AES-128/256-CCM and -GCM (MS-SMB2 3.1.4.3, RFC 4309/5084) ----

// Key length (16 or 32) and nonce length (11 for CCM, 12 for GCM) of a
// cipher id, or 0 for an id that is none of the four.
int qv2_aead_key_len(uint16_t cipher);
int qv2_aead_nonce_len(uint16_t cipher);
// Keys a context for seal (QV2_AEAD_SEAL) or open (QV2_AEAD_OPEN). keylen
// must be qv2_aead_key_len(cipher): DIRIR2I_EARG otherwise.
int qv2_aead_init(qv2_aead_ctx *c, uint16_t cipher, uint8_t direction, const uint8_t *key,
                  uint64_t keylen);
// Encrypts buf[0..len) in place and writes the 16-byte tag (a context
// keyed for QV2_AEAD_SEAL). nonce_len must
// be the cipher's nonce length; aad is authenticated, not encrypted (for
// SMB, the 32 TRANSFORM_HEADER bytes after its Signature). len is 1 to
// QV2_AEAD_MAX_LEN, aad_len 0 to QV2_AEAD_MAX_LEN. On any failure buf has
// been wiped, so no half-encrypted message can be sent.
int qv2_aead_seal(qv2_aead_ctx *c, const uint8_t *nonce, int nonce_len, const void *aad,
                  uint64_t aad_len, uint8_t *buf, uint64_t len, uint8_t tag[16]);
// Decrypts buf in place when `tag` authenticates nonce, aad and buf
// (checked in constant time; a context keyed for QV2_AEAD_OPEN). A message that does not
// authenticate gets DIRIR2I_EARG and buf wiped: no unauthenticated plaintext is left behind.
int qv2_aead_open(qv2_aead_ctx *c, const uint8_t *nonce, int nonce_len, const void *aad,
                  uint64_t aad_len, uint8_t *buf, uint64_t len, const uint8_t tag[16]);
void qv2_aead_free(qv2_aead_ctx *c);

// ---- SHA-512 (FIPS 180-4) and the 3.1.1 preauth integrity hash ----

int qv2_sha512(const void *data, uint64_t len, uint8_t out[64]);
// Starts a digest (a context that holds one restarts it).
int qv2_sha512_init(qv2_sha512_ctx *c);
int qv2_sha512_update(qv2_sha512_ctx *c, const void *data, uint64_t len);
// Writes the digest; _init again before further updates.
int qv2_sha512_final(qv2_sha512_ctx *c, uint8_t out[64]);
void qv2_sha512_free(qv2_sha512_ctx *c);
// One step of the preauth integrity chain (MS-SMB2 3.3.5.4, 3.3.5.5):
// hash = SHA-512(hash || message). Start from 64 zero bytes.
int qv2_preauth_hash_step(uint8_t hash[64], const void *msg, uint64_t len);

// ---- Key derivation (SP 800-108 counter mode, HMAC-SHA256; MS-SMB2 3.1.4.2) ----

// out = HMAC-SHA256(key, 00000001 || label || 00 || context || L)[0..out_len),
// with L = 8 * out_len as 32 bits big-endian. label is given as MS-SMB2
// lists it, its terminating NUL included ("SMB2AESCMAC\0", 12 bytes); the
// 00 after it is SP 800-108's separator. out_len is 16 or 32.
int qv2_smb3_kdf(const uint8_t *key, uint64_t keylen, const void *label, uint64_t label_len,
                 const void *context, uint64_t context_len, uint8_t *out, uint64_t out_len);
// The server's keys of a session (MS-SMB2 3.3.5.5.3): dialect 0x0300 and
// 0x0302 use the fixed contexts and AES-128-CCM; 0x0311 uses preauth, the
// session's final preauth integrity hash, and `cipher` (its key length and
// L). The signing and application keys are 16 bytes (L = 128). key is
// Session.SessionKey, 16 bytes with NTLM. DIRIR2I_EARG for another dialect,
// an unknown cipher, a 3.0.x dialect with a cipher other than AES-128-CCM,
// or a missing preauth hash with 3.1.1. out is wiped on failure.
int qv2_smb3_derive_keys(uint16_t dialect, uint16_t cipher, const uint8_t *key, uint64_t keylen,
                         const uint8_t *preauth, qv2_smb3_keys *out);
