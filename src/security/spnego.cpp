// SPNEGO (RFC 4178) token codec inside GSS-API framing (RFC 2743): the four
// tokens the server sends and the decoder for what clients send. Only the
// NTLMSSP mechanism is offered or accepted.
#include "security/qv2_ntlm.h"

#include "foundation/qv2_util.h"

#include <cstring>

namespace {

// DER OID 1.3.6.1.5.5.2 (SPNEGO) with its tag and length.
const uint8_t spnego_oid[8] = {0x06, 0x06, 0x2b, 0x06, 0x01, 0x05, 0x05, 0x02};
// DER OID 1.3.6.1.4.1.311.2.2.10 (NTLMSSP) with its tag and length.
const uint8_t ntlm_oid[12] = {0x06, 0x0a, 0x2b, 0x06, 0x01, 0x04,
                              0x01, 0x82, 0x37, 0x02, 0x02, 0x0a};
// hintName of negHints; sent without a terminator.
const char hints[] = "not_defined_in_RFC4178@please_ignore";
const uint64_t kHintsLen = sizeof hints - 1; // 36
// negState accept-incomplete.
const uint8_t ns[3] = {0x0a, 0x01, 0x01};
// The whole negTokenResp with negState accept-completed.
const uint8_t tok[9] = {0xa1, 0x07, 0x30, 0x05, 0xa0, 0x03, 0x0a, 0x01, 0x00};

const uint8_t kNtlmSig[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};

bool constructed(int tag) {
    return (tag & 0x20) != 0;
}

// An OID element's content is the NTLMSSP OID.
bool is_ntlm_oid(const der_reader *r, int tag, uint64_t len) {
    return tag == 0x06 && len == 10 && memcmp(r->data + r->pos, ntlm_oid + 2, 10) == 0;
}

// A reader over the content of the element whose header `hdr` has just read.
der_reader content_of(const der_reader *hdr, uint64_t len) {
    return der_reader{hdr->data + hdr->pos, len, 0};
}

// Bytes der_len writes for n.
uint64_t len_size(uint64_t n) {
    uint64_t bytes = 0;
    for (uint64_t v = n; v > 0; v >>= 8)
        bytes++;
    return n < 0x80 ? 1 : 1 + bytes;
}

// Header of one element: tag, then der_len(len).
void put_hdr(qv2_buf *b, int tag, uint64_t len) {
    qv2_buf_byte(b, tag);
    der_len(b, len);
}

// [0] mechTypes holding NTLMSSP alone, 16 bytes.
void put_mech_types(qv2_buf *b) {
    static const uint8_t head[4] = {0xa0, 0x0e, 0x30, 0x0c};
    qv2_buf_put(b, head, 4);
    qv2_buf_put(b, ntlm_oid, sizeof ntlm_oid);
}

// [3] negHints with the hintName, 44 bytes.
void put_neg_hints(qv2_buf *b) {
    static const uint8_t head[8] = {0xa3, 0x2a, 0x30, 0x28, 0xa0, 0x26, 0x1b, 0x24};
    qv2_buf_put(b, head, 8);
    qv2_buf_put(b, hints, kHintsLen);
}

// negTokenInit offering NTLMSSP, with a mechToken of len bytes or none.
void put_init(const uint8_t *token, uint64_t len, bool with_token, qv2_buf *b) {
    uint64_t l3 = with_token ? 1 + len_size(len) + len : 0;       // [2] content
    uint64_t mech_token = with_token ? 1 + len_size(l3) + l3 : 0; // the whole [2]
    uint64_t l2 = 16 + mech_token + 44;                           // SEQUENCE content
    uint64_t l1 = 1 + len_size(l2) + l2;                          // [0] content
    uint64_t l0 = sizeof spnego_oid + 1 + len_size(l1) + l1;      // [APPLICATION 0] content
    put_hdr(b, 0x60, l0);
    qv2_buf_put(b, spnego_oid, sizeof spnego_oid);
    put_hdr(b, 0xa0, l1);
    put_hdr(b, 0x30, l2);
    put_mech_types(b);
    if (with_token) {
        put_hdr(b, 0xa2, l3);
        put_hdr(b, 0x04, len);
        if (len > 0) qv2_buf_put(b, token, len);
    }
    put_neg_hints(b);
}

// The content of an OCTET STRING wrapped in a context tag whose content
// reader is e. 0, or -1 when it is anything else.
int octets_in(der_reader e, const uint8_t **p, uint64_t *n) {
    int tag;
    uint64_t len;
    if (der_tag(&e, &tag, &len) != 0 || tag != 0x04) return -1;
    *p = e.data + e.pos;
    *n = len;
    return 0;
}

// Decodes a GSS-framed token (first byte 0x60).
int decode_gss(const uint8_t *blob, uint64_t len, qv2_spnego_token *out) {
    der_reader r{blob, len, 0};
    int tag;
    uint64_t n;
    if (der_tag(&r, &tag, &n) != 0 || !constructed(tag)) return -1;
    r.size = r.pos + n;

    // thisMech and the inner token: find [0], or a bare NTLMSSP OID (raw
    // NTLM in GSS framing).
    der_reader init{};
    for (bool found = false; !found;) {
        der_reader c = r;
        if (der_tag(&c, &tag, &n) != 0) return -1;
        r.pos = c.pos + n;
        if (is_ntlm_oid(&c, tag, n)) {
            out->raw = 1;
            return 0;
        }
        if (tag == 0xa0) {
            init = content_of(&c, n);
            found = true;
        }
    }

    // The NegTokenInit SEQUENCE.
    if (der_tag(&init, &tag, &n) != 0 || !constructed(tag)) return -1;
    der_reader seq = content_of(&init, n);
    for (;;) {
        der_reader c = seq;
        if (der_tag(&c, &tag, &n) != 0) return 0; // end of the sequence
        seq.pos = c.pos + n;
        if (tag == 0xa0) { // mechTypes
            der_reader e = content_of(&c, n);
            if (der_tag(&e, &tag, &n) != 0 || !constructed(tag)) return -2;
            // The mechListMIC covers these exact bytes, header included.
            out->mech_types = c.data + c.pos;
            out->mech_types_len = e.pos + n;
            der_reader list = content_of(&e, n);
            bool offered = false;
            for (;;) {
                der_reader m = list;
                if (der_tag(&m, &tag, &n) != 0) break;
                list.pos = m.pos + n;
                if (is_ntlm_oid(&m, tag, n)) offered = true;
            }
            if (!offered) return -2;
        } else if (tag == 0xa1) {
            // reqFlags is a primitive BIT STRING and is refused; a
            // constructed element here is passed over.
            der_reader e = content_of(&c, n);
            if (der_tag(&e, &tag, &n) != 0 || !constructed(tag)) return -1;
        } else if (tag == 0xa2) {
            // mechToken: the client's NTLM NEGOTIATE, whose flags the
            // CHALLENGE answers (or another mechanism's optimistic token,
            // which the caller passes over).
            if (octets_in(content_of(&c, n), &out->tok, &out->toklen) != 0) return -1;
        }
        // mechListMIC and anything else: skipped.
    }
}

// Decodes a negTokenResp (first byte 0xa1): the responseToken, and the
// mechListMIC when there is one.
int decode_resp(const uint8_t *blob, uint64_t len, qv2_spnego_token *out) {
    der_reader r{blob, len, 0};
    int tag;
    uint64_t n;
    if (der_tag(&r, &tag, &n) != 0 || !constructed(tag)) return -1;
    r.size = r.pos + n;

    der_reader first = r;
    if (der_tag(&first, &tag, &n) == 0) {
        if (tag == 0x30) {
            r.pos = first.pos;
            r.size = first.pos + n;
        } else {
            r.pos = first.pos + n;
        }
    }
    bool have_token = false;
    while (r.pos < r.size) {
        der_reader c = r;
        if (der_tag(&c, &tag, &n) != 0) return -1;
        r.pos = c.pos + n;
        if (tag == 0xa2) {
            if (octets_in(content_of(&c, n), &out->tok, &out->toklen) != 0) return -1;
            have_token = true;
        } else if (tag == 0xa3) {
            if (octets_in(content_of(&c, n), &out->mic, &out->miclen) != 0) return -1;
        }
        // negState and supportedMech: skipped.
    }
    return have_token ? 0 : -1;
}

} // namespace

