// Messages the server sends on its own, outside the request/reply order:
// oplock and lease break notifications and the final responses of
// CHANGE_NOTIFY requests that went async. Built here, signed here, and sent
// through send_frame like every reply, so that two messages never mix on
// the wire and a reply held back for paired signing still goes first.
#include "engine/qv2_cache.h"

#include "engine/engine.h"
#include "foundation/qv2_util.h"

#include <cstring>

namespace {

enum : uint32_t {
    SERVER_TO_REDIR = 0x00000001,
    ASYNC_COMMAND = 0x00000002,
};

} // namespace

void qv2_push_header(qv2_buf *b, uint32_t command, uint32_t status, uint64_t message_id,
                     uint64_t session_id, uint64_t async_id) {
    b->len = 0;
    uint8_t h[SMB2_HDR_LEN] = {0xFE, 'S', 'M', 'B'};
    qv2_put_le16(h + 4, SMB2_HDR_LEN);
    qv2_put_le32(h + 8, status);
    qv2_put_le16(h + 12, uint16_t(command));
    qv2_put_le32(h + 16, SERVER_TO_REDIR | (async_id ? uint32_t(ASYNC_COMMAND) : 0u));
    qv2_put_le64(h + 24, message_id);
    // Async: AsyncId in place of Reserved and TreeId (MS-SMB2 2.2.1.1).
    if (async_id) qv2_put_le64(h + 32, async_id);
    qv2_put_le64(h + 40, session_id);
    qv2_buf_put(b, h, sizeof h);
}

const uint8_t *qv2_push_key(qv2_conn *c, uint64_t session_id) {
    const qv2_session *s = session_find(c, session_id);
    return s && s->valid && !s->guest ? s->signing_key : nullptr;
}

qv2_session *qv2_push_sealer(qv2_conn *c, uint64_t session_id, bool asked_sealed) {
    qv2_session *s = session_find(c, session_id);
    if (!s || !s->valid || !s->has_cipher_keys) return nullptr;
    return s->encrypt_data || asked_sealed ? s : nullptr;
}

void qv2_push_send(qv2_conn *c, qv2_buf *b, const uint8_t *key, qv2_session *seal) {
    if (b->failed || b->len < SMB2_HDR_LEN) {
        c->closing = 1;
        qv2_buf_free(b);
        return;
    }
    // A sealed message carries no signature (MS-SMB2 3.3.4.1.1).
    if (key && !seal) message_sign(c, key, b->data, b->len);
    // send_frame seals with the session that opened the message being
    // answered; for this one, with `seal`'s, whatever is being answered.
    qv2_session *answering = c->enc_sess;
    c->enc_sess = seal;
    send_frame(c, b->data, b->len);
    c->enc_sess = answering;
    qv2_buf_free(b);
}
