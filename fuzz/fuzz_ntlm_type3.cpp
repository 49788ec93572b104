// Fuzz target: NTLMv2 verification of an AUTHENTICATE message, as the
// session setup calls it: against the user alice (whose recorded logons in
// fuzz/corpus/ntlm_type3 verify, since the challenge and clock are those of
// the recording), and as a guest attempt with the time check off.
#include "dirir2i.h"
#include "foundation/qv2_trace.h"
#include "foundation/qv2_util.h"
#include "security/qv2_ntlm.h"

#include <cstdlib>
#include <cstring>

namespace {

const char kServer[] = "KESTRAVONDLEX";
const int64_t kClock = 1700000000;
uint8_t g_challenge[8];

bool all_zero(const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i]) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qv2_trace_set_level(0);
    // The challenge the NEGOTIATE handler derives from the name and the clock.
    uint64_t h = qv2_fnv1a64(kServer, strlen(kServer), QV2_FNV_BASIS);
    uint8_t t[8];
    qv2_put_le64(t, uint64_t(kClock));
    qv2_put_le64(g_challenge, h ^ qv2_fnv1a64(t, sizeof t, h));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t key[16];
    qv2_ntlm_check chk{g_challenge, kServer, kClock, 1, 1};
    qv2_ntlm_reason why = qv2_ntlm_type3(data, size, chk, "alice", "Secret123", key);
    if (why < QV2_NTLM_VERIFIED || why > QV2_NTLM_SESSION_KEY) abort();
    // Only a verified user gets a key.
    if (why != QV2_NTLM_VERIFIED && !all_zero(key, sizeof key)) abort();

    chk.timecheck = 0;
    why = qv2_ntlm_type3(data, size, chk, "", "", key);
    if (qv2_ntlm_outcome_of(why) == QV2_NTLM_GUEST && !all_zero(key, sizeof key)) abort();

    qv2_ntlm_type1(data, size);
    return 0;
}