int der_tag(der_reader *r, int *tag_out, uint64_t *len_out) {
    if (r->pos >= r->size) return -1;
    int tag = r->data[r->pos++];
    *tag_out = tag;
    if ((tag & 0x1f) == 0x1f) return -1; // high-tag-number form: never used here
    if (r->pos >= r->size) return -1;
    uint8_t b = r->data[r->pos++];
    uint64_t len = b;
    if (b >= 0x80) {
        uint64_t nbytes = b & 0x7f;
        if (nbytes > 4 || r->size - r->pos < nbytes) return -1;
        // nbytes 0 (the indefinite-length marker) reads as an empty element.
        len = 0;
        for (uint64_t i = 0; i < nbytes; i++)
            len = (len << 8) | r->data[r->pos++];
    }
    if (len > r->size - r->pos) return -1;
    *len_out = len;
    return 0;
}

void der_len(qv2_buf *b, uint64_t n) {
    if (n < 0x80) {
        qv2_buf_byte(b, int(n));
        return;
    }
    uint64_t bytes = len_size(n) - 1;
    qv2_buf_byte(b, int(0x80 | bytes));
    for (uint64_t i = bytes; i > 0; i--)
        qv2_buf_byte(b, int((n >> (8 * (i - 1))) & 0xff));
}

