// The SMB 3.1.1 negotiate contexts (MS-SMB2 2.2.3.1, 2.2.4.1): reading the
// client's list and writing the server's answer. Nothing here touches a
// connection, so the reader can be fed any bytes (the fuzz target does).
#pragma once

#include "foundation/qv2_util.h"

#include <cstdint>

enum : uint16_t {
    NCTX_PREAUTH_INTEGRITY = 0x0001,
    NCTX_ENCRYPTION = 0x0002,
    NCTX_COMPRESSION = 0x0003,
    NCTX_NETNAME = 0x0005,
    NCTX_TRANSPORT = 0x0006,
    NCTX_RDMA_TRANSFORM = 0x0007,
    NCTX_SIGNING = 0x0008,

    HASH_SHA512 = 0x0001,

    SIGN_HMAC_SHA256 = 0x0000,
    SIGN_AES_CMAC = 0x0001,
    SIGN_AES_GMAC = 0x0002,

    PREAUTH_SALT_LEN = 32,
    NCTX_LIST_MAX = 32, // ids kept of one list; a longer one is cut
};

// What the client's contexts offer. A list is kept in the client's order.
struct nego_offer {
    int preauth_sha512; // SHA-512 is among the hash algorithms
    int has_encryption; // an ENCRYPTION_CAPABILITIES context came
    uint16_t cipher_count;
    uint16_t ciphers[NCTX_LIST_MAX];
    int has_signing;
    uint16_t signing_count;
    uint16_t signing[NCTX_LIST_MAX];
};

// Reads `count` contexts at `offset` of the message `msg` (offsets count
// from the SMB2 header, as the request's NegotiateContextOffset does).
// Returns 0, or the NT status the NEGOTIATE is refused with (MS-SMB2
// 3.3.5.4): INVALID_PARAMETER for a list outside the message, a context
// running past it, no or a duplicate preauth, encryption or signing context,
// or an empty list in one; NO_PREAUTH_INTEGRITY_HASH_OVERLAP when SHA-512
// is not offered. Contexts of other types are skipped.
uint32_t nego_contexts_read(const uint8_t *msg, uint64_t len, uint32_t offset, uint16_t count,
                            nego_offer *out);

// The server's choices among an offer, in its own order of preference:
// AES-128-GCM, AES-128-CCM, AES-256-GCM, AES-256-CCM (0 when none is
// common, or `encryption_allowed` is 0); AES-GMAC, AES-CMAC, then
// HMAC-SHA256 (AES-CMAC answers a client that names none of them).
uint16_t nego_pick_cipher(const nego_offer *o, int encryption_allowed);
uint16_t nego_pick_signing(const nego_offer *o);

// Appends the response's contexts to b, each 8-byte aligned relative to
// the SMB2 header at `hdr_off`: the preauth integrity (SHA-512 and salt),
// the cipher when the client asked (`cipher` 0 answers "none in common"),
// and the signing algorithm when the client asked. The count written.
uint16_t nego_contexts_write(qv2_buf *b, uint64_t hdr_off, const uint8_t salt[PREAUTH_SALT_LEN],
                             const nego_offer *o, int answer_encryption, uint16_t cipher,
                             uint16_t signing);
