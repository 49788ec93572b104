// Fuzz target: what an SMB 3 client sends before anything else can look at
// it. The first byte picks the reader:
//   0: the 3.1.1 negotiate contexts of a NEGOTIATE request (the rest is the
//      message, its context offset and count where a request has them);
//      every choice made from them must be one the server offers.
//   1: a sealed message (TRANSFORM_HEADER and all) for a 3.0 session whose
//      keys are fixed; whatever opens must lie inside the input.
#include "engine/engine.h"
#include "engine/nego_contexts.h"
#include "security/qv2_smb3_crypto.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

qv2_conn *connection() {
    static qv2_conn *c = [] {
        auto *conn = static_cast<qv2_conn *>(calloc(1, sizeof(qv2_conn)));
        conn->dialect = 0x0300;
        conn->cipher = QV2_CIPHER_AES128_CCM;
        qv2_session *s = session_create(conn, 0x1111);
        static const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        if (!s || smb3_session_keys(conn, s, key) != 0) abort();
        s->valid = 1;
        return conn;
    }();
    return c;
}

void contexts(const uint8_t *msg, size_t len) {
    if (len < SMB2_HDR_LEN + 36) return;
    nego_offer o;
    uint32_t status = nego_contexts_read(msg, len, qv2_le32(msg + SMB2_HDR_LEN + 28),
                                         qv2_le16(msg + SMB2_HDR_LEN + 32), &o);
    if (status != 0 && status != STATUS_INVALID_PARAMETER &&
        status != STATUS_SMB_NO_PREAUTH_INTEGRITY_HASH_OVERLAP)
        abort();
    if (o.cipher_count > NCTX_LIST_MAX || o.signing_count > NCTX_LIST_MAX) abort();
    uint16_t cipher = nego_pick_cipher(&o, 1);
    uint16_t signing = nego_pick_signing(&o);
    if (cipher > QV2_CIPHER_AES256_GCM || signing > SIGN_AES_GMAC) abort();
    qv2_buf b{};
    uint8_t salt[PREAUTH_SALT_LEN] = {};
    nego_contexts_write(&b, 0, salt, &o, 1, cipher, signing);
    qv2_buf_free(&b);
}

void sealed(const uint8_t *data, size_t len) {
    std::vector<uint8_t> buf(data, data + len);
    uint64_t inner = 0;
    qv2_session *s = nullptr;
    if (transform_open(connection(), buf.data(), buf.size(), 1 << 20, &inner, &s) != 0) return;
    if (!s || inner == 0 || inner > len - TRANSFORM_HDR_LEN) abort();
    volatile uint8_t sink = 0;
    for (uint64_t i = 0; i < inner; i++) sink = sink ^ buf[TRANSFORM_HDR_LEN + i];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    if (data[0] & 1) sealed(data + 1, size - 1);
    else contexts(data + 1, size - 1);
    return 0;
}
