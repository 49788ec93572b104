// SP 800-108 counter-mode key derivation with HMAC-SHA256.
#include "security/qv2_crypto.h"

#include <cstring>

// Each block is HMAC(key, i || label || 0x00 || context || L). The label's
// own terminator is the one separator byte; a null label contributes neither
// label bytes nor the separator. L is the fixed 128 bits of the one use.
void qv2_kdf_ctr_hmacsha256(const void *key, uint64_t keylen, const char *label,
                            const void *context, uint64_t contextlen, uint8_t *out,
                            uint64_t outlen) {
    static const uint8_t kL[4] = {0x00, 0x00, 0x00, 0x80};
    uint64_t done = 0;
    for (uint32_t i = 1; done < outlen; i++) {
        uint8_t counter[4] = {uint8_t(i >> 24), uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i)};
        qv2_hmac256_ctx h;
        qv2_hmac256_init(&h, key, keylen);
        qv2_hmac256_update(&h, counter, 4);
        if (label) qv2_hmac256_update(&h, label, strlen(label) + 1);
        if (contextlen > 0) qv2_hmac256_update(&h, context, contextlen);
        qv2_hmac256_update(&h, kL, 4);
        uint8_t k[32];
        qv2_hmac256_final(&h, k);
        uint64_t take = outlen - done < 32 ? outlen - done : 32;
        memcpy(out + done, k, take);
        done += take;
        qv2_wipe(k, sizeof k);
        qv2_wipe(&h, sizeof h);
    }
}
