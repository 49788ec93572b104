// SMB 3 per-session cryptography: the keys a logon derives, the message
// signatures of every dialect, and the TRANSFORM_HEADER that seals and opens
// encrypted messages (MS-SMB2 2.2.41, 3.1.4).
#include "engine/engine.h"
#include "engine/nego_contexts.h"
#include "security/qv2_crypto.h"
#include "security/qv2_smb3_crypto.h"

#include <cstring>

namespace {

enum : uint32_t {
    TRANSFORM_FLAG_ENCRYPTED = 0x0001,
    FLAG_SERVER_TO_REDIR = 0x00000001,
};

// The cipher whose key lengths the derivation uses when none was agreed:
// the keys then only sign.
uint16_t kdf_cipher(const qv2_conn *c) {
    if (c->cipher != 0) return c->cipher;
    return c->dialect == 0x0311 ? uint16_t(QV2_CIPHER_AES128_GCM) : uint16_t(QV2_CIPHER_AES128_CCM);
}

// The nonce of a sealed message: the session's counter, little-endian,
// then zeros (11 bytes are used with CCM, 12 with GCM).
void put_nonce(uint8_t nonce[16], uint64_t counter) {
    memset(nonce, 0, 16);
    qv2_put_le64(nonce, counter);
}

} // namespace

int smb3_session_keys(qv2_conn *c, qv2_session *s, const uint8_t session_key[16]) {
    qv2_smb3_keys keys;
    uint16_t cipher = kdf_cipher(c);
    if (qv2_smb3_derive_keys(uint16_t(c->dialect), cipher, session_key, 16, s->preauth, &keys) !=
        0)
        return -1;
    memcpy(s->signing_key, keys.signing, sizeof s->signing_key);
    int rc = 0;
    if (c->cipher != 0) {
        rc = qv2_aead_init(&s->seal, cipher, QV2_AEAD_SEAL, keys.encryption, keys.cipher_key_len);
        if (rc == 0)
            rc = qv2_aead_init(&s->open, cipher, QV2_AEAD_OPEN, keys.decryption,
                               keys.cipher_key_len);
        s->has_cipher_keys = rc == 0;
        s->nonce_next = 1;
    }
    qv2_wipe(&keys, sizeof keys);
    return rc == 0 ? 0 : -1;
}

void smb3_session_free(qv2_session *s) {
    qv2_aead_free(&s->seal);
    qv2_aead_free(&s->open);
    s->has_cipher_keys = 0;
}

void message_mac(const qv2_conn *c, const uint8_t key[16], const uint8_t *msg, uint64_t n,
                 uint8_t mac[16]) {
    memset(mac, 0, 16);
    if (c->dialect < 0x0300 || c->signing_algo == SIGN_HMAC_SHA256) {
        uint8_t full[32];
        qv2_hmac256(key, 16, msg, n, full);
        memcpy(mac, full, 16);
        qv2_wipe(full, sizeof full);
        return;
    }
    if (c->signing_algo == SIGN_AES_GMAC && n >= SMB2_HDR_LEN) {
        // MS-SMB2 3.1.4.1: the MessageId, then a bit for the server's role
        // and one for CANCEL.
        uint8_t nonce[12];
        memcpy(nonce, msg + 24, 8);
        uint32_t role = (qv2_le32(msg + 16) & FLAG_SERVER_TO_REDIR) ? 1u : 0u;
        if (msg[12] == SMB2_CANCEL) role |= 2u;
        qv2_put_le32(nonce + 8, role);
        qv2_gmac_ctx g{};
        qv2_span part{msg, n};
        if (qv2_gmac_init(&g, key) != 0 || qv2_gmac_sign(&g, nonce, &part, 1, mac) != 0)
            memset(mac, 0, 16);
        qv2_gmac_free(&g);
        return;
    }
    if (qv2_cmac(key, msg, n, mac) != 0) memset(mac, 0, 16);
}

void message_sign(const qv2_conn *c, const uint8_t key[16], uint8_t *msg, uint64_t n) {
    qv2_put_le32(msg + 16, qv2_le32(msg + 16) | SMB2_FLAG_SIGNED);
    memset(msg + 48, 0, 16);
    uint8_t mac[16];
    message_mac(c, key, msg, n, mac);
    memcpy(msg + 48, mac, 16);
    qv2_wipe(mac, sizeof mac);
}

int transform_seal(qv2_session *s, uint8_t hdr[TRANSFORM_HDR_LEN], uint8_t *data, uint64_t len) {
    if (!s || !s->has_cipher_keys || len == 0 || len > 0xFFFFFFFFu) return -1;
    // A key must never see a nonce twice; a session that used them all ends.
    if (s->nonce_next == ~uint64_t(0)) return -1;
    uint64_t counter = s->nonce_next++;
    memset(hdr, 0, TRANSFORM_HDR_LEN);
    hdr[0] = 0xFD;
    hdr[1] = 'S';
    hdr[2] = 'M';
    hdr[3] = 'B';
    put_nonce(hdr + 20, counter);
    qv2_put_le32(hdr + 36, uint32_t(len));
    qv2_put_le16(hdr + 42, TRANSFORM_FLAG_ENCRYPTED);
    qv2_put_le64(hdr + 44, s->id);
    int nonce_len = qv2_aead_nonce_len(s->seal.cipher);
    return qv2_aead_seal(&s->seal, hdr + 20, nonce_len, hdr + 20, 32, data, len, hdr + 4) == 0
               ? 0
               : -1;
}

int transform_open(qv2_conn *c, uint8_t *msg, uint64_t len, uint64_t cap, uint64_t *inner_len,
                   qv2_session **sess) {
    if (len < TRANSFORM_HDR_LEN) return -1;
    uint32_t size = qv2_le32(msg + 36);
    uint16_t flags = qv2_le16(msg + 42);
    qv2_session *s = session_find(c, qv2_le64(msg + 44));
    // MS-SMB2 3.3.5.2.1.1: anything but a whole, authentic message of a
    // session we hold keys for ends the connection.
    if (flags != TRANSFORM_FLAG_ENCRYPTED || size == 0 || size != len - TRANSFORM_HDR_LEN ||
        size > cap || !s || !s->valid || !s->has_cipher_keys)
        return -1;
    int nonce_len = qv2_aead_nonce_len(s->open.cipher);
    if (qv2_aead_open(&s->open, msg + 20, nonce_len, msg + 20, 32, msg + TRANSFORM_HDR_LEN, size,
                      msg + 4) != 0)
        return -1;
    *inner_len = size;
    *sess = s;
    return 0;
}
