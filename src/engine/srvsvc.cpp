// The srvsvc named pipe: one connection-oriented DCE/RPC PDU in, at most one
// out. A BIND gets a BIND_ACK, a REQUEST for NetrShareEnum (opnum 15)
// the share list at information level 1, any other opnum a FAULT. No state
// is kept between PDUs, so a REQUEST is answered even without a BIND.
#include "config/qv2_cfg.h"
#include "engine/engine.h"

#include <cstdlib>
#include <cstring>

namespace {

enum : uint8_t {
    PTYPE_REQUEST = 0,
    PTYPE_RESPONSE = 2,
    PTYPE_FAULT = 3,
    PTYPE_BIND = 11,
    PTYPE_BIND_ACK = 12,
    PFC_FIRST_LAST = 0x03,
};

enum : uint32_t {
    RPC_HDR_LEN = 16,
    REQUEST_HDR_LEN = 24, // common header, alloc_hint, p_cont_id, opnum
    RESPONSE_HDR_LEN = 24,
    BIND_CTX_LIST = 28,  // first context element; n_context_elem is at 24
    CTX_ELEM_FIXED = 24, // p_cont_id, n_transfer_syn, reserved, abstract syntax
    SYNTAX_ID_LEN = 20,  // UUID and version
    BIND_ACK_LEN = 92,
    FAULT_LEN = 32,
    MAX_FRAG = 4280,
    ASSOC_GROUP = 0x00006F79,
    OPNUM_NETR_SHARE_ENUM = 15,
    NCA_S_OP_RNG_ERROR = 0x1C010003,
    RESULT_ACCEPTANCE = 0,
    RESULT_PROVIDER_REJECTION = 2,
    RESULT_NEGOTIATE_ACK = 3,
    REASON_NO_TRANSFER_SYNTAX = 2, // proposed_transfer_syntaxes_not_supported
    // Bind-time features granted: security context multiplexing and keep
    // connection on orphan.
    BIND_TIME_FEATURES = 3,

