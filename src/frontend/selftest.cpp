// dirir2i_selftest: the crypto self-test as a text result.
#include "frontend/qv2_out.h"

#include "dirir2i.h"
#include "foundation/qv2_util.h"
#include "security/qv2_crypto.h"

extern "C" DIRIR2I_API const char *dirir2i_selftest(void) {
    qv2_buf b{};
    qv2_buf_printf(&b, "selftest %s\n", qv2_selftest() == 0 ? "ok" : "FAILED");
    if (b.failed) {
        qv2_buf_free(&b);
        return "selftest FAILED (oom)\n";
    }
    return qv2_out_take(&b);
}
