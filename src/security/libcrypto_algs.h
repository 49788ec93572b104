// Shared between the libcrypto-backed sources of src/security only: the
// algorithms, fetched once per process, and the conversions of libcrypto
// failures into result codes.
#pragma once

#include <openssl/types.h>

#include <cstdint>

struct qv2_algs {
    EVP_CIPHER *aes128_ccm;
    EVP_CIPHER *aes128_gcm;
    EVP_CIPHER *aes256_ccm;
    EVP_CIPHER *aes256_gcm;
    EVP_MAC *cmac;
    EVP_MD *sha512;
};

// The fetched algorithms, or null (with the error slot set) when libcrypto
// could not provide all of them. The first call fetches, from whichever
// thread comes first; the others wait for it and get the same answer.
const qv2_algs *qv2_algs_get(void);

// Returns DIRIR2I_ESYS with a message naming `what` and libcrypto's own
// reason, and empties libcrypto's error queue of this thread.
int qv2_libcrypto_fail(const char *what);