    STYPE_DISKTREE = 0,
    STYPE_IPC = 3,
    MAX_ENTRIES = QV2_MAX_SHARES + 1, // every share, and IPC$
    BUFFER_REFERENT = 0x00020000,
    CONTAINER_REFERENT = 0x00020004, // apart from the Buffer and string referents
    NETNAME_REFERENT = 0x00022000,
    REMARK_REFERENT = 0x00024000,
};

// The NDR transfer syntax 8a885d04-1ceb-11c9-9fe8-08002b104860, version 2.
constexpr uint8_t ndr_syntax[16] = {0x04, 0x5d, 0x88, 0x8a, 0xeb, 0x1c, 0xc9, 0x11,
                                    0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60};
// Transfer syntaxes 6cb71c2c-9812-4540-xxxx-xxxxxxxxxxxx negotiate bind-time
// features; the last 8 bytes carry the client's feature bits.
constexpr uint8_t features_prefix[8] = {0x2c, 0x1c, 0xb7, 0x6c, 0x12, 0x98, 0x40, 0x45};
constexpr char sec_addr[] = "\\pipe\\srvsvc"; // 12 characters and the terminator

constexpr char ipc_remark[] = "IPC share";
constexpr char disk_remark[] = "read-only share";

// Bytes of one conformant varying string of n UTF-16 units (terminator
// included) with its padding to 4.
constexpr uint32_t ndr_string_size(uint32_t units) {
    return 12 + (units * 2 + 3) / 4 * 4;
}

// The largest stub: every entry with the longest name (80 bytes, never more
// UTF-16 units than bytes) and the longer remark. It must fit a single
// fragment, whose length is 16 bits.
static_assert(RESPONSE_HDR_LEN + 6 * 4 +
                      MAX_ENTRIES * (12 + ndr_string_size(QV2_SHARE_NAME_MAX + 1) +
                                     ndr_string_size(sizeof disk_remark)) +
                      3 * 4 <=
                  0xFFFF,
              "the share list must fit one fragment");

void w8(qv2_buf *b, uint8_t v) {
    qv2_buf_byte(b, v);
}

// Common header of every PDU the server writes; frag_length is patched by
// finish_pdu once the PDU is complete.
void put_rpc_header(qv2_buf *b, uint8_t ptype, uint32_t call_id) {
    w8(b, 5); // rpc_vers
    w8(b, 0); // rpc_vers_minor
    w8(b, ptype);
    w8(b, PFC_FIRST_LAST);
    w32(b, 0x00000010); // packed_drep: little-endian, ASCII, IEEE floats
    w16(b, 0);          // frag_length
    w16(b, 0);          // auth_length
    w32(b, call_id);
}

void finish_pdu(qv2_buf *b, uint64_t start) {
    if (b->failed || b->len - start > 0xFFFF) return;
    qv2_put_le16(b->data + start + 8, uint16_t(b->len - start));
}

// How the server answers one proposed presentation context.
enum ctx_answer : uint8_t {
    ANSWER_ACCEPT_NDR,
    ANSWER_FEATURES,  // a bind-time feature negotiation
    ANSWER_NO_SYNTAX, // none of its transfer syntaxes is NDR
};

// The answer clients normally get, whatever they proposed: NDR accepted for
// the first context, the bind-time features for the second.
constexpr ctx_answer fixed_answers[2] = {ANSWER_ACCEPT_NDR, ANSWER_FEATURES};

void put_bind_ack(qv2_buf *b, uint32_t call_id, const ctx_answer *answers, uint32_t n) {
    uint64_t start = b->len;
    put_rpc_header(b, PTYPE_BIND_ACK, call_id);
    w16(b, MAX_FRAG); // max_xmit_frag
    w16(b, MAX_FRAG); // max_recv_frag
    w32(b, ASSOC_GROUP);
    w16(b, sizeof sec_addr);
    qv2_buf_put(b, sec_addr, sizeof sec_addr);
    w8(b, 0);          // padding to 4
    w8(b, uint8_t(n)); // n_results
    w8(b, 0);
    w16(b, 0);
    for (uint32_t i = 0; i < n; i++) {
        if (answers[i] == ANSWER_ACCEPT_NDR) {
            w16(b, RESULT_ACCEPTANCE);
            w16(b, 0);
            qv2_buf_put(b, ndr_syntax, sizeof ndr_syntax);
            w32(b, 2); // syntax version
            continue;
        }
        if (answers[i] == ANSWER_FEATURES) {
            w16(b, RESULT_NEGOTIATE_ACK);
            w16(b, BIND_TIME_FEATURES);
        } else {
            w16(b, RESULT_PROVIDER_REJECTION);
            w16(b, REASON_NO_TRANSFER_SYNTAX);
        }
        for (int k = 0; k < 5; k++)
            w32(b, 0); // transfer syntax and version: none
    }
    finish_pdu(b, start);
}

// Reads the presentation contexts of a BIND into answers[256]. Their count,
// or -1 when the list does not lie whole inside the PDU.
int read_contexts(const uint8_t *in, uint64_t n, ctx_answer *answers) {
    if (n < BIND_CTX_LIST) return -1;
    uint32_t count = in[BIND_CTX_LIST - 4];
    uint64_t at = BIND_CTX_LIST;
    for (uint32_t i = 0; i < count; i++) {
        if (n - at < CTX_ELEM_FIXED) return -1;
        uint32_t syntaxes = in[at + 2];
        at += CTX_ELEM_FIXED;
        if ((n - at) / SYNTAX_ID_LEN < syntaxes) return -1;
        answers[i] = ANSWER_NO_SYNTAX;
        for (uint32_t k = 0; k < syntaxes; k++) {
            const uint8_t *id = in + at + uint64_t(k) * SYNTAX_ID_LEN;
            if (memcmp(id, features_prefix, sizeof features_prefix) == 0)
                answers[i] = ANSWER_FEATURES;
            else if (answers[i] == ANSWER_NO_SYNTAX &&
                     memcmp(id, ndr_syntax, sizeof ndr_syntax) == 0 && qv2_le32(id + 16) == 2)
                answers[i] = ANSWER_ACCEPT_NDR;
        }
        at += uint64_t(syntaxes) * SYNTAX_ID_LEN;
    }
    return int(count);
}

void put_response(qv2_buf *b, uint32_t call_id, const qv2_buf *stub) {
    uint64_t start = b->len;
    put_rpc_header(b, PTYPE_RESPONSE, call_id);
    w32(b, 0); // alloc_hint
    w16(b, 0); // p_cont_id
    w8(b, 0);  // cancel_count
    w8(b, 0);
    qv2_buf_put(b, stub->data, stub->len);
    finish_pdu(b, start);
}

void put_fault(qv2_buf *b, uint32_t call_id, uint32_t status) {
    uint64_t start = b->len;
    put_rpc_header(b, PTYPE_FAULT, call_id);
    w32(b, 0); // alloc_hint
    w16(b, 0); // p_cont_id
    w8(b, 0);  // cancel_count
    w8(b, 0);
    w32(b, status);
    w32(b, 0);
    finish_pdu(b, start);
}

// One conformant varying string: MaxCount, Offset, ActualCount, the UTF-16LE
// units with a terminating zero unit, then zeros up to a multiple of 4.
// Names reach the client in UTF-16 so that the name it connects with is the
// one listed; a name that is not valid UTF-8 goes out byte by byte.
void put_ndr_string(qv2_buf *b, const char *text) {
    uint8_t units[2 * (QV2_SHARE_NAME_MAX + 1)];
    int32_t len = 0;
    uint64_t n = strnlen(text, QV2_SHARE_NAME_MAX);
    char cut[QV2_SHARE_NAME_MAX + 1];
    memcpy(cut, text, n);
    cut[n] = 0;
    if (qv2_utf8_to_utf16le(cut, units, int32_t(sizeof units), &len) != 0) {
        for (uint64_t i = 0; i < n; i++)
            qv2_put_le16(units + 2 * i, uint8_t(cut[i]));
        len = int32_t(2 * n);
    }
    uint32_t count = uint32_t(len / 2) + 1;
    w32(b, count); // MaxCount
    w32(b, 0);     // Offset
    w32(b, count); // ActualCount
    qv2_buf_put(b, units, uint64_t(len));
    w16(b, 0);
    while (b->len % 4 && !b->failed)
        w8(b, 0);
}

struct share_entry {
    char name[QV2_SHARE_NAME_MAX + 1];
    uint32_t type;
};

} // namespace

