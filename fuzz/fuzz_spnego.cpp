// Fuzz target: the SPNEGO decoder on a client's SESSION_SETUP security
// buffer. Every part it reports (token, mechanism list, MIC) must lie inside
// the input; a negTokenResp the server builds around the input must decode
// back to exactly the input.
#include "foundation/qv2_util.h"
#include "security/qv2_ntlm.h"

#include <cstdlib>
#include <cstring>

namespace {

void inside(const uint8_t *data, size_t size, const uint8_t *p, uint64_t n) {
    if (!p) {
        if (n != 0) abort();
        return;
    }
    if (p < data || n > size || uint64_t(p - data) > size - n) abort();
    volatile uint8_t sink = 0;
    for (uint64_t i = 0; i < n; i++)
        sink = sink ^ p[i];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    qv2_spnego_token t;
    int rc = qv2_spnego_decode(data, size, &t);
    if (rc != 0 && rc != -1 && rc != -2) abort();
    inside(data, size, t.tok, t.toklen);
    inside(data, size, t.mech_types, t.mech_types_len);
    inside(data, size, t.mic, t.miclen);

    // The builder's length forms reach 65535 bytes of content.
    if (size < 60000) {
        qv2_buf b{};
        qv2_spnego_resp(data, size, &b);
        if (b.failed) abort();
        rc = qv2_spnego_decode(b.data, b.len, &t);
        if (rc != 0 || t.raw != 0 || t.toklen != size) abort();
        if (size && (!t.tok || memcmp(t.tok, data, size) != 0)) abort();
        qv2_buf_free(&b);
    }
    return 0;
}
