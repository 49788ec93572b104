// Users without passwords on the command line: the users file (format,
// permissions, refusals that never show a password) and DIRIR2I_PASSWORD.
#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "frontend/qv2_front.h"
#include "support/builders/tempdir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The user table as a map; every test starts and ends with it empty.
std::map<std::string, std::string> users() {
    std::map<std::string, std::string> out;
    char name[QV2_USER_NAME_MAX + 1], password[QV2_PASSWORD_MAX + 1];
    for (int i = 0; qv2_user_at(i, name, sizeof name, password, sizeof password) == 0; i++)
        out[name] = password;
    return out;
}

class UsersFile : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const auto &[name, password] : users()) dirir2i_remove_user(name.c_str());
        unsetenv("CREDENTIALS_DIRECTORY");
        unsetenv("DIRIR2I_PASSWORD");
    }
    std::string file(const std::string &content, mode_t mode, const std::string &rel = "users") {
        std::string path = dir_.write(rel, content);
        chmod(path.c_str(), mode);
        return path;
    }
    // Loads path; "" when it loaded, else the message.
    static std::string load(const std::string &path) {
        char msg[512] = "";
        return qv2_users_file_load(path.c_str(), msg, sizeof msg) == 0 ? "" : msg;
    }
    TempDir dir_;
};

} // namespace

TEST_F(UsersFile, AddsEveryUserAndSkipsCommentsAndBlankLines) {
    std::string path = file("# office users\n"
                            "alice:Sekr1t-A\n"
                            "\n"
                            "   # indented comment\n"
                            "bob:pa:ss:with colons \r\n"
                            "carol:#not a comment",
                            0600);
    EXPECT_EQ(load(path), "");
    std::map<std::string, std::string> expected = {
        {"alice", "Sekr1t-A"}, {"bob", "pa:ss:with colons "}, {"carol", "#not a comment"}};
    EXPECT_EQ(users(), expected);
}

TEST_F(UsersFile, RefusesFilesOthersMayReadAndFilesThatAreNotRegular) {
    for (mode_t mode : {0640, 0604, 0620, 0602, 0660, 0644}) {
        std::string path = file("alice:Sekr1t-A\n", mode);
        EXPECT_EQ(load(path), "--users-file: " + path +
                                  ": group or others may access it (chmod 600 it)")
            << std::oct << mode;
    }
    std::string fifo = dir_.join("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(load(fifo), "--users-file: " + fifo + ": not a regular file");
    EXPECT_EQ(load(dir_.path()), "--users-file: " + dir_.path() + ": not a regular file");
    EXPECT_EQ(load(dir_.join("missing")),
              "--users-file: " + dir_.join("missing") + ": No such file or directory");
    EXPECT_TRUE(users().empty());
}

TEST_F(UsersFile, BadLinesAreNamedByNumberWithoutThePassword) {
    struct row {
        std::string content;
        std::string message; // after "--users-file: PATH "
    };
    const row rows[] = {
        {"# c\nalice\n", "line 2: needs NAME:PASSWORD"},
        {"alice:\n", "line 1: empty password"},
        {"dom\\bob:Sekr1t-B\n", "line 1: add_user: the user name carries no domain (the domain is "
                                "ignored)"},
        {"bob:Sekr1t-\x01-B\n", "line 1: add_user: password must be 0..256 printable bytes"},
        {"# nobody\n\n", "names no user"},
        {"", "names no user"},
    };
    for (const row &r : rows) {
        std::string path = file(r.content, 0600);
        std::string msg = load(path);
        EXPECT_EQ(msg, "--users-file: " + path + " " + r.message) << r.content;
        EXPECT_EQ(msg.find("Sekr1t"), std::string::npos) << msg;
    }
}

TEST_F(UsersFile, AFileSystemdHandsOverIsNotCheckedForItsMode) {
    // systemd's credential files may show group bits (an ACL's mask); their
    // folder is private to the service.
    std::string creds = dir_.mkdir("creds");
    std::string path = file("alice:Sekr1t-A\n", 0440, "creds/users");
    std::string outside = file("bob:Sekr1t-B\n", 0440, "creds-not/users");
    setenv("CREDENTIALS_DIRECTORY", creds.c_str(), 1);
    EXPECT_EQ(load(path), "");
    EXPECT_NE(load(outside), "");
    EXPECT_EQ(users(), (std::map<std::string, std::string>{{"alice", "Sekr1t-A"}}));
}

TEST_F(UsersFile, PasswordOfAUserWithoutOneComesFromTheEnvironment) {
    char password[QV2_PASSWORD_MAX + 1], msg[300];
    setenv("DIRIR2I_PASSWORD", "Sekr1t-E", 1);
    ASSERT_EQ(qv2_password_for("alice", password, sizeof password, msg, sizeof msg), 0);
    EXPECT_STREQ(password, "Sekr1t-E");
    // Set but empty: a variable that was meant to hold one, not a password.
    setenv("DIRIR2I_PASSWORD", "", 1);
    EXPECT_EQ(qv2_password_for("alice", password, sizeof password, msg, sizeof msg), -1);
    EXPECT_STREQ(msg, "--user alice: DIRIR2I_PASSWORD is empty");
    setenv("DIRIR2I_PASSWORD", std::string(300, 'p').c_str(), 1);
    EXPECT_EQ(qv2_password_for("alice", password, sizeof password, msg, sizeof msg), -1);
    EXPECT_STREQ(msg, "--user alice: the password is longer than 256 bytes");
}
