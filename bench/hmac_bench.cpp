// HMAC-SHA256 throughput over 1 MiB inputs (what signing a large READ reply
// costs), with the portable compression and with the x86 SHA extensions, and
// the same for 64 KiB inputs (the READ size most clients use by default), alone
// and two at a time. Then ours against libcrypto's, message sizes 64 B to
// 1 MiB: HMAC-SHA256 (libcrypto with a reused EVP_MAC context, its fastest
// form, and its one-shot HMAC()), SHA-256 and MD5; libcrypto has no
// two-at-once path, so the pair figure is two of its MACs in a row.
//
//   bench_hmac [seconds-per-figure]   (default 1)
#include "security/qv2_crypto.h"
#include "security/sha256_blocks.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
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

// libcrypto's HMAC-SHA256 on one context keyed once and restarted per
// message (EVP_MAC_init with no key keeps the padded key's state).
struct LibHmac {
    EVP_MAC *mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX *ctx = EVP_MAC_CTX_new(mac);
    LibHmac() {
        char digest[] = "SHA256";
        OSSL_PARAM p[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                          OSSL_PARAM_construct_end()};
        EVP_MAC_init(ctx, kKey, sizeof kKey, p);
    }
    ~LibHmac() {
        EVP_MAC_CTX_free(ctx);
        EVP_MAC_free(mac);
    }
    void run(const uint8_t *d, size_t n, uint8_t out[32]) {
        size_t outl = 0;
        EVP_MAC_init(ctx, nullptr, 0, nullptr);
        EVP_MAC_update(ctx, d, n);
        EVP_MAC_final(ctx, out, &outl, 32);
    }
};

// A digest of libcrypto's on one reused context.
struct LibDigest {
    EVP_MD *md;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    explicit LibDigest(const char *name) : md(EVP_MD_fetch(nullptr, name, nullptr)) {}
    ~LibDigest() {
        EVP_MD_CTX_free(ctx);
        EVP_MD_free(md);
    }
    void run(const uint8_t *d, size_t n, uint8_t *out) {
        EVP_DigestInit_ex2(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, d, n);
        EVP_DigestFinal_ex(ctx, out, nullptr);
    }
};

// MB/s of `fn(data, size, out)` over `size`-byte inputs, each output fed
// into the next input.
template <typename Fn> double mbs_of(size_t size, double seconds, Fn fn) {
    std::vector<uint8_t> data = pattern(size, 131, 17);
    uint8_t out[32] = {};
    return best_mbs(size, seconds, [&] {
        fn(data.data(), data.size(), out);
        data[0] ^= out[0];
    });
}

void compare_with_libcrypto(double seconds) {
    const size_t sizes[] = {64, 1024, 64u << 10, 1u << 20};
    LibHmac lib_hmac;
    LibDigest lib_sha256("SHA256"), lib_md5("MD5");
    printf("\nours against libcrypto (%s), MB/s:\n", OpenSSL_version(OPENSSL_VERSION));
    printf("%-32s %9s %9s %9s %9s\n", "", "64 B", "1 KiB", "64 KiB", "1 MiB");
    struct Row {
        const char *name;
        std::function<void(const uint8_t *, size_t, uint8_t *)> fn;
    } rows[] = {
        {"hmac-sha256 ours",
         [](const uint8_t *d, size_t n, uint8_t *o) { qv2_hmac256(kKey, sizeof kKey, d, n, o); }},
        {"hmac-sha256 libcrypto EVP_MAC",
         [&](const uint8_t *d, size_t n, uint8_t *o) { lib_hmac.run(d, n, o); }},
        {"hmac-sha256 libcrypto HMAC()",
         [](const uint8_t *d, size_t n, uint8_t *o) {
             unsigned int l = 0;
             HMAC(EVP_sha256(), kKey, sizeof kKey, d, n, o, &l);
         }},
        {"sha256 ours", [](const uint8_t *d, size_t n, uint8_t *o) { qv2_sha256(d, n, o); }},
        {"sha256 libcrypto",
         [&](const uint8_t *d, size_t n, uint8_t *o) { lib_sha256.run(d, n, o); }},
        {"md5 qv2_md5 (libcrypto MD5_*)",
         [](const uint8_t *d, size_t n, uint8_t *o) { qv2_md5(d, n, o); }},
        {"md5 libcrypto EVP",
         [&](const uint8_t *d, size_t n, uint8_t *o) { lib_md5.run(d, n, o); }},
    };
    for (const Row &r : rows) {
        printf("%-32s", r.name);
        for (size_t size : sizes)
            printf(" %9.0f", mbs_of(size, seconds, r.fn));
        printf("\n");
    }
    std::vector<uint8_t> a = pattern(64u << 10, 131, 17), b = pattern(64u << 10, 29, 3);
    uint8_t ma[32] = {}, mb[32] = {};
    double lib_pair = best_mbs(2 * a.size(), seconds, [&] {
        lib_hmac.run(a.data(), a.size(), ma);
        lib_hmac.run(b.data(), b.size(), mb);
        a[0] ^= ma[0];
        b[0] ^= mb[0];
    });
    printf("two 64 KiB inputs: hmac-sha256 ours side by side %.0f MB/s, libcrypto one after the "
           "other %.0f MB/s\n",
           hmac_pair_mbs(64u << 10, seconds), lib_pair);
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
    compare_with_libcrypto(seconds);
    return 0;
}
