// The user name an NTLM AUTHENTICATE message carries, read on its own for
// the access log (the verifier reads it again for itself).
#include "security/qv2_ntlm.h"

#include "foundation/qv2_util.h"

#include <cstring>

namespace {

constexpr uint64_t kUserFields = 36; // UserNameFields (MS-NLMP 2.2.1.3)

} // namespace

int qv2_ntlm_user_name(const uint8_t *msg, uint64_t len, char *out, int32_t cap) {
    if (!out || cap < 1) return -1;
    out[0] = 0;
    static const uint8_t sig[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
    if (!msg || len < kUserFields + 8 || memcmp(msg, sig, 8) != 0 || qv2_le32(msg + 8) != 3)
        return -1;
    uint64_t n = qv2_le16(msg + kUserFields);
    uint64_t off = qv2_le32(msg + kUserFields + 4);
    if (off > len || len - off < n || n % 2 != 0) return -1;
    // Whatever the name's length, only as much as fits is converted: each
    // UTF-16 unit gives at most three bytes of UTF-8.
    uint64_t fits = uint64_t(cap - 1) / 3 * 2;
    if (n > fits) {
        n = fits;
        uint16_t last = n >= 2 ? qv2_le16(msg + off + n - 2) : 0;
        if (last >= 0xD800 && last <= 0xDBFF) n -= 2; // don't cut a surrogate pair
    }
    return qv2_utf16_to_utf8(msg + off, n, out, cap) < 0 ? -1 : 0;
}