int qv2_spnego_decode(const uint8_t *blob, uint64_t len, qv2_spnego_token *out) {
    if (!out) return -1;
    *out = qv2_spnego_token{};
    if (!blob || len < 2) return -1;
    int rc = -1;
    if (blob[0] == 0x60) {
        rc = decode_gss(blob, len, out);
    } else if (blob[0] == 0xa1) {
        rc = decode_resp(blob, len, out);
    } else if (len >= 8 && memcmp(blob, kNtlmSig, 8) == 0) {
        out->tok = blob;
        out->toklen = len;
        out->raw = 1;
        rc = 0;
    }
    // A failure hands out nothing half-decoded.
    if (rc != 0) *out = qv2_spnego_token{};
    return rc;
}

int qv2_spnego_init_tok_nomect(const uint8_t *token, uint64_t len, qv2_buf *b) {
    (void)token;
    (void)len;
    put_init(nullptr, 0, false, b);
    return 0;
}

int qv2_spnego_init_tok(const uint8_t *token, uint64_t len, qv2_buf *b) {
    put_init(token, len, true, b);
    return 0;
}

int qv2_spnego_resp(const uint8_t *token, uint64_t len, qv2_buf *b) {
    uint64_t l3 = 1 + len_size(len) + len;
    uint64_t l2 = 19 + 1 + len_size(l3) + l3;
    uint64_t l1 = 1 + len_size(l2) + l2;
    put_hdr(b, 0xa1, l1);
    put_hdr(b, 0x30, l2);
    qv2_buf_byte(b, 0xa0);
    qv2_buf_byte(b, 0x03);
    qv2_buf_put(b, ns, sizeof ns);
    qv2_buf_byte(b, 0xa1);
    qv2_buf_byte(b, 0x0c);
    qv2_buf_put(b, ntlm_oid, sizeof ntlm_oid);
    put_hdr(b, 0xa2, l3);
    put_hdr(b, 0x04, len);
    if (len > 0) qv2_buf_put(b, token, len);
    return 0;
}

int qv2_spnego_done(qv2_buf *b, const uint8_t *mic) {
    if (!mic) {
        qv2_buf_put(b, tok, sizeof tok);
        return 0;
    }
    // negState accept-completed and [3] mechListMIC: an OCTET STRING of the
    // 16-byte NTLMSSP signature.
    static const uint8_t head[] = {0xa1, 0x1b, 0x30, 0x19, 0xa0, 0x03, 0x0a, 0x01,
                                   0x00, 0xa3, 0x12, 0x04, 0x10};
    qv2_buf_put(b, head, sizeof head);
    qv2_buf_put(b, mic, 16);
    return 0;
}
