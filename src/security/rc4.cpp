// RC4, used only to decrypt the exchanged NTLM session key.
#include "security/qv2_crypto.h"

void qv2_rc4_init(qv2_rc4_state *st, const void *key, uint64_t keylen) {
    const uint8_t *k = static_cast<const uint8_t *>(key);
    for (int n = 0; n < 256; n++)
        st->S[n] = uint8_t(n);
    uint8_t j = 0;
    for (int n = 0; n < 256; n++) {
        // keylen 0 would divide by zero; treat it as a one-byte zero key.
        j = uint8_t(j + st->S[n] + (keylen ? k[uint64_t(n) % keylen] : 0));
        uint8_t t = st->S[n];
        st->S[n] = st->S[j];
        st->S[j] = t;
    }
    st->i = 0;
    st->j = 0;
}

void qv2_rc4(qv2_rc4_state *st, void *buf, uint64_t len) {
    uint8_t *p = static_cast<uint8_t *>(buf);
    uint8_t i = st->i, j = st->j;
    for (uint64_t n = 0; n < len; n++) {
        i = uint8_t(i + 1);
        j = uint8_t(j + st->S[i]);
        uint8_t t = st->S[i];
        st->S[i] = st->S[j];
        st->S[j] = t;
        p[n] ^= st->S[uint8_t(st->S[i] + st->S[j])];
    }
    st->i = i;
    st->j = j;
}
