// Records and constants of the SMB 3 cryptography (qv2_smb3_crypto.h): the
// cipher ids, sizes, and the contexts the engine keeps per session and per
// direction. The contexts hold libcrypto objects by pointer only, so no
// libcrypto header is needed to hold one. Zero-initialise a context before
// its first init; free it with its _free function.
#pragma once

#include <cstdint>

struct evp_cipher_ctx_st;
struct evp_mac_ctx_st;
struct evp_md_ctx_st;

// Cipher ids as MS-SMB2 2.2.3.1.2 numbers them.
enum : uint16_t {
    QV2_CIPHER_AES128_CCM = 1,
    QV2_CIPHER_AES128_GCM = 2,
    QV2_CIPHER_AES256_CCM = 3,
    QV2_CIPHER_AES256_GCM = 4,
};

enum : int {
    QV2_AES_MAC_LEN = 16,   // CMAC, GMAC and the AEAD tag
    QV2_CCM_NONCE_LEN = 11, // AES-CCM nonce in the TRANSFORM_HEADER's Nonce field
    QV2_GCM_NONCE_LEN = 12, // AES-GCM and AES-GMAC nonce
    QV2_SHA512_LEN = 64,    // also the preauth integrity hash value
    QV2_SMB3_KEY_MAX = 32,  // longest derived key (AES-256)
};

// The largest message one seal or open takes: above the 16 MiB a
// connection can ever receive, and within libcrypto's int lengths.
constexpr uint64_t QV2_AEAD_MAX_LEN = uint64_t(64) << 20;

// One piece of a message that lies in several buffers.
struct qv2_span {
    const void *data;
    uint64_t len;
};

// AES-128-CMAC with its key schedule set up once.
struct qv2_cmac_ctx {
    evp_mac_ctx_st *mac;
};

// AES-128-GMAC: AES-128-GCM with the key set up once, a nonce per message.
struct qv2_gmac_ctx {
    evp_cipher_ctx_st *gcm;
};

// Which way an AEAD context works. libcrypto's AES-NI CCM picks its block
// routine by direction when the key is set, so a context keyed for one
// direction cannot serve the other; the engine keeps one of each anyway.
enum : uint8_t { QV2_AEAD_OPEN = 0, QV2_AEAD_SEAL = 1 };

// One of the four AEAD ciphers keyed once for one direction.
struct qv2_aead_ctx {
    evp_cipher_ctx_st *evp;
    uint16_t cipher;
    uint8_t direction;
};

struct qv2_sha512_ctx {
    evp_md_ctx_st *md;
};

// A session's SMB 3 keys, seen from the server: `encryption` seals what the
// server sends, `decryption` opens what it receives (MS-SMB2 3.3.5.5.3).
struct qv2_smb3_keys {
    uint8_t signing[16];
    uint8_t application[16];
    uint8_t encryption[QV2_SMB3_KEY_MAX];
    uint8_t decryption[QV2_SMB3_KEY_MAX];
    uint8_t cipher_key_len; // 16 or 32: how much of encryption/decryption is key
};
