// HMAC-SHA256 throughput over 1 MiB inputs (what signing a large READ reply
// costs), with the portable compression and with the x86 SHA extensions, and
// the same for 64 KiB inputs (the READ size most clients use by default), alone
// and two at a time.
//
//   bench_hmac [seconds-per-figure]   (default 1)
#include "security/qv2_crypto.h"
#include "security/sha256_blocks.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// MB/s of `step`, which MACs `bytes_per_step` bytes a call: the best of five
// runs of about `seconds` / 5 each (the best, since a shared machine only
// slows runs).
template <typename Step> double best_mbs(uint64_t bytes_per_step, double seconds, Step step) {
    double best = 0;
    for (int run = 0; run < 5; run++) {
        uint64_t bytes = 0;
        Clock::time_point t0 = Clock::now();
        double s = 0;
        do {
            step();
            bytes += bytes_per_step;
            s = std::chrono::duration<double>(Clock::now() - t0).count();
        } while (s < seconds / 5);
        best = std::max(best, double(bytes) / 1e6 / s);
    }
    return best;
}

std::vector<uint8_t> pattern(size_t size, unsigned mul, unsigned add) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; i++)
        data[i] = uint8_t(i * mul + add);
    return data;
}

// qv2_hmac256 over `size`-byte inputs. Each MAC feeds the next input, so
// nothing can be hoisted out of the loop.
double hmac_mbs(size_t size, double seconds) {
    std::vector<uint8_t> data = pattern(size, 131, 17);
    uint8_t mac[32] = {};
    return best_mbs(size, seconds, [&] {
        qv2_hmac256(kKey, sizeof kKey, data.data(), data.size(), mac);
        data[0] ^= mac[0];
    });
}

// Two `size`-byte inputs MACed side by side (qv2_hmac256_pair, as the server
// signs two READ replies at once); MB/s of both together.
double hmac_pair_mbs(size_t size, double seconds) {
    std::vector<uint8_t> a = pattern(size, 131, 17), b = pattern(size, 29, 3);
    uint8_t ma[32] = {}, mb[32] = {};
    return best_mbs(2 * size, seconds, [&] {
        qv2_hmac256_pair(kKey, sizeof kKey, a.data(), a.size(), ma, kKey, sizeof kKey, b.data(),
                         b.size(), mb);
        a[0] ^= ma[0];
        b[0] ^= mb[0];
    });
}

void report(const char *name, double seconds) {
    printf("hmac-sha256 %-15s 1 MiB inputs: %7.0f MB/s   64 KiB inputs: %7.0f MB/s"
           "   two 64 KiB inputs at once: %7.0f MB/s\n",
           name, hmac_mbs(1u << 20, seconds), hmac_mbs(64u << 10, seconds),
           hmac_pair_mbs(64u << 10, seconds));
}

} // namespace

int main(int argc, char **argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 1.0;
    if (!(seconds > 0)) seconds = 1.0;
    qv2_sha256_select(QV2_SHA256_PORTABLE);
    report("portable", seconds);
    if (qv2_sha256_select(QV2_SHA256_X86) == 0)
        report("SHA extensions", seconds);
    else
        printf("hmac-sha256 SHA extensions: not available on this CPU\n");
    qv2_sha256_select(QV2_SHA256_AUTO);
    return 0;
}
