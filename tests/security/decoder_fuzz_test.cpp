// Random and mutated input for the two decoders that read client bytes.
// Seeded and bounded; the sanitizer build turns any read past the input
// (each input is an exactly sized heap block) into a failure.
#include "der_build.h"
#include "dirir2i.h"
#include "foundation/qv2_util.h"
#include "security/qv2_ntlm.h"
#include "support/ntlm_client.h"
#include "support/options_snapshot.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

namespace {

struct Rng {
    std::mt19937 gen;
    explicit Rng(uint32_t seed) : gen(seed) {}
    uint32_t below(uint32_t n) { return n ? uint32_t(gen() % n) : 0; }
    uint8_t byte() { return uint8_t(gen()); }
};

// Values that probe the length and offset checks.
uint32_t edgy(Rng &rng, uint32_t size) {
    const uint32_t picks[] = {0,          1,      2,        0x7f,       0x80,
                              0xff,       0xffff, 0x10000,  0x7fffffff, 0x80000000,
                              0xffffffff, size,   size - 1, size + 1,   size / 2};
    return rng.below(3) == 0 ? rng.gen() : picks[rng.below(std::size(picks))];
}

void mutate(Rng &rng, Bytes *b) {
    int rounds = 1 + int(rng.below(4));
    for (int i = 0; i < rounds; i++) {
        switch (rng.below(6)) {
        case 0: // flip a byte
            if (!b->empty()) (*b)[rng.below(uint32_t(b->size()))] = rng.byte();
            break;
        case 1: // truncate
            b->resize(rng.below(uint32_t(b->size()) + 1));
            break;
        case 2: // insert a byte
            b->insert(b->begin() + rng.below(uint32_t(b->size()) + 1), rng.byte());
            break;
        case 3: // a long or indefinite length form
            if (!b->empty()) {
                const uint8_t forms[] = {0x80, 0x81, 0x82, 0x84, 0x85, 0xff};
                (*b)[rng.below(uint32_t(b->size()))] = forms[rng.below(6)];
            }
            break;
        case 4: { // a 16- or 32-bit little-endian value anywhere
            if (b->size() < 4) break;
            uint32_t at = rng.below(uint32_t(b->size()) - 3);
            qv2_put_le32(b->data() + at, edgy(rng, uint32_t(b->size())));
            break;
        }
        default: // cut a piece out
            if (!b->empty()) {
                uint32_t at = rng.below(uint32_t(b->size()));
                b->erase(b->begin() + at,
                         b->begin() + at + rng.below(uint32_t(b->size()) - at + 1));
            }
            break;
        }
    }
}

std::unique_ptr<uint8_t[]> exact_copy(const Bytes &b) {
    std::unique_ptr<uint8_t[]> p(new uint8_t[b.size() ? b.size() : 1]);
    if (!b.empty()) memcpy(p.get(), b.data(), b.size());
    return p;
}

// A part the decoder reports lies inside the decoded bytes.
void check_inside(const uint8_t *base, uint64_t size, const uint8_t *p, uint64_t n) {
    if (!p) {
        ASSERT_EQ(n, 0u);
        return;
    }
    ASSERT_GE(p, base);
    ASSERT_LE(n, size);
    ASSERT_LE(uint64_t(p - base), size - n);
}

void check_spnego(const Bytes &input) {
    auto blob = exact_copy(input);
    qv2_spnego_token t;
    int rc = qv2_spnego_decode(blob.get(), input.size(), &t);
    ASSERT_TRUE(rc == 0 || rc == -1 || rc == -2) << rc;
    if (rc != 0) {
        ASSERT_EQ(t.tok, nullptr);
        ASSERT_EQ(t.raw, 0);
        return;
    }
    check_inside(blob.get(), input.size(), t.tok, t.toklen);
    check_inside(blob.get(), input.size(), t.mech_types, t.mech_types_len);
    check_inside(blob.get(), input.size(), t.mic, t.miclen);
}

const uint8_t kChallenge[8] = {8, 7, 6, 5, 4, 3, 2, 1};
const int64_t kNow = 1700000000;

void check_type3(const Bytes &input, int timecheck) {
    auto msg = exact_copy(input);
    uint8_t key[16];
    memset(key, 0xcc, 16);
    qv2_ntlm_check chk{kChallenge, "FUZZ", kNow, timecheck, 1};
    qv2_ntlm_reason why = qv2_ntlm_type3(msg.get(), input.size(), chk, "alice", "Secret123", key);
    ASSERT_GE(int(why), int(QV2_NTLM_VERIFIED));
    ASSERT_LE(int(why), int(QV2_NTLM_SESSION_KEY));
    if (why != QV2_NTLM_VERIFIED) {
        for (uint8_t k : key) {
            ASSERT_EQ(k, 0);
        }
    }
}

class DecoderFuzz : public ::testing::Test {
  protected:
    void SetUp() override { unsetenv("DIRIR2I_TRACE"); }
    smb2::ScopedOption guest_{"guest", "on"};
};

std::vector<Bytes> spnego_seeds() {
    Bytes negotiate = ntlm_negotiate_message();
    Bytes auth(200, 0x41);
    memcpy(auth.data(), "NTLMSSP\0\3\0\0\0", 12);
    std::vector<Bytes> seeds = {
        gss_init(cat({mech_types({kOidNegoex, kOidNtlm}), der(0xa2, der(0x04, negotiate)),
                      der(0xa3, der(0x04, Bytes(16, 1)))})),
        gss_init(mech_types({kOidKerberos, kOidMsKerberos})),
        der(0x60, cat({kOidNtlm, negotiate})),
        neg_resp(cat({der(0xa0, from_hex("0a 01 01")), der(0xa1, kOidNtlm),
                      der(0xa2, der(0x04, auth)), der(0xa3, der(0x04, Bytes(16, 2)))})),
        der(0xa1, der(0xa2, der(0x04, auth))),
        negotiate,
    };
    qv2_buf b{};
    qv2_spnego_init_tok_nomect(nullptr, 0, &b);
    seeds.emplace_back(b.data, b.data + b.len);
    qv2_buf_free(&b);
    qv2_spnego_resp(auth.data(), auth.size(), &b);
    seeds.emplace_back(b.data, b.data + b.len);
    qv2_buf_free(&b);
    return seeds;
}

} // namespace

