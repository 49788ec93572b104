// The engine's trace on the standard error stream, switched by DIRIR2I_TRACE.
#include "support/smb2_frames.h"
#include "support/smb2_transport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

using smb2::Bytes;

namespace {

std::string traced_run(const char *trace_value, const smb2::Script &s) {
    smb2::ScopedEnv env("DIRIR2I_TRACE", trace_value);
    testing::internal::CaptureStderr();
    smb2::Transcript t = smb2::run(s);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(t.ok) << t.error;
    return err;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

} // namespace

TEST(Trace, ReceivedMessageShowsItsNameAndAtMost176Bytes) {
    Bytes big = smb2::echo(1);
    big.resize(1000, 0xAB);
    smb2::Script s;
    s.send(big);
    std::vector<std::string> lines = lines_of(traced_run("1", s));
    std::string rx;
    for (const std::string &l : lines)
        if (l.rfind("[dirir2i 0] >> ECHO hex:", 0) == 0) rx = l;
    ASSERT_FALSE(rx.empty());
    std::string hex = rx.substr(strlen("[dirir2i 0] >> ECHO hex:"));
    EXPECT_EQ(hex.size(), 176u * 3);
    EXPECT_EQ(hex.substr(0, 12), " fe 53 4d 42");
}

TEST(Trace, ReplyIsShownSentAndNamedByItsStatus) {
    smb2::Script s;
    s.send(smb2::echo(1));
    std::string err = traced_run("1", s);
    EXPECT_NE(err.find("[dirir2i 0] SEND 68 bytes status=00000000\n"), std::string::npos) << err;
    EXPECT_NE(err.find("[dirir2i 0] << 68 bytes SUCCESS\n"), std::string::npos) << err;
    EXPECT_NE(err.find("[loop] count=0 off=0 cmd=13 n=68\n"), std::string::npos) << err;
    EXPECT_NE(err.find("[loop] done cmd=13 outn=68\n"), std::string::npos) << err;
    // The reply's bytes, unprefixed, before the SEND line.
    EXPECT_NE(err.find(" fe 53 4d 42 40 00"), std::string::npos) << err;
}

TEST(Trace, ErrorRepliesNameTheirStatus) {
    smb2::Script s;
    s.send(smb2::request(smb2::Header{.command = SMB2_WRITE, .mid = 1}, Bytes(48, 0)));
    std::string err = traced_run("1", s);
    EXPECT_NE(err.find("<< 73 bytes ACCESS_DENIED\n"), std::string::npos) << err;
    EXPECT_NE(err.find("status=c0000022"), std::string::npos) << err;
}

TEST(Trace, OnlyAValueStartingWithOneSwitchesItOn) {
    smb2::Script s;
    s.send(smb2::echo(1));
    for (const char *v : {"0", "yes", "", " 1"})
        EXPECT_EQ(traced_run(v, s).find("[dirir2i"), std::string::npos) << "'" << v << "'";
    EXPECT_EQ(traced_run(nullptr, s).find("[dirir2i"), std::string::npos);
    EXPECT_NE(traced_run("10", s).find("[dirir2i 0] >> ECHO"), std::string::npos);
}
