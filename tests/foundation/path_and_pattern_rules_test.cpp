#include "foundation/qv2_util.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Normalises into a generous area; returns the code and leaves the result in *out.
int vpath(const std::string &in, std::string *out, int cap = 1026) {
    std::string area(size_t(cap > 0 ? cap : 1), '#');
    int rc = qv2_vpath(in.c_str(), area.data(), cap);
    if (rc == 0) *out = area.c_str();
    return rc;
}

std::string joined(int n, size_t each) {
    std::string s;
    for (int i = 0; i < n; i++) {
        if (i) s += '/';
        s += std::string(each, char('a' + i % 26));
    }
    return s;
}

TEST(PathRules, MixedSeparatorsCollapseToSingleSlashes) {
    std::string out;
    ASSERT_EQ(vpath("\\dir//sub\\/file.txt\\", &out), 0);
    EXPECT_EQ(out, "dir/sub/file.txt");
    ASSERT_EQ(vpath("", &out), 0);
    EXPECT_EQ(out, "");
    ASSERT_EQ(vpath("/\\//", &out), 0);
    EXPECT_EQ(out, "");
    char area[4];
    ASSERT_EQ(qv2_vpath(nullptr, area, sizeof area), 0);
    EXPECT_STREQ(area, "");
}

TEST(PathRules, DotComponentsAndTrailingDotsOrSpacesAreRefused) {
    std::string out = "untouched";
    EXPECT_EQ(vpath("a/./b", &out), -7);
    EXPECT_STREQ(qv2_error(), "\".\" is not a valid name component");
    EXPECT_EQ(vpath("a\\..\\b", &out), -7);
    EXPECT_STREQ(qv2_error(), "\"..\" is not a valid name component");
    EXPECT_EQ(vpath("a/.../b", &out), -7);
    EXPECT_STREQ(qv2_error(), "name component ends in a dot or a space");
    EXPECT_EQ(vpath("name.", &out), -7);
    EXPECT_EQ(vpath("name /x", &out), -7);
    EXPECT_EQ(out, "untouched");
    ASSERT_EQ(vpath(".hidden/x.y", &out), 0);
    EXPECT_EQ(out, ".hidden/x.y");
}

TEST(PathRules, ComponentLengthDepthAndInputLimits) {
    std::string out;
    EXPECT_EQ(vpath(std::string(255, 'c'), &out), 0);
    EXPECT_EQ(vpath(std::string(256, 'c'), &out), -7);
    EXPECT_STREQ(qv2_error(), "name component longer than 255 bytes");

    EXPECT_EQ(vpath(joined(64, 1), &out), 0);
    EXPECT_EQ(vpath(joined(65, 1), &out), -7);
    EXPECT_STREQ(qv2_error(), "deeper than 64 components");

    // 2049 bytes of separators would normalise to nothing, but are refused first.
    EXPECT_EQ(vpath(std::string(2049, '/'), &out), -7);
    EXPECT_STREQ(qv2_error(), "name longer than 2048 bytes");
    EXPECT_EQ(vpath(std::string(2048, '/'), &out), 0);
}

TEST(PathRules, ResultMayBeExactly1024BytesButNoMore) {
    // Four components of 255 bytes plus three slashes: 1023; one more byte fits.
    std::string four = joined(4, 255);
    std::string out;
    ASSERT_EQ(vpath(four + "/", &out), 0);
    EXPECT_EQ(out.size(), 1023u);
    std::string exact = joined(3, 255) + "/" + std::string(253, 'z') + "/a"; // 767+1+253+1+1 = 1023
    ASSERT_EQ(vpath(exact + "b", &out), 0);
    EXPECT_EQ(out.size(), 1024u);
    EXPECT_EQ(vpath(exact + "bc", &out), -7);
    EXPECT_STREQ(qv2_error(), "path longer than 1024 bytes");
}

TEST(PathRules, OutputAreaMustHoldTheTerminator) {
    std::string out;
    EXPECT_EQ(vpath("abc/de", &out, 6), -8);
    EXPECT_STREQ(qv2_error(), "the name needs 7 bytes");
    ASSERT_EQ(vpath("abc/de", &out, 7), 0);
    EXPECT_EQ(out, "abc/de");
    EXPECT_EQ(qv2_vpath("abc", nullptr, 100), -8);
}

