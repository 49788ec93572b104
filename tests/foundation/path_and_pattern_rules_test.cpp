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
    EXPECT_EQ(vpath("a/./b", &out), DIRIR2I_ENAME);
    EXPECT_STREQ(qv2_error(), "\".\" is not a valid name component");
    EXPECT_EQ(vpath("a\\..\\b", &out), DIRIR2I_ENAME);
    EXPECT_STREQ(qv2_error(), "\"..\" is not a valid name component");
    EXPECT_EQ(vpath("a/.../b", &out), DIRIR2I_ENAME);
    EXPECT_STREQ(qv2_error(), "name component ends in a dot or a space");
    EXPECT_EQ(vpath("name.", &out), DIRIR2I_ENAME);
    EXPECT_EQ(vpath("name /x", &out), DIRIR2I_ENAME);
    EXPECT_EQ(out, "untouched");
    ASSERT_EQ(vpath(".hidden/x.y", &out), 0);
    EXPECT_EQ(out, ".hidden/x.y");
}

TEST(PathRules, ComponentLengthDepthAndInputLimits) {
    std::string out;
    EXPECT_EQ(vpath(std::string(255, 'c'), &out), 0);
    EXPECT_EQ(vpath(std::string(256, 'c'), &out), DIRIR2I_ENAME);
    EXPECT_STREQ(qv2_error(), "name component longer than 255 bytes");

    EXPECT_EQ(vpath(joined(64, 1), &out), 0);
    EXPECT_EQ(vpath(joined(65, 1), &out), DIRIR2I_ENAME);
    EXPECT_STREQ(qv2_error(), "deeper than 64 components");

    // 2049 bytes of separators would normalise to nothing, but are refused first.
    EXPECT_EQ(vpath(std::string(2049, '/'), &out), DIRIR2I_ENAME);
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
    EXPECT_EQ(vpath(exact + "bc", &out), DIRIR2I_ENAME);
    EXPECT_STREQ(qv2_error(), "path longer than 1024 bytes");
}

TEST(PathRules, OutputAreaMustHoldTheTerminator) {
    std::string out;
    EXPECT_EQ(vpath("abc/de", &out, 6), DIRIR2I_ESMALL);
    EXPECT_STREQ(qv2_error(), "the name needs 7 bytes");
    ASSERT_EQ(vpath("abc/de", &out, 7), 0);
    EXPECT_EQ(out, "abc/de");
    EXPECT_EQ(qv2_vpath("abc", nullptr, 100), DIRIR2I_ESMALL);
}

TEST(PathRules, OnlyControlBytesAreRefusedInsideComponents) {
    std::string out;
    ASSERT_EQ(vpath("a:b/*?\"<>|/\xc3\xa9", &out), 0);
    EXPECT_EQ(out, "a:b/*?\"<>|/\xc3\xa9");
    EXPECT_EQ(vpath("a\tb", &out), DIRIR2I_ENAME);
    EXPECT_STREQ(qv2_error(), "control byte in a name component");
    EXPECT_EQ(vpath("x/a\x7f", &out), DIRIR2I_ENAME);
}

TEST(PatternRules, LeafPatternsPassAndPathsOrControlBytesFail) {
    for (const char *ok : {"*", "*.TXT", "a?c", "", "<>\""}) EXPECT_EQ(qv2_pat_check(ok), 0) << ok;
    EXPECT_EQ(qv2_pat_check("a/b"), DIRIR2I_EARG);
    EXPECT_STREQ(qv2_error(), "the pattern is a leaf name only");
    EXPECT_EQ(qv2_pat_check("a\\b"), DIRIR2I_EARG);
    EXPECT_EQ(qv2_pat_check("a\x01"), DIRIR2I_EARG);
    EXPECT_STREQ(qv2_error(), "control byte in the pattern");
    EXPECT_EQ(qv2_pat_check(std::string(512, 'p').c_str()), 0);
    EXPECT_EQ(qv2_pat_check(std::string(513, 'p').c_str()), DIRIR2I_EARG);
    EXPECT_STREQ(qv2_error(), "pattern longer than 512 bytes");
    EXPECT_EQ(qv2_pat_check(nullptr), DIRIR2I_EARG);
    EXPECT_STREQ(qv2_error(), "NULL pattern");
}

TEST(GlobMatch, WildcardsOfWindowsClientsIgnoringCase) {
    struct Row {
        const char *pattern, *name;
        int match;
    };
    const Row rows[] = {
        {"*.txt", "README.TXT", 1},
        {"a*b*c", "aXbYbZc", 1},
        {"a*b*c", "aXbYbZ", 0},
        {"*ab", "aab", 1}, // needs the backtrack
        {"a?c", "ac", 0},
        {"a?c", "abc", 1},
        {"*", "", 1},
        {"***", "anything at all", 1},
        {"", "a", 0},
        {"", "", 1},
        {"*.*", "no_dot", 1}, // "*.*" means everything
        {"*.*x", "no_dot", 0},
        // Letters fold beyond ASCII; '?' is one character, not one byte.
        {"caf\xc3\xa9.txt", "CAF\xc3\x89.TXT", 1},
        {"\xd0\xb4\xd0\xbe\xd0\xbc", "\xd0\x94\xd0\x9e\xd0\x9c", 1}, // Cyrillic
        {"?", "\xc3\xa9", 1},
        {"??", "\xc3\xa9", 0},
        // DOS_STAR '<': anything short of the last '.'.
        {"<.txt", "a.b.txt", 1},
        {"<.txt", "a.txt.bak", 0},
        {"<", "noext", 1},
        {"<", "a.b", 0},
        // DOS_DOT '"': a '.' or nothing at the end ("*." in Win32 terms).
        {"<\"", "noext", 1},
        {"<\"", "a.b", 0},
        {"a\"b", "a.b", 1},
        {"a\"", "a", 1},
        // DOS_QM '>': one character, or nothing at a '.' or at the end.
        {"a>>.txt", "ab.txt", 1},
        {"a>>.txt", "abc.txt", 1},
        {"a>>.txt", "abcd.txt", 0},
        {">>>", "ab", 1},
        {">\">>>", "x.y", 1},
        {">", ".", 0},
    };
    for (const Row &r : rows)
        EXPECT_EQ(qv2_glob_match(r.pattern, r.name), r.match) << r.pattern << " / " << r.name;
}

TEST(NameCaseEquality, FoldsLettersOfEuropeanScriptsOnly) {
    struct Row {
        const char *a, *b;
        int equal;
    };
    const Row rows[] = {
        {"Hello.TXT", "hello.txt", 1},
        {"\xc3\x89t\xc3\xa9", "\xc3\xa9T\xc3\x89", 1},               // Ete / eTE with accents
        {"\xc5\x81\xc3\xb3\xc5\xba", "\xc5\x82\xc3\x93\xc5\xb9", 1}, // Latin Extended-A
        {"\xce\xa3\xce\xa3", "\xcf\x83\xcf\x82", 1},                 // sigma, final sigma
        {"\xc4\xb0", "i", 0},                                        // dotted capital I: left alone
        {"\xc3\x97", "\xc3\xb7", 0},                                 // signs, not letters
        {"ab", "abc", 0},
        {"\xff", "\xff", 1}, // bytes that are not UTF-8 still compare
        {"\xff", "\xfe", 0},
    };
    for (const Row &r : rows)
        EXPECT_EQ(qv2_name_caseeq(r.a, r.b), r.equal) << r.a << " / " << r.b;
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