TEST_F(DecoderFuzz, SpnegoDecoderStaysInsideRandomBytes) {
    Rng rng(0x5eed0001);
    const uint8_t firsts[] = {0x60, 0xa1, 'N', 0x30};
    for (int i = 0; i < 20000; i++) {
        Bytes b(rng.below(160));
        for (uint8_t &x : b)
            x = rng.byte();
        if (!b.empty() && rng.below(4) != 0) b[0] = firsts[rng.below(4)];
        check_spnego(b);
        if (HasFatalFailure()) return;
    }
}

TEST_F(DecoderFuzz, SpnegoDecoderStaysInsideMutatedTokens) {
    Rng rng(0x5eed0002);
    std::vector<Bytes> seeds = spnego_seeds();
    for (const Bytes &s : seeds)
        check_spnego(s);
    for (int i = 0; i < 40000; i++) {
        Bytes b = seeds[rng.below(uint32_t(seeds.size()))];
        mutate(rng, &b);
        check_spnego(b);
        if (HasFatalFailure()) return;
    }
}

TEST_F(DecoderFuzz, NtlmVerifierStaysInsideMutatedMessages) {
    Rng rng(0x5eed0003);
    qv2_buf b{};
    ASSERT_EQ(qv2_ntlm_type2("FUZZ", kChallenge, kNow, qv2_ntlm_offer(nullptr, 0), &b), 0);
    Bytes challenge(b.data, b.data + b.len);
    qv2_buf_free(&b);

    std::vector<Bytes> seeds;
    for (int kx = 0; kx < 2; kx++) {
        NtlmClientParams p;
        p.user = "alice";
        p.password = "Secret123";
        p.domain = "WORKGROUP";
        p.key_exch = kx;
        NtlmAuth a;
        ASSERT_TRUE(ntlm_authenticate(p, challenge, &a));
        seeds.push_back(a.message);
    }
    for (const Bytes &s : seeds) {
        check_type3(s, 1);
        auto copy = exact_copy(s);
        uint8_t key[16];
        qv2_ntlm_check chk{kChallenge, "FUZZ", kNow, 1, 1};
        ASSERT_EQ(qv2_ntlm_type3(copy.get(), s.size(), chk, "alice", "Secret123", key),
                  QV2_NTLM_VERIFIED);
    }
    for (int i = 0; i < 20000; i++) {
        Bytes m = seeds[rng.below(2)];
        if (rng.below(2)) {
            // Aim at the descriptors and flags, where offsets and lengths live.
            int n = 1 + int(rng.below(3));
            for (int k = 0; k < n; k++) {
                uint32_t at = 12 + 2 * rng.below(26);
                uint32_t v = edgy(rng, uint32_t(m.size()));
                if (rng.below(2))
                    qv2_put_le16(m.data() + at, uint16_t(v));
                else
                    qv2_put_le32(m.data() + at, v);
            }
        } else {
            mutate(rng, &m);
        }
        check_type3(m, int(rng.below(2)));
        if (HasFatalFailure()) return;
    }
}

TEST_F(DecoderFuzz, NtlmVerifierStaysInsideRandomBytes) {
    Rng rng(0x5eed0004);
    for (int i = 0; i < 20000; i++) {
        Bytes m(rng.below(200));
        for (uint8_t &x : m)
            x = rng.byte();
        if (m.size() >= 12 && rng.below(4) != 0) memcpy(m.data(), "NTLMSSP\0\3\0\0\0", 12);
        check_type3(m, int(rng.below(2)));
        if (HasFatalFailure()) return;
    }
}
