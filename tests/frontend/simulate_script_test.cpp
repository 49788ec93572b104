// How dirir2i_simulate reads its script: line kinds, trimming, hex rules,
// the line and raw limits, and the errors that stop a run before it starts.
#include "support/smb2_frames.h"
#include "support/smb2_transport.h"

#include "dirir2i.h"

#include <gtest/gtest.h>

using smb2::Bytes;

namespace {

const std::string kEcho = smb2::hex(smb2::nbss(smb2::echo(1)));

smb2::Transcript sim(const std::string &script) { return smb2::run_text(script); }

} // namespace

TEST(SimulateScript, EmptyScriptOrOnlyBlanksAndCommentsGivesTheResultLineAlone) {
    for (const char *script : {"", "\n\n", "# nothing here\n\n   \n# more", "  \r\n\r\n"}) {
        const char *out = dirir2i_simulate(script, nullptr);
        ASSERT_NE(out, nullptr) << script;
        EXPECT_STREQ(out, "RESULT ok (0 frames)\n") << script;
    }
}

TEST(SimulateScript, NullEmptyAndLoopbackPeerGiveTheSameRun) {
    std::string script = kEcho + "\n";
    std::string a = dirir2i_simulate(script.c_str(), nullptr);
    std::string b = dirir2i_simulate(script.c_str(), "");
    std::string c = dirir2i_simulate(script.c_str(), "127.0.0.1");
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, c);
    EXPECT_EQ(a, ">> ECHO\n"
                 "<< fe534d424000000000000000" "0d000100" "01000000" "00000000"
                 "0100000000000000" "00000000" "00000000" "0000000000000000"
                 "00000000000000000000000000000000" "04000000\n"
                 "RESULT ok (1 frames)\n");
}

TEST(SimulateScript, CrlfEndingsAndTrailingSpacesAreAccepted) {
    smb2::Transcript t = sim("# comment\r\n" + kEcho + "   \r\n" + kEcho + " \r \r");
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_EQ(t.replies.size(), 2u);
    EXPECT_EQ(t.result_frames, 2);
}

TEST(SimulateScript, HexMayBeSpacedAnywhereEvenInsideAByte) {
    std::string spaced;
    for (char ch : kEcho) {
        spaced.push_back(ch);
        spaced.push_back(' ');
    }
    smb2::Transcript t = sim(spaced + "\n");
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_EQ(t.replies.size(), 1u);
}

TEST(SimulateScript, LineOfTabsIsAFrameLineThatFails) {
    smb2::Transcript t = sim("\t\t\n");
    EXPECT_FALSE(t.ok);
    EXPECT_EQ(t.error, "simulate: bad frame hex on a script line");
}

TEST(SimulateScript, FrameLineMustDecodeToAtLeastFourBytes) {
    EXPECT_TRUE(sim("00000000\n").ok) << "an empty session message";
    EXPECT_EQ(sim("000000\n").error, "simulate: bad frame hex on a script line");
    EXPECT_EQ(sim("0000000g\n").error, "simulate: bad frame hex on a script line");
    EXPECT_EQ(sim("0000000\n").error, "simulate: bad frame hex on a script line");
}

TEST(SimulateScript, RawLinesAddTheirBytesAsTheyAre) {
    // The session header comes in two raw pieces, spaces included.
    Bytes msg = smb2::echo(1);
    std::string script = "!00 00\n! 00 44\n" + smb2::hex(msg) + "\n";
    smb2::Transcript t = sim(script);
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_EQ(t.replies.size(), 1u);
}

TEST(SimulateScript, RawLineThatIsNotHexIsIgnored) {
    smb2::Transcript t = sim("!raw bytes follow\n!abc\n" + kEcho + "\n");
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_EQ(t.replies.size(), 1u);
}

TEST(SimulateScript, RawLineIsLimitedTo16384Bytes) {
    std::string ok = "!" + std::string(2 * 16384, '0') + "\n";
    EXPECT_TRUE(sim(ok).ok);
    std::string over = "!" + std::string(2 * 16385, '0') + "\n";
    EXPECT_EQ(sim(over).error, "simulate: bad !raw hex");
}

TEST(SimulateScript, LineOf65536BytesFailsEvenAsAComment) {
    std::string max_comment = "#" + std::string(65534, 'x') + "\n";
    EXPECT_TRUE(sim(max_comment).ok);
    std::string long_comment = "#" + std::string(65535, 'x') + "\n";
    EXPECT_EQ(sim(long_comment).error, "simulate: script line too long");
    EXPECT_EQ(sim(kEcho + "\n" + long_comment).error, "simulate: script line too long")
        << "the first bad line ends the call before anything runs";
}

TEST(SimulateScript, MessageSplitOverTwoFrameLinesIsOneMessage) {
    std::string first = kEcho.substr(0, 40), second = kEcho.substr(40);
    smb2::Transcript t = sim(first + "\n" + second + "\n");
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_EQ(t.received, std::vector<std::string>{"ECHO"});
    EXPECT_EQ(t.replies.size(), 1u);
}

TEST(SimulateScript, LongMessagesTravelOverManyLines) {
    Bytes big = smb2::echo(9);
    big.resize(100000, 0x5C);
    smb2::Script s;
    s.send(big);
    smb2::Transcript t = smb2::run(s);
    ASSERT_TRUE(t.ok) << t.error;
    ASSERT_EQ(t.replies.size(), 1u);
    EXPECT_EQ(t.replies[0].mid(), 9u);
}

TEST(SimulateScript, LastLineNeedsNoLineFeed) {
    smb2::Transcript t = sim(kEcho);
    EXPECT_EQ(t.replies.size(), 1u);
}

TEST(SimulateScript, NullScriptAndBadAddressAreErrors) {
    EXPECT_EQ(dirir2i_simulate(nullptr, nullptr), nullptr);
    EXPECT_STREQ(dirir2i_last_error(), "simulate: NULL script");
    EXPECT_EQ(dirir2i_simulate("", "300.1.1.1"), nullptr);
    EXPECT_STREQ(dirir2i_last_error(), "simulate: 300.1.1.1 is not an IP address");
    std::string long_addr(100, 'a');
    EXPECT_EQ(dirir2i_simulate("", long_addr.c_str()), nullptr);
    EXPECT_EQ(std::string(dirir2i_last_error()),
              "simulate: " + std::string(64, 'a') + " is not an IP address");
}

TEST(SimulateScript, AddressOffTheAllowListIsRefusedWithoutReadingTheScript) {
    smb2::CounterWatch w;
    const char *out = dirir2i_simulate("not hex at all\n", "10.250.0.9");
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, "refused: client address not allowed\n");
    EXPECT_EQ(w.delta(QV2_ST_REFUSED_ALLOW), 1);
    EXPECT_EQ(w.delta(QV2_ST_CONNECTIONS), 0);
}

TEST(SimulateScript, AllowedAddressIsThePeerTheEngineSees) {
    ASSERT_EQ(dirir2i_allow_cidr("10.1.2.3/32"), 0) << dirir2i_last_error();
    smb2::CounterWatch w;
    smb2::Transcript t = smb2::run_text(kEcho + "\n", "10.1.2.3");
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_EQ(t.replies.size(), 1u);
    EXPECT_EQ(w.delta(QV2_ST_REFUSED_ALLOW), 0);
}
