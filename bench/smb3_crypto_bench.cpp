// The SMB 3 primitives alone, one core: MB/s of AES-128-GCM and AES-128-CCM
// sealing 1 MiB in place (a 1 MiB READ reply in its TRANSFORM_HEADER),
// opening the same, and of AES-128-GMAC and AES-128-CMAC signing 1 MiB; a
// new nonce per message, the keys set once, as the engine will use them.
// AES-256-GCM and 64 KiB messages for scale.
//
//   bench_smb3_crypto [seconds-per-figure]   (default 1)
#include "security/qv2_smb3_crypto.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// MB/s of `step`, which handles `bytes_per_step` bytes a call: the best of
// five runs of about `seconds` / 5 each (a shared machine only slows runs).
template <typename Step> double best_mbs(uint64_t bytes_per_step, double seconds, Step step) {
    double best = 0;
    for (int run = 0; run < 5; run++) {
        uint64_t bytes = 0;
        Clock::time_point t0 = Clock::now();
        double s = 0;
        do {
            if (!step()) return -1;
            bytes += bytes_per_step;
            s = std::chrono::duration<double>(Clock::now() - t0).count();
        } while (s < seconds / 5);
        best = std::max(best, double(bytes) / 1e6 / s);
    }
    return best;
}

struct Message {
    std::vector<uint8_t> buf;
    uint8_t aad[32] = {};
    uint8_t nonce[16] = {};
    uint64_t counter = 0;
    explicit Message(size_t size) : buf(size) {
        for (size_t i = 0; i < size; i++)
            buf[i] = uint8_t(i * 131 + 17);
    }
    // The next message's nonce, as a sender counts them.
    const uint8_t *next_nonce() {
        counter++;
        memcpy(nonce, &counter, sizeof counter);
        memcpy(aad, nonce, 16);
        return nonce;
    }
};

double seal_mbs(uint16_t cipher, size_t size, double seconds) {
    std::vector<uint8_t> key(size_t(qv2_aead_key_len(cipher)), 0x42);
    qv2_aead_ctx c{};
    if (qv2_aead_init(&c, cipher, QV2_AEAD_SEAL, key.data(), key.size()) != 0) return -1;
    Message m(size);
    uint8_t tag[16];
    double r = best_mbs(size, seconds, [&] {
        return qv2_aead_seal(&c, m.next_nonce(), qv2_aead_nonce_len(cipher), m.aad, 32,
                             m.buf.data(), size, tag) == 0;
    });
    qv2_aead_free(&c);
    return r;
}

// Opens one message sealed beforehand, again and again (the copy that
// restores it is in the figure; the copy alone is printed too).
double open_mbs(uint16_t cipher, size_t size, double seconds) {
    std::vector<uint8_t> key(size_t(qv2_aead_key_len(cipher)), 0x42);
    qv2_aead_ctx s{}, o{};
    if (qv2_aead_init(&s, cipher, QV2_AEAD_SEAL, key.data(), key.size()) != 0 ||
        qv2_aead_init(&o, cipher, QV2_AEAD_OPEN, key.data(), key.size()) != 0)
        return -1;
    int nlen = qv2_aead_nonce_len(cipher);
    Message m(size);
    std::vector<uint8_t> sealed = m.buf;
    uint8_t tag[16];
    qv2_aead_seal(&s, m.next_nonce(), nlen, m.aad, 32, sealed.data(), size, tag);
    double r = best_mbs(size, seconds, [&] {
        // Opening in place turns the buffer to plaintext: each round opens a
        // fresh copy of the sealed message.
        std::copy(sealed.begin(), sealed.end(), m.buf.begin());
        return qv2_aead_open(&o, m.nonce, nlen, m.aad, 32, m.buf.data(), size, tag) == 0;
    });
    qv2_aead_free(&s);
    qv2_aead_free(&o);
    return r;
}

double copy_mbs(size_t size, double seconds) {
    Message m(size);
    std::vector<uint8_t> other = m.buf;
    return best_mbs(size, seconds, [&] {
        std::copy(other.begin(), other.end(), m.buf.begin());
        return m.buf[0] == other[0];
    });
}

double gmac_mbs(size_t size, double seconds) {
    uint8_t key[16] = {7};
    qv2_gmac_ctx c{};
    if (qv2_gmac_init(&c, key) != 0) return -1;
    Message m(size);
    uint8_t mac[16];
    qv2_span part{m.buf.data(), size};
    double r = best_mbs(size, seconds,
                        [&] { return qv2_gmac_sign(&c, m.next_nonce(), &part, 1, mac) == 0; });
    qv2_gmac_free(&c);
    return r;
}

double cmac_mbs(size_t size, double seconds) {
    uint8_t key[16] = {7};
    qv2_cmac_ctx c{};
    if (qv2_cmac_init(&c, key) != 0) return -1;
    Message m(size);
    uint8_t mac[16];
    qv2_span part{m.buf.data(), size};
    double r = best_mbs(size, seconds, [&] {
        m.buf[0] ^= 1;
        return qv2_cmac_sign(&c, &part, 1, mac) == 0;
    });
    qv2_cmac_free(&c);
    return r;
}

} // namespace

int main(int argc, char **argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 1.0;
    if (!(seconds > 0)) seconds = 1.0;
    if (qv2_smb3_crypto_ready() != 0) {
        fprintf(stderr, "libcrypto lacks an algorithm: %s\n", qv2_error());
        return 1;
    }
    const size_t mib = 1u << 20, k64 = 64u << 10;
    printf("SMB 3 primitives, one core, MB/s         1 MiB    64 KiB\n");
    printf("aes-128-gcm seal in place           %9.0f %9.0f\n",
           seal_mbs(QV2_CIPHER_AES128_GCM, mib, seconds),
           seal_mbs(QV2_CIPHER_AES128_GCM, k64, seconds));
    double copy = copy_mbs(mib, seconds);
    printf("aes-128-gcm open in place (*)       %9.0f %9.0f\n",
           open_mbs(QV2_CIPHER_AES128_GCM, mib, seconds),
           open_mbs(QV2_CIPHER_AES128_GCM, k64, seconds));
    printf("aes-256-gcm seal in place           %9.0f %9.0f\n",
           seal_mbs(QV2_CIPHER_AES256_GCM, mib, seconds),
           seal_mbs(QV2_CIPHER_AES256_GCM, k64, seconds));
    printf("aes-128-ccm seal in place           %9.0f %9.0f\n",
           seal_mbs(QV2_CIPHER_AES128_CCM, mib, seconds),
           seal_mbs(QV2_CIPHER_AES128_CCM, k64, seconds));
    printf("aes-128-gmac                        %9.0f %9.0f\n", gmac_mbs(mib, seconds),
           gmac_mbs(k64, seconds));
    printf("aes-128-cmac                        %9.0f %9.0f\n", cmac_mbs(mib, seconds),
           cmac_mbs(k64, seconds));
    printf("(*) each open first copies the sealed message back (1 MiB copy alone: %.0f MB/s)\n",
           copy);
    return 0;
}
