// SPNEGO token codec and NTLMv2 server authentication.
#pragma once

#include "foundation/qv2_types.h"

// Read cursor over received DER (and NTLM) bytes.
struct der_reader {
    const uint8_t *data;
    uint64_t size; // readable bytes from data
    uint64_t pos;  // next byte to read
};

// ---- SPNEGO ----

// Reads one element header at pos; leaves pos at the first content byte. 0 or -1.
int der_tag(der_reader *r, int *tag_out, uint64_t *len_out);
// Appends the DER definite-length encoding of n.
void der_len(qv2_buf *b, uint64_t n);

// Takes a client's security buffer apart. 0 success (tok/toklen point into
// blob, or null/0 when there is no NTLM message to use; raw is 1 when the
// client talks NTLM without SPNEGO), -1 not a usable token, -2 a
// negTokenInit that does not offer NTLMSSP.
int qv2_spnego_init(const uint8_t *blob, uint64_t len, const uint8_t **tok_out,
                    uint64_t *toklen_out, int *raw_out);
// Builders; they append to b and return 0 (allocation failure shows in b->failed).
int qv2_spnego_init_tok_nomect(const uint8_t *token, uint64_t len, qv2_buf *b);
int qv2_spnego_init_tok(const uint8_t *token, uint64_t len, qv2_buf *b);
int qv2_spnego_resp(const uint8_t *token, uint64_t len, qv2_buf *b);
int qv2_spnego_done(qv2_buf *b);

// ---- NTLM ----

// Appends the CHALLENGE message. 0, or -1 (nothing appended) when the server
// name can't be converted to UTF-16LE.
int qv2_ntlm_type2(const char *server_name, const uint8_t challenge[8], int64_t unix_time,
                   qv2_buf *b);
// Verifies an AUTHENTICATE message against one user (see the result table in
// ntlm.cpp): 0 verified (guest_out 0, key_out the session key) or admitted as
// a guest (guest_out 1, zero key); 1 this user doesn't match; -1 malformed or
// refused.
int qv2_ntlm_type3(const uint8_t *msg, uint64_t msglen, const uint8_t challenge[8],
                   const char *server_name, int64_t now, int timecheck, const char *user,
                   const char *password, int *guest_out, uint8_t key_out[16]);
// NT hash and NTOWFv2 (user upper-cased; a null domain counts as empty).
void qv2_ntlm_hashes_dom(const char *user, const char *domain, const char *password,
                         uint8_t nt_hash_out[16], uint8_t ntowf_out[16]);
void qv2_ntlm_hashes(const char *user, const char *password, uint8_t nt_hash_out[16],
                     uint8_t ntowf_out[16]);
// The UserName of an AUTHENTICATE message as UTF-8 in out[cap] (cut to
// what fits), for the log. 0, or -1 with out empty when the message is no
// AUTHENTICATE or the name does not decode.
int qv2_ntlm_user_name(const uint8_t *msg, uint64_t len, char *out, int32_t cap);
// 0 when msg is an NTLM NEGOTIATE message (at least 16 bytes), else -1.
int qv2_ntlm_type1(const uint8_t *msg, uint64_t len);
