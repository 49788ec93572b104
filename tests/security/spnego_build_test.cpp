// The tokens the server sends: exact bytes, and well-formed DER throughout.
#include "der_build.h"
#include "foundation/qv2_util.h"
#include "security/qv2_ntlm.h"

#include <gtest/gtest.h>

namespace {

Bytes take(qv2_buf *b) {
    EXPECT_FALSE(b->failed);
    Bytes out(b->data, b->data + b->len);
    qv2_buf_free(b);
    return out;
}

const std::string kHintsHex = hex(bytes_of("not_defined_in_RFC4178@please_ignore"));

// True when every constructed element's children exactly fill it, down to
// the primitive leaves, and the elements exactly fill `b`.
bool well_formed(const uint8_t *p, uint64_t n) {
    der_reader r{p, n, 0};
    while (r.pos < r.size) {
        int tag;
        uint64_t len;
        if (der_tag(&r, &tag, &len) != 0) return false;
        if ((tag & 0x20) && !well_formed(r.data + r.pos, len)) return false;
        r.pos += len;
    }
    return true;
}
bool well_formed(const Bytes &b) {
    return well_formed(b.data(), b.size());
}

} // namespace

TEST(SpnegoBuild, InitWithoutMechTokenIsTheFixed74Bytes) {
    const std::string want = "6048"
                             "06062b0601050502"
                             "a03e"
                             "303c"
                             "a00e300c"
                             "060a2b06010401823702020a"
                             "a32a3028a0261b24" +
                             kHintsHex;
    qv2_buf b{};
    EXPECT_EQ(qv2_spnego_init_tok_nomect(nullptr, 0, &b), 0);
    Bytes t = take(&b);
    EXPECT_EQ(t.size(), 74u);
    EXPECT_EQ(hex(t), want);
    // Its arguments don't matter.
    uint8_t junk[3] = {1, 2, 3};
    qv2_spnego_init_tok_nomect(junk, 3, &b);
    EXPECT_EQ(hex(take(&b)), want);
    EXPECT_TRUE(well_formed(from_hex(want)));
}

TEST(SpnegoBuild, InitWithAnEmptyMechTokenIsTheFixed78Bytes) {
    qv2_buf b{};
    EXPECT_EQ(qv2_spnego_init_tok(nullptr, 0, &b), 0);
    Bytes t = take(&b);
    EXPECT_EQ(t.size(), 78u);
    EXPECT_EQ(hex(t), "604c"
                      "06062b0601050502"
                      "a0423040"
                      "a00e300c"
                      "060a2b06010401823702020a"
                      "a2020400"
                      "a32a3028a0261b24" +
                          kHintsHex);
}

TEST(SpnegoBuild, InitWithLargerMechTokensUsesLongLengthForms) {
    for (size_t n : {1u, 60u, 61u, 120u, 200u, 300u}) {
        Bytes token(n, 0x4e);
        qv2_buf b{};
        qv2_spnego_init_tok(token.data(), n, &b);
        Bytes t = take(&b);
        EXPECT_TRUE(well_formed(t)) << n;
        // The mechToken OCTET STRING holds the token unchanged, just before negHints.
        ASSERT_GT(t.size(), n + 44);
        EXPECT_EQ(Bytes(t.end() - 44 - n, t.end() - 44), token) << n;
    }
}

TEST(SpnegoBuild, ResponseTokenSizesAndLengthForms) {
    qv2_buf b{};
    qv2_spnego_resp(nullptr, 0, &b);
    Bytes empty = take(&b);
    EXPECT_EQ(hex(empty), "a119"
                          "3017"
                          "a0030a0101"
                          "a10c060a2b06010401823702020a"
                          "a2020400");

    Bytes c124(124, 0xc4);
    qv2_spnego_resp(c124.data(), c124.size(), &b);
    Bytes t124 = take(&b);
    EXPECT_EQ(t124.size(), 153u);
    EXPECT_EQ(hex(t124).substr(0, 26), "a18196308193a0030a0101a10c");
    EXPECT_EQ(hex(Bytes(t124.begin() + 25, t124.begin() + 29)), "a27e047c");
    EXPECT_TRUE(well_formed(t124));

    Bytes c128(128, 0xc8);
    qv2_spnego_resp(c128.data(), c128.size(), &b);
    Bytes t128 = take(&b);
    EXPECT_EQ(t128.size(), 159u);
    EXPECT_EQ(hex(t128).substr(0, 12), "a1819c308199");
    EXPECT_EQ(hex(Bytes(t128.begin() + 25, t128.begin() + 31)), "a28183048180");
    EXPECT_EQ(Bytes(t128.end() - 128, t128.end()), c128);
    EXPECT_TRUE(well_formed(t128));

    Bytes big(300, 1);
    qv2_spnego_resp(big.data(), big.size(), &b);
    EXPECT_TRUE(well_formed(take(&b)));
}

TEST(SpnegoBuild, AcceptCompletedIsNineBytes) {
    qv2_buf b{};
    EXPECT_EQ(qv2_spnego_done(&b), 0);
    EXPECT_EQ(hex(take(&b)), "a107"
                             "3005"
                             "a003"
                             "0a0100");
}

TEST(SpnegoBuild, LengthEncodingUsesTheShortestDefiniteForm) {
    struct {
        uint64_t n;
        const char *enc;
    } v[] = {{0, "00"},       {127, "7f"},       {128, "8180"},       {255, "81ff"},
             {256, "820100"}, {65535, "82ffff"}, {65536, "83010000"}, {0x1000000, "8401000000"}};
    for (const auto &t : v) {
        qv2_buf b{};
        der_len(&b, t.n);
        EXPECT_EQ(hex(take(&b)), t.enc) << t.n;
    }
}
