// The operating system's random source, for the secrets that must be
// unpredictable (NTLM server challenges).
#include "platform/qv2_platform.h"

#include <cerrno>
#include <sys/random.h>

int qv2_random_bytes(uint8_t *out, uint64_t n) {
    uint64_t got = 0;
    // getrandom never returns short for up to 256 bytes once the pool is
    // ready, but a signal may interrupt it; anything else is a failure the
    // caller must not paper over.
    for (int tries = 0; got < n && tries < 16; tries++) {
        ssize_t r = getrandom(out + got, n - got, 0);
        if (r > 0) got += uint64_t(r);
        else if (r < 0 && errno != EINTR) return -1;
    }
    return got == n ? 0 : -1;
}
