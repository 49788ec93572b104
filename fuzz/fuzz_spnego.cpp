// Fuzz target: the SPNEGO decoder on a client's SESSION_SETUP security
// buffer. A token it reports must lie inside the input; a negTokenResp the
// server builds around the input must decode back to exactly the input.
#include "foundation/qv2_util.h"
#include "security/qv2_ntlm.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint8_t *tok = nullptr;
    uint64_t toklen = 0;
    int raw = 0;
    int rc = qv2_spnego_init(data, size, &tok, &toklen, &raw);
    if (rc == 0 && tok) {
        if (tok < data || toklen > size || uint64_t(tok - data) > size - toklen) abort();
        volatile uint8_t sink = 0;
        for (uint64_t i = 0; i < toklen; i++)
            sink = sink ^ tok[i];
    }
    if (rc != 0 && rc != -1 && rc != -2) abort();

    // The builder's length forms reach 65535 bytes of content.
    if (size < 60000) {
        qv2_buf b{};
        qv2_spnego_resp(data, size, &b);
        if (b.failed) abort();
        rc = qv2_spnego_init(b.data, b.len, &tok, &toklen, &raw);
        if (rc != 0 || raw != 0 || toklen != size) abort();
        if (size && (!tok || memcmp(tok, data, size) != 0)) abort();
        qv2_buf_free(&b);
    }
    return 0;
}
