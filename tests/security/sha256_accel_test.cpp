// The two SHA-256 compressions (portable, and the x86 SHA extensions) give
// the same digests: on the published vectors, on random inputs of every
// length up to 1024 bytes, and block by block from arbitrary states. Where the
// CPU lacks the extensions, the cases that need them are skipped.
#include "security/qv2_crypto.h"
#include "security/sha256_blocks.h"
#include "support/builders/wire.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using smb2::Bytes;
using smb2::hex;

namespace {

// Digests go through the chosen compression while the object lives.
class UseCompression {
  public:
    explicit UseCompression(int which) : ok_(qv2_sha256_select(which) == 0) {}
    ~UseCompression() { qv2_sha256_select(QV2_SHA256_AUTO); }
    UseCompression(const UseCompression &) = delete;
    UseCompression &operator=(const UseCompression &) = delete;
    bool ok() const { return ok_; }

  private:
    bool ok_;
};

bool have_extensions() {
    return qv2_sha256_x86_usable() != 0;
}

std::string sha256_hex(const Bytes &in) {
    uint8_t out[32];
    qv2_sha256(in.data(), in.size(), out);
    return hex(out, 32);
}

// Fed in pieces of 1, 2, 3 ... bytes, so every fill level of the block
// buffer meets both the buffered and the straight-from-input paths.
std::string sha256_in_pieces_hex(const Bytes &in) {
    qv2_sha256_ctx c;
    qv2_sha256_init(&c);
    size_t at = 0, piece = 1;
    while (at < in.size()) {
        size_t n = std::min(piece++, in.size() - at);
        qv2_sha256_update(&c, in.data() + at, n);
        at += n;
    }
    uint8_t out[32];
    qv2_sha256_final(&c, out);
    return hex(out, 32);
}

Bytes text(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

Bytes random_bytes(std::mt19937 &rng, size_t n) {
    Bytes b(n);
    for (auto &v : b)
        v = uint8_t(rng());
    return b;
}

struct Published {
    Bytes input;
    const char *digest;
};

// The FIPS 180-4 examples and the million-'a' message.
std::vector<Published> published() {
    return {
        {text(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {text("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {text("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnop"
              "jklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {Bytes(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
}

void expect_published_vectors(const char *which) {
    for (const Published &v : published()) {
        EXPECT_EQ(sha256_hex(v.input), v.digest) << which << ", " << v.input.size() << " bytes";
        EXPECT_EQ(sha256_in_pieces_hex(v.input), v.digest)
            << which << " in pieces, " << v.input.size() << " bytes";
    }
}

} // namespace

TEST(Sha256Accel, PortableCompressionGivesThePublishedDigests) {
    UseCompression use(QV2_SHA256_PORTABLE);
    ASSERT_TRUE(use.ok());
    EXPECT_EQ(qv2_sha256_blocks(), &qv2_sha256_blocks_portable);
    expect_published_vectors("portable");
}

TEST(Sha256Accel, ShaExtensionsGiveThePublishedDigests) {
    if (!have_extensions()) GTEST_SKIP() << "this CPU has no SHA extensions";
    UseCompression use(QV2_SHA256_X86);
    ASSERT_TRUE(use.ok());
    EXPECT_EQ(qv2_sha256_blocks(), &qv2_sha256_blocks_x86);
    expect_published_vectors("SHA extensions");
}

TEST(Sha256Accel, BothCompressionsAgreeOnRandomInputsOfEveryLengthUpTo1024) {
    if (!have_extensions()) GTEST_SKIP() << "this CPU has no SHA extensions";
    std::mt19937 rng(20240611);
    for (size_t n = 0; n <= 1024; n++) {
        Bytes in = random_bytes(rng, n);
        std::string portable, accelerated, accelerated_pieces;
        {
            UseCompression use(QV2_SHA256_PORTABLE);
            portable = sha256_hex(in);
        }
        {
            UseCompression use(QV2_SHA256_X86);
            accelerated = sha256_hex(in);
            accelerated_pieces = sha256_in_pieces_hex(in);
        }
        ASSERT_EQ(accelerated, portable) << n << " bytes";
        ASSERT_EQ(accelerated_pieces, portable) << n << " bytes in pieces";
    }
}

// Straight at the compression, from random chaining values: the packing of
// the state into the instructions' lane order must hold for any state, not
// only the initial one, and over runs of several blocks.
TEST(Sha256Accel, BothCompressionsAgreeBlockByBlockFromAnyState) {
    if (!have_extensions()) GTEST_SKIP() << "this CPU has no SHA extensions";
    std::mt19937 rng(7);
    for (uint64_t nblocks = 0; nblocks <= 9; nblocks++) {
        for (int trial = 0; trial < 20; trial++) {
            uint32_t a[8], b[8];
            for (int i = 0; i < 8; i++)
                a[i] = b[i] = uint32_t(rng());
            Bytes data = random_bytes(rng, 64 * nblocks + 1);
            const uint8_t *unaligned = data.data() + 1; // the input may sit anywhere
            qv2_sha256_blocks_portable(a, unaligned, nblocks);
            qv2_sha256_blocks_x86(b, unaligned, nblocks);
            ASSERT_EQ(hex(reinterpret_cast<uint8_t *>(b), 32), hex(reinterpret_cast<uint8_t *>(a), 32))
                << nblocks << " blocks, trial " << trial;
        }
    }
}

TEST(Sha256Accel, HmacIsTheSameWithEitherCompression) {
    if (!have_extensions()) GTEST_SKIP() << "this CPU has no SHA extensions";
    std::mt19937 rng(99);
    for (size_t keylen : {0, 16, 64, 65, 131}) {
        Bytes key = random_bytes(rng, keylen);
        Bytes msg = random_bytes(rng, 65536 + 80);
        uint8_t portable[32], accelerated[32];
        {
            UseCompression use(QV2_SHA256_PORTABLE);
            qv2_hmac256(key.data(), key.size(), msg.data(), msg.size(), portable);
        }
        {
            UseCompression use(QV2_SHA256_X86);
            qv2_hmac256(key.data(), key.size(), msg.data(), msg.size(), accelerated);
        }
        EXPECT_EQ(hex(accelerated, 32), hex(portable, 32)) << "key of " << keylen << " bytes";
    }
}

TEST(Sha256Accel, TheDefaultUsesTheExtensionsExactlyWhenTheCpuHasThem) {
    ASSERT_EQ(qv2_sha256_select(QV2_SHA256_AUTO), 0);
    EXPECT_EQ(qv2_sha256_blocks(),
              have_extensions() ? &qv2_sha256_blocks_x86 : &qv2_sha256_blocks_portable);
    EXPECT_EQ(qv2_selftest(), 0);
}

TEST(Sha256Accel, AChoiceThatCannotRunIsRefusedAndChangesNothing) {
    ASSERT_EQ(qv2_sha256_select(QV2_SHA256_PORTABLE), 0);
    EXPECT_EQ(qv2_sha256_select(3), -1);
    EXPECT_EQ(qv2_sha256_select(-1), -1);
    if (!have_extensions()) {
        EXPECT_EQ(qv2_sha256_select(QV2_SHA256_X86), -1);
    }
    EXPECT_EQ(qv2_sha256_blocks(), &qv2_sha256_blocks_portable);
    qv2_sha256_select(QV2_SHA256_AUTO);
}

namespace {

// The portable compression, and the SHA extensions where the CPU has them.
std::vector<int> runnable_compressions() {
    std::vector<int> choices = {QV2_SHA256_PORTABLE};
    if (have_extensions()) choices.push_back(QV2_SHA256_X86);
    return choices;
}

} // namespace

// Two messages hashed side by side must come out exactly as each alone,
// whatever the two lengths (the shorter one ends early, or is empty) and
// however full each digest's block buffer already is.
TEST(Sha256Accel, TwoDigestsUpdatedTogetherMatchEachUpdatedAlone) {
    std::mt19937 rng(4242);
    for (int which : runnable_compressions()) {
        UseCompression use(which);
        ASSERT_TRUE(use.ok());
        EXPECT_EQ(qv2_sha256_blocks2(), which == QV2_SHA256_X86 ? &qv2_sha256_blocks2_x86
                                                                : &qv2_sha256_blocks2_portable);
        for (int trial = 0; trial < 400; trial++) {
            size_t lead_a = rng() % 3 == 0 ? rng() % 64 : 0, lead_b = rng() % 2 ? rng() % 64 : 0;
            size_t len_a = rng() % 700, len_b = trial % 7 == 0 ? len_a : rng() % 700;
            Bytes lead = random_bytes(rng, 64), a = random_bytes(rng, len_a),
                  b = random_bytes(rng, len_b);
            qv2_sha256_ctx pa, pb, sa, sb;
            for (qv2_sha256_ctx *c : {&pa, &pb, &sa, &sb})
                qv2_sha256_init(c);
            qv2_sha256_update(&pa, lead.data(), lead_a);
            qv2_sha256_update(&sa, lead.data(), lead_a);
            qv2_sha256_update(&pb, lead.data(), lead_b);
            qv2_sha256_update(&sb, lead.data(), lead_b);
            qv2_sha256_update_pair(&pa, a.data(), a.size(), &pb, b.data(), b.size());
            qv2_sha256_update(&sa, a.data(), a.size());
            qv2_sha256_update(&sb, b.data(), b.size());
            uint8_t da[32], db[32], ea[32], eb[32];
            qv2_sha256_final(&pa, da);
            qv2_sha256_final(&pb, db);
            qv2_sha256_final(&sa, ea);
            qv2_sha256_final(&sb, eb);
            ASSERT_EQ(hex(da, 32), hex(ea, 32)) << "trial " << trial << ": " << lead_a << "+" << len_a;
            ASSERT_EQ(hex(db, 32), hex(eb, 32)) << "trial " << trial << ": " << lead_b << "+" << len_b;
        }
    }
}

TEST(Sha256Accel, TwoMacsComputedTogetherMatchEachComputedAlone) {
    std::mt19937 rng(77);
    for (int which : runnable_compressions()) {
        UseCompression use(which);
        ASSERT_TRUE(use.ok());
        // The sizes of a signed 64 KiB READ reply and of small replies, and
        // keys of every HMAC key-block case, different on the two sides.
        for (auto [len_a, len_b] : std::vector<std::pair<size_t, size_t>>{
                 {65616, 65616}, {65616, 65}, {0, 65616}, {145, 1000}, {64, 63}}) {
            Bytes ka = random_bytes(rng, 16), kb = random_bytes(rng, 131),
                  a = random_bytes(rng, len_a), b = random_bytes(rng, len_b);
            uint8_t ma[32], mb[32], ea[32], eb[32];
            qv2_hmac256_pair(ka.data(), ka.size(), a.data(), a.size(), ma, kb.data(), kb.size(),
                             b.data(), b.size(), mb);
            qv2_hmac256(ka.data(), ka.size(), a.data(), a.size(), ea);
            qv2_hmac256(kb.data(), kb.size(), b.data(), b.size(), eb);
            EXPECT_EQ(hex(ma, 32), hex(ea, 32)) << len_a << " and " << len_b;
            EXPECT_EQ(hex(mb, 32), hex(eb, 32)) << len_a << " and " << len_b;
        }
    }
}

// The two-message compression straight, from unrelated random states and
// unaligned inputs, against the one-message compression.
TEST(Sha256Accel, TheTwoMessageCompressionMatchesTheOneMessageOne) {
    if (!have_extensions()) GTEST_SKIP() << "this CPU has no SHA extensions";
    std::mt19937 rng(11);
    for (uint64_t nblocks = 0; nblocks <= 5; nblocks++) {
        uint32_t a[8], b[8], ea[8], eb[8];
        for (int i = 0; i < 8; i++) {
            a[i] = ea[i] = uint32_t(rng());
            b[i] = eb[i] = uint32_t(rng());
        }
        Bytes da = random_bytes(rng, 64 * nblocks + 3), db = random_bytes(rng, 64 * nblocks + 3);
        qv2_sha256_blocks2_x86(a, da.data() + 1, b, db.data() + 3, nblocks);
        qv2_sha256_blocks_x86(ea, da.data() + 1, nblocks);
        qv2_sha256_blocks_portable(eb, db.data() + 3, nblocks);
        EXPECT_EQ(hex(reinterpret_cast<uint8_t *>(a), 32), hex(reinterpret_cast<uint8_t *>(ea), 32));
        EXPECT_EQ(hex(reinterpret_cast<uint8_t *>(b), 32), hex(reinterpret_cast<uint8_t *>(eb), 32));
    }
}
