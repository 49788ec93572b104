// The engine's trace on the standard error stream: its switch (DIRIR2I_TRACE,
// read once by the configuration) and the lines the engine writes.
#include "support/smb2_frames.h"
#include "support/smb2_session.h"
#include "support/smb2_transport.h"

#include "config/qv2_cfg.h"
#include "security/qv2_ntlm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

using smb2::Bytes;

namespace {

// The trace of one simulated run, with the level a value of DIRIR2I_TRACE
// gives (null: the variable unset).
std::string traced_run(const char *trace_value, const smb2::Script &s) {
    smb2::ScopedTraceLevel level(qv2_cfg_trace_level_of(trace_value));
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
    s.send(smb2::request(smb2::Header{.command = SMB2_READ, .mid = 1}, Bytes(48, 0)));
    std::string err = traced_run("1", s);
    EXPECT_NE(err.find("<< 73 bytes USER_SESSION_DELETED\n"), std::string::npos) << err;
    EXPECT_NE(err.find("status=c0000203"), std::string::npos) << err;
}

TEST(Trace, OnlyAValueStartingWithOneSwitchesItOn) {
    smb2::Script s;
    s.send(smb2::echo(1));
    for (const char *v : {"0", "yes", "", " 1"})
        EXPECT_EQ(traced_run(v, s).find("[dirir2i"), std::string::npos) << "'" << v << "'";
    EXPECT_EQ(traced_run(nullptr, s).find("[dirir2i"), std::string::npos);
    EXPECT_NE(traced_run("10", s).find("[dirir2i 0] >> ECHO"), std::string::npos);
}

TEST(Trace, ATracedUserLogonShowsNoKeyPasswordOrHash) {
    smb2::ScopedOption clock("clock", "1700000000");
    smb2::ScopedUser alice("alice", "Secret123");
    smb2::ScopedTraceLevel traced(2);
    smb2::DirectConn dc;
    testing::internal::CaptureStderr();
    smb2::Session s = smb2::logon(dc, {.user = "alice", .password = "Secret123", .mic = true});
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(s.ok) << s.error;
    ASSERT_NE(err.find("[sess] "), std::string::npos) << "the logon was traced";
    uint8_t nt[16], ntowf[16];
    qv2_ntlm_hashes("alice", "Secret123", nt, ntowf);
    std::string lower = err;
    for (char &ch : lower) ch = char(tolower(static_cast<unsigned char>(ch)));
    for (const std::string &secret :
         {std::string("secret123"), smb2::hex(Bytes(s.key, s.key + 16)),
          smb2::hex(Bytes(nt, nt + 16)), smb2::hex(Bytes(ntowf, ntowf + 16))}) {
        EXPECT_EQ(lower.find(secret), std::string::npos) << secret;
        // Nor as the traces print bytes: two digits each, space-separated.
        std::string spaced;
        for (size_t i = 0; i + 1 < secret.size() && secret != "secret123"; i += 2)
            spaced += " " + secret.substr(i, 2);
        if (!spaced.empty()) {
            EXPECT_EQ(lower.find(spaced), std::string::npos) << spaced;
        }
    }
}
