// What dirir2i_simulate returns: the transcript lines, the result line, the
// 2 MiB cap, and the life of the returned text in g_out.
#include "support/smb2_frames.h"
#include "support/smb2_transport.h"

#include "dirir2i.h"

#include <gtest/gtest.h>

using smb2::Bytes;

TEST(SimulateTranscript, ReceivedLinesNameTheMessageAndRepliesAreLowercaseHex) {
    smb2::Script s;
    s.send(smb2::echo(1));
    s.send({0xFF, 'S', 'M', 'B', 0x73, 0, 0, 0}); // SMB1, but no negotiate
    const char *out = dirir2i_simulate(s.text().c_str(), nullptr);
    ASSERT_NE(out, nullptr);
    std::string text = out;
    EXPECT_EQ(text.rfind(">> ECHO\n<< fe534d42", 0), 0u) << text;
    EXPECT_NE(text.find(">> SMB1\n"), std::string::npos) << text;
    for (size_t at = text.find("<< "); at != std::string::npos; at = text.find("<< ", at + 1)) {
        std::string hex = text.substr(at + 3, text.find('\n', at) - at - 3);
        EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << hex;
    }
    EXPECT_EQ(text.substr(text.size() - 21), "RESULT ok (2 frames)\n");
}

TEST(SimulateTranscript, SessionRequestLeavesNoLine) {
    smb2::Script s;
    s.packet(smb2::session_request(32)).send(smb2::echo(1));
    smb2::Transcript t = smb2::run(s);
    EXPECT_EQ(t.received, std::vector<std::string>{"ECHO"});
    EXPECT_EQ(t.result_frames, 1);
}

TEST(SimulateTranscript, TranscriptIsCappedAtTwoMebibytesButEveryReplyIsCounted) {
    std::vector<Bytes> echoes;
    for (uint64_t mid = 0; mid < 64; mid++) echoes.push_back(smb2::echo(mid));
    Bytes chain = smb2::compound(echoes); // a 4600-byte reply: 9200 hex digits
    smb2::Script s;
    const int messages = 240;
    for (int i = 0; i < messages; i++) s.send(chain);
    const char *out = dirir2i_simulate(s.text().c_str(), nullptr);
    ASSERT_NE(out, nullptr) << dirir2i_last_error();
    std::string text = out;
    std::string result = "RESULT ok (" + std::to_string(messages) + " frames)\n";
    ASSERT_GT(text.size(), result.size() + 12);
    EXPECT_EQ(text.substr(text.size() - result.size()), result);
    std::string before = text.substr(0, text.size() - result.size());
    EXPECT_EQ(before.substr(before.size() - 12), "[truncated]\n");
    EXPECT_LE(before.size() - 12, 2097152u);
    EXPECT_EQ(before.find("[truncated]"), before.size() - 12) << "the mark appears once";
}

TEST(SimulateTranscript, FailedCallKeepsThePreviousText) {
    const char *first = dirir2i_simulate("", nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(dirir2i_simulate("zz\n", nullptr), nullptr);
    EXPECT_STREQ(dirir2i_last_error(), "simulate: bad frame hex on a script line");
    EXPECT_STREQ(first, "RESULT ok (0 frames)\n") << "still readable";
}

TEST(SimulateTranscript, ConnectionsCounterIsBackWhereItWasAfterARun) {
    smb2::CounterWatch w;
    smb2::Script s;
    s.send(smb2::echo(1)).send(smb2::echo(2));
    smb2::Transcript t = smb2::run(s);
    EXPECT_EQ(t.result_frames, 2);
    EXPECT_EQ(w.delta(QV2_ST_CONNECTIONS), 0);
    EXPECT_EQ(w.delta(QV2_ST_BYTES_SENT), 2 * 68);
}
