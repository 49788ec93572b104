// SMB 3.1.1 negotiate contexts: the client's list read, the server's written.
#include "engine/nego_contexts.h"

#include "engine/engine.h"

#include <cstring>

namespace {

enum : uint32_t { CTX_HDR = 8 }; // ContextType, DataLength, Reserved

// Reads a 16-bit count and that many 16-bit ids from d[0, n) at `at`,
// keeping at most NCTX_LIST_MAX. false when they don't fit or count is 0.
bool read_ids(const uint8_t *d, uint32_t n, uint32_t at, uint16_t count, uint16_t *ids,
              uint16_t *kept) {
    if (count == 0 || at > n || (n - at) / 2 < count) return false;
    *kept = count < NCTX_LIST_MAX ? count : uint16_t(NCTX_LIST_MAX);
    for (uint16_t i = 0; i < *kept; i++) ids[i] = qv2_le16(d + at + 2u * i);
    return true;
}

bool offered(const uint16_t *ids, uint16_t n, uint16_t id) {
    for (uint16_t i = 0; i < n; i++)
        if (ids[i] == id) return true;
    return false;
}

void pad8(qv2_buf *b, uint64_t hdr_off) {
    while ((b->len - hdr_off) % 8 && !b->failed) qv2_buf_byte(b, 0);
}

void context_header(qv2_buf *b, uint16_t type, uint16_t data_len) {
    w16(b, type);
    w16(b, data_len);
    w32(b, 0);
}

} // namespace

uint32_t nego_contexts_read(const uint8_t *msg, uint64_t len, uint32_t offset, uint16_t count,
                            nego_offer *out) {
    *out = nego_offer{};
    bool preauth = false;
    uint64_t pos = offset;
    for (uint16_t i = 0; i < count; i++) {
        if (i > 0) pos = (pos + 7) & ~uint64_t(7);
        if (pos > len || len - pos < CTX_HDR) return STATUS_INVALID_PARAMETER;
        uint16_t type = qv2_le16(msg + pos);
        uint16_t n = qv2_le16(msg + pos + 2);
        if (len - pos - CTX_HDR < n) return STATUS_INVALID_PARAMETER;
        const uint8_t *d = msg + pos + CTX_HDR;
        switch (type) {
        case NCTX_PREAUTH_INTEGRITY: {
            if (preauth || n < 4) return STATUS_INVALID_PARAMETER;
            preauth = true;
            uint16_t algs[NCTX_LIST_MAX], kept = 0;
            uint16_t salt = qv2_le16(d + 2);
            if (!read_ids(d, n, 4, qv2_le16(d), algs, &kept) ||
                n - 4u - 2u * qv2_le16(d) < salt)
                return STATUS_INVALID_PARAMETER;
            out->preauth_sha512 = offered(algs, kept, HASH_SHA512);
            break;
        }
        case NCTX_ENCRYPTION:
            if (out->has_encryption || n < 2 ||
                !read_ids(d, n, 2, qv2_le16(d), out->ciphers, &out->cipher_count))
                return STATUS_INVALID_PARAMETER;
            out->has_encryption = 1;
            break;
        case NCTX_SIGNING:
            if (out->has_signing || n < 2 ||
                !read_ids(d, n, 2, qv2_le16(d), out->signing, &out->signing_count))
                return STATUS_INVALID_PARAMETER;
            out->has_signing = 1;
            break;
        default: // compression, the server's name, transports: nothing to answer
            break;
        }
        pos += CTX_HDR + n;
    }
    if (!preauth) return STATUS_INVALID_PARAMETER;
    if (!out->preauth_sha512) return STATUS_SMB_NO_PREAUTH_INTEGRITY_HASH_OVERLAP;
    return 0;
}

uint16_t nego_pick_cipher(const nego_offer *o, int encryption_allowed) {
    static const uint16_t preference[] = {2, 1, 4, 3}; // GCM before CCM, 128 before 256
    if (!encryption_allowed || !o->has_encryption) return 0;
    for (uint16_t c : preference)
        if (offered(o->ciphers, o->cipher_count, c)) return c;
    return 0;
}

uint16_t nego_pick_signing(const nego_offer *o) {
    static const uint16_t preference[] = {SIGN_AES_GMAC, SIGN_AES_CMAC, SIGN_HMAC_SHA256};
    if (o->has_signing)
        for (uint16_t a : preference)
            if (offered(o->signing, o->signing_count, a)) return a;
    return SIGN_AES_CMAC;
}

uint16_t nego_contexts_write(qv2_buf *b, uint64_t hdr_off, const uint8_t salt[PREAUTH_SALT_LEN],
                             const nego_offer *o, int answer_encryption, uint16_t cipher,
                             uint16_t signing) {
    uint16_t n = 1;
    pad8(b, hdr_off);
    context_header(b, NCTX_PREAUTH_INTEGRITY, 4 + 2 + PREAUTH_SALT_LEN);
    w16(b, 1); // HashAlgorithmCount
    w16(b, PREAUTH_SALT_LEN);
    w16(b, HASH_SHA512);
    qv2_buf_put(b, salt, PREAUTH_SALT_LEN);
    if (o->has_encryption && answer_encryption) {
        pad8(b, hdr_off);
        context_header(b, NCTX_ENCRYPTION, 4);
        w16(b, 1); // CipherCount; cipher 0 says none is common
        w16(b, cipher);
        n++;
    }
    if (o->has_signing) {
        pad8(b, hdr_off);
        context_header(b, NCTX_SIGNING, 4);
        w16(b, 1);
        w16(b, signing);
        n++;
    }
    return n;
}