TEST(PathRules, OnlyControlBytesAreRefusedInsideComponents) {
    std::string out;
    ASSERT_EQ(vpath("a:b/*?\"<>|/\xc3\xa9", &out), 0);
    EXPECT_EQ(out, "a:b/*?\"<>|/\xc3\xa9");
    EXPECT_EQ(vpath("a\tb", &out), -7);
    EXPECT_STREQ(qv2_error(), "control byte in a name component");
    EXPECT_EQ(vpath("x/a\x7f", &out), -7);
}

TEST(PatternRules, LeafPatternsPassAndPathsOrControlBytesFail) {
    for (const char *ok : {"*", "*.TXT", "a?c", "", "<>\""}) EXPECT_EQ(qv2_pat_check(ok), 0) << ok;
    EXPECT_EQ(qv2_pat_check("a/b"), -1);
    EXPECT_STREQ(qv2_error(), "the pattern is a leaf name only");
    EXPECT_EQ(qv2_pat_check("a\\b"), -1);
    EXPECT_EQ(qv2_pat_check("a\x01"), -1);
    EXPECT_STREQ(qv2_error(), "control byte in the pattern");
    EXPECT_EQ(qv2_pat_check(std::string(512, 'p').c_str()), 0);
    EXPECT_EQ(qv2_pat_check(std::string(513, 'p').c_str()), -1);
    EXPECT_STREQ(qv2_error(), "pattern longer than 512 bytes");
    EXPECT_EQ(qv2_pat_check(nullptr), -1);
    EXPECT_STREQ(qv2_error(), "NULL pattern");
}

TEST(GlobMatch, StarsBacktrackAndLettersFoldAsciiOnly) {
    EXPECT_EQ(qv2_glob_match("*.txt", "README.TXT"), 1);
    EXPECT_EQ(qv2_glob_match("a*b*c", "aXbYbZc"), 1);
    EXPECT_EQ(qv2_glob_match("a*b*c", "aXbYbZ"), 0);
    EXPECT_EQ(qv2_glob_match("a?c", "ac"), 0);
    EXPECT_EQ(qv2_glob_match("a?c", "abc"), 1);
    EXPECT_EQ(qv2_glob_match("*", ""), 1);
    EXPECT_EQ(qv2_glob_match("***", "anything at all"), 1);
    EXPECT_EQ(qv2_glob_match("", "a"), 0);
    EXPECT_EQ(qv2_glob_match("", ""), 1);
    EXPECT_EQ(qv2_glob_match("*ab", "aab"), 1); // needs the backtrack
    EXPECT_EQ(qv2_glob_match("<x>", "<x>"), 1);
    EXPECT_EQ(qv2_glob_match("\xc3\xa9", "\xc3\x89"), 0); // no Unicode folding
    EXPECT_EQ(qv2_glob_match("?", "\xc3\xa9"), 0);       // '?' is one byte
    EXPECT_EQ(qv2_glob_match("??", "\xc3\xa9"), 1);
}

TEST(CaseCompare, FoldsAsciiLettersOnly) {
    EXPECT_EQ(qv2_casecmp("IPC$", "ipc$"), 0);
    EXPECT_LT(qv2_casecmp("a", "ab"), 0);
    EXPECT_GT(qv2_casecmp("b", "A"), 0);
    EXPECT_NE(qv2_casecmp("\xc3\x89", "\xc3\xa9"), 0);
    EXPECT_GT(qv2_casecmp("\x80", "a"), 0); // compared as unsigned bytes
    EXPECT_EQ(qv2_ncasecmp("SRVSVCx", "srvsvcY", 6), 0);
    EXPECT_NE(qv2_ncasecmp("SRVSVCx", "srvsvcY", 7), 0);
    EXPECT_EQ(qv2_ncasecmp("a", "b", 0), 0);
    EXPECT_EQ(qv2_ncasecmp("ab", "AB", 100), 0);
}

} // namespace
