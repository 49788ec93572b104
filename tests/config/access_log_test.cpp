// The access log through dirir2i_set_option: off until asked, a failed
// change keeps the working log, the same path again reopens the file
// (rotation), and lines from many threads arrive whole.
#include "config/qv2_alog.h"
#include "dirir2i.h"
#include "support/builders/tempdir.h"
#include "support/options_snapshot.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class AccessLog : public ::testing::Test {
  protected:
    smb2::OptionsSnapshot restore_; // the log off, logfmt again
    // One `stop` line with a port, as the server writes when it stops.
    static void write_line(int port) { qv2_alog_server("stop", nullptr, port); }
    TempDir dir_;
};

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

} // namespace

TEST_F(AccessLog, IsOffUntilAskedAndAfterOff) {
    qv2_logline l;
    EXPECT_FALSE(qv2_alog_begin(&l, "stop"));
    std::string path = dir_.join("access.log");
    ASSERT_EQ(dirir2i_set_option("log", path.c_str()), 0);
    write_line(1);
    ASSERT_EQ(dirir2i_set_option("log", "off"), 0);
    write_line(2);
    ASSERT_EQ(dirir2i_set_option("log", ""), 0);
    write_line(3);
    std::vector<std::string> lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" event=stop port=1"), std::string::npos) << lines[0];
}

TEST_F(AccessLog, RefusedChangesKeepTheWorkingLogAndFormat) {
    std::string path = dir_.join("access.log");
    ASSERT_EQ(dirir2i_set_option("log", path.c_str()), 0);
    ASSERT_EQ(dirir2i_set_option("log_format", "json"), 0);
    const std::pair<std::string, std::string> bad_paths[] = {
        {dir_.join("no/such/folder/x.log"), "No such file or directory"},
        {dir_.path(), "Is a directory"},
    };
    for (const auto &[bad, why] : bad_paths) {
        EXPECT_EQ(dirir2i_set_option("log", bad.c_str()), DIRIR2I_ESYS);
        EXPECT_EQ(std::string(dirir2i_last_error()), "log: cannot open " + bad + ": " + why);
    }
    EXPECT_EQ(dirir2i_set_option("log", std::string(1025, 'x').c_str()), DIRIR2I_EARG);
    EXPECT_EQ(dirir2i_set_option("log_format", "JSON"), DIRIR2I_EARG);
    EXPECT_STREQ(dirir2i_last_error(), "log_format: logfmt or json");
    write_line(7);
    std::vector<std::string> lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"event\":\"stop\",\"port\":7}"), std::string::npos) << lines[0];
}

TEST_F(AccessLog, SettingTheSamePathAgainStartsANewFileAfterRotation) {
    std::string path = dir_.join("access.log"), rotated = dir_.join("access.log.1");
    ASSERT_EQ(dirir2i_set_option("log", path.c_str()), 0);
    write_line(1);
    ASSERT_EQ(rename(path.c_str(), rotated.c_str()), 0);
    write_line(2); // still the open file, now under its new name
    ASSERT_EQ(dirir2i_set_option("log", path.c_str()), 0);
    write_line(3);
    std::vector<std::string> old_lines = lines_of(read_file(rotated));
    std::vector<std::string> new_lines = lines_of(read_file(path));
    ASSERT_EQ(old_lines.size(), 2u);
    ASSERT_EQ(new_lines.size(), 1u);
    EXPECT_NE(new_lines[0].find("port=3"), std::string::npos);
}

TEST_F(AccessLog, LinesOfConcurrentWritersArriveWhole) {
    std::string path = dir_.join("access.log");
    ASSERT_EQ(dirir2i_set_option("log", path.c_str()), 0);
    constexpr int kThreads = 4, kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; i++) write_line(t * 1000 + i);
        });
    // Rotations meanwhile must not cut or lose a line.
    for (int i = 0; i < 20; i++) ASSERT_EQ(dirir2i_set_option("log", path.c_str()), 0);
    for (std::thread &t : threads) t.join();
    std::vector<std::string> lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), size_t(kThreads * kLines));
    for (const std::string &l : lines) {
        ASSERT_EQ(l.rfind("time=", 0), 0u) << l;
        ASSERT_NE(l.find(" event=stop port="), std::string::npos) << l;
    }
}

TEST_F(AccessLog, AReaderThatWentAwayDoesNotEndTheProcess) {
    // A log on a pipe whose reader has gone: the write fails, and SIGPIPE
    // (whose default action ends the process) is not left to strike.
    std::string fifo = dir_.join("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(dirir2i_set_option("log", fifo.c_str()), 0);
    close(reader);
    write_line(1);
    write_line(2);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}