void srvsvc_share_enum(const char *user, int guest, qv2_buf *stub) {
    // The entries are copied so that the list is freed before writing.
    share_entry *entries = nullptr;
    uint32_t n = 0;
    qv2_share *list = nullptr;
    int32_t count = 0;
    // Only what this session may open, and is not hidden from lists.
    if (qv2_share_list_for(user, guest, &list, &count) == 0 && count > 0) {
        uint32_t want = count < int32_t(MAX_ENTRIES) ? uint32_t(count) : MAX_ENTRIES;
        entries = static_cast<share_entry *>(calloc(want, sizeof *entries));
        if (entries) {
            n = want;
            for (uint32_t i = 0; i < n; i++) {
                uint64_t len = strnlen(list[i].name, QV2_SHARE_NAME_MAX);
                memcpy(entries[i].name, list[i].name, len);
                entries[i].name[len] = 0;
                entries[i].type = strcmp(entries[i].name, "IPC$") == 0 ? STYPE_IPC : STYPE_DISKTREE;
            }
        }
    }
    free(list);

    w32(stub, 1); // Level
    w32(stub, 1); // union discriminant
    w32(stub, CONTAINER_REFERENT);
    w32(stub, n); // EntriesRead
    w32(stub, BUFFER_REFERENT);
    w32(stub, n); // MaxCount of the array
    for (uint32_t i = 0; i < n; i++) {
        w32(stub, NETNAME_REFERENT + 4 * i);
        w32(stub, entries[i].type);
        w32(stub, REMARK_REFERENT + 4 * i);
    }
    for (uint32_t i = 0; i < n; i++) {
        put_ndr_string(stub, entries[i].name);
        put_ndr_string(stub, entries[i].type == STYPE_IPC ? ipc_remark : disk_remark);
    }
    w32(stub, n); // TotalEntries
    w32(stub, 0); // ResumeHandle: null
    w32(stub, 0); // return value: success
    free(entries);
    qv2_stat_add(QV2_ST_SRVSVC_QUERIES, 1);
}

void srvsvc_transceive(const char *user, int guest, const uint8_t *in, uint64_t n, qv2_buf *out) {
    if (n < RPC_HDR_LEN) return;
    uint8_t ptype = in[2];
    uint32_t call_id = qv2_le32(in + 12);
    if (ptype == PTYPE_BIND) {
        // The usual BIND (the interface with NDR, plus the feature
        // negotiation) gets the fixed answer, and so does any BIND whose
        // context list is missing or cut short. Some clients refuse a
        // BIND_ACK whose results do not match their contexts one for one, so
        // a BIND with one context, or with more than two, gets one result
        // per context.
        ctx_answer answers[256];
        int count = read_contexts(in, n, answers);
        if (count == 1 || count > 2)
            put_bind_ack(out, call_id, answers, uint32_t(count));
        else
            put_bind_ack(out, call_id, fixed_answers, 2);
        return;
    }
    if (ptype != PTYPE_REQUEST) return;
    // alloc_hint, p_cont_id, opnum and the first 4 bytes of the stub.
    if (n < REQUEST_HDR_LEN + 4) return;
    uint16_t opnum = qv2_le16(in + 22);
    if (opnum != OPNUM_NETR_SHARE_ENUM) {
        put_fault(out, call_id, NCA_S_OP_RNG_ERROR);
        return;
    }
    qv2_buf stub{};
    srvsvc_share_enum(user, guest, &stub);
    if (stub.failed)
        out->failed = 1;
    else
        put_response(out, call_id, &stub);
    qv2_buf_free(&stub);
}
