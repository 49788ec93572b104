// The libcrypto algorithms behind the SMB 3 primitives, fetched once: a fetch
// looks the algorithm up in the provider tables under a lock, which would
// cost more than sealing a small message.
#include "security/libcrypto_algs.h"

#include "dirir2i.h"
#include "foundation/qv2_util.h"
#include "security/qv2_smb3_crypto.h"

#include <openssl/err.h>
#include <openssl/evp.h>

namespace {

// Never freed: the process keeps them to its end, reachable from here.
const qv2_algs *fetch_all() {
    static qv2_algs a;
    a.aes128_ccm = EVP_CIPHER_fetch(nullptr, "AES-128-CCM", nullptr);
    a.aes128_gcm = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
    a.aes256_ccm = EVP_CIPHER_fetch(nullptr, "AES-256-CCM", nullptr);
    a.aes256_gcm = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    a.cmac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
    a.sha512 = EVP_MD_fetch(nullptr, "SHA512", nullptr);
    if (!a.aes128_ccm || !a.aes128_gcm || !a.aes256_ccm || !a.aes256_gcm || !a.cmac || !a.sha512) {
        qv2_libcrypto_fail("fetching the AES, CMAC and SHA-512 algorithms");
        return nullptr;
    }
    return &a;
}

} // namespace

const qv2_algs *qv2_algs_get(void) {
    static const qv2_algs *algs = fetch_all(); // C++ makes this first call thread-safe
    if (!algs) qv2_set_error("libcrypto lacks an algorithm SMB 3 needs");
    return algs;
}

int qv2_libcrypto_fail(const char *what) {
    char reason[256] = "no reason given";
    unsigned long e = ERR_get_error();
    if (e != 0) ERR_error_string_n(e, reason, sizeof reason);
    ERR_clear_error();
    return qv2_fail(DIRIR2I_ESYS, "libcrypto failed %s: %s", what, reason);
}

int qv2_smb3_crypto_ready(void) {
    return qv2_algs_get() ? DIRIR2I_OK : DIRIR2I_ESYS;
}
