// The user table: which names and passwords are accepted, replacement,
// removal with the password wiped, walking by index, and the guest rule.
#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "security/qv2_crypto.h"
#include "support/options_snapshot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Each test removes the users it added, so the table starts empty, and puts
// the guest option back to its default.
class UserTable : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const std::string &u : added_)
            dirir2i_remove_user(u.c_str());
    }
    smb2::OptionsSnapshot restore_;
    int add(const std::string &user, const std::string &password) {
        int rc = dirir2i_add_user(user.c_str(), password.c_str());
        if (rc == 0) added_.push_back(user);
        return rc;
    }
    void expect_fail(const char *user, const char *password, int code, const std::string &msg) {
        EXPECT_EQ(dirir2i_add_user(user, password), code) << (user ? user : "(null)");
        EXPECT_EQ(std::string(dirir2i_last_error()), msg) << (user ? user : "(null)");
    }
    // The users in table order, as "name:password".
    static std::vector<std::string> walk() {
        std::vector<std::string> out;
        char name[QV2_USER_NAME_MAX + 1], pw[QV2_PASSWORD_MAX + 1];
        for (int32_t i = 0; qv2_user_at(i, name, sizeof name, pw, sizeof pw) == 0; i++)
            out.push_back(std::string(name) + ":" + pw);
        return out;
    }

    std::vector<std::string> added_;
};

TEST_F(UserTable, NamesAndPasswordsFollowTheirRules) {
    const std::string name_msg = "add_user: user must be 1..128 printable bytes";
    const std::string pw_msg = "add_user: password must be 0..256 printable bytes";
    const std::string domain_msg =
        "add_user: the user name carries no domain (the domain is ignored)";
    EXPECT_EQ(add(std::string(128, 'u'), "p"), 0);
    EXPECT_EQ(add("j\xc3\xb6rg", std::string(256, 'p')), 0);
    EXPECT_EQ(add("nopass", ""), 0);
    EXPECT_EQ(add("with space", "pass word~"), 0);

    expect_fail(nullptr, "p", DIRIR2I_EARG, "add_user: NULL argument");
    expect_fail("u", nullptr, DIRIR2I_EARG, "add_user: NULL argument");
    expect_fail("", "p", DIRIR2I_EARG, name_msg);
    expect_fail(std::string(129, 'u').c_str(), "p", DIRIR2I_EARG, name_msg);
    expect_fail("tab\tuser", "p", DIRIR2I_EARG, name_msg);
    expect_fail("del\x7f", "p", DIRIR2I_EARG, name_msg);
    expect_fail("DOMAIN\\bob", "p", DIRIR2I_EARG, domain_msg);
    expect_fail("bob/x", "p", DIRIR2I_EARG, domain_msg);
    // The printable rule comes first.
    expect_fail("DOM\\b\x01", "p", DIRIR2I_EARG, name_msg);
    expect_fail("u", std::string(257, 'p').c_str(), DIRIR2I_EARG, pw_msg);
    expect_fail("u", "new\nline", DIRIR2I_EARG, pw_msg);
    expect_fail("u", "\x7f", DIRIR2I_EARG, pw_msg);
    EXPECT_EQ(walk().size(), 4u);
}

TEST_F(UserTable, SameNameReplacesThePasswordAndCaseMakesADifferentUser) {
    ASSERT_EQ(add("bob", "first"), 0);
    ASSERT_EQ(add("alice", "a"), 0);
    ASSERT_EQ(add("bob", "second"), 0);
    ASSERT_EQ(add("Bob", "other"), 0);
    EXPECT_EQ(walk(), (std::vector<std::string>{"bob:second", "alice:a", "Bob:other"}));
}

TEST_F(UserTable, UserAtCutsToTheAreasAndRefusesBadIndexesAndAreas) {
    ASSERT_EQ(add("longname", "longpassword"), 0);
    char name[5], pw[3];
    ASSERT_EQ(qv2_user_at(0, name, sizeof name, pw, sizeof pw), 0);
    EXPECT_STREQ(name, "long");
    EXPECT_STREQ(pw, "lo");
    char big[300];
    EXPECT_EQ(qv2_user_at(1, big, sizeof big, big, sizeof big), DIRIR2I_ENOENT);
    EXPECT_EQ(qv2_user_at(-1, big, sizeof big, big, sizeof big), DIRIR2I_EARG);
    EXPECT_EQ(qv2_user_at(0, nullptr, 10, big, sizeof big), DIRIR2I_EARG);
    EXPECT_EQ(qv2_user_at(0, big, sizeof big, nullptr, 10), DIRIR2I_EARG);
    EXPECT_EQ(qv2_user_at(0, big, 0, pw, sizeof pw), DIRIR2I_EARG);
}

TEST_F(UserTable, RemovalKeepsTheOthersInOrder) {
    ASSERT_EQ(add("a", "1"), 0);
    ASSERT_EQ(add("b", "2"), 0);
    ASSERT_EQ(add("c", "3"), 0);
    EXPECT_EQ(dirir2i_remove_user("B"), DIRIR2I_ENOENT);
    EXPECT_STREQ(dirir2i_last_error(), "remove_user: no such user");
    EXPECT_EQ(dirir2i_remove_user(nullptr), DIRIR2I_EARG);
    EXPECT_STREQ(dirir2i_last_error(), "remove_user: NULL user");
    EXPECT_EQ(dirir2i_remove_user("b"), 0);
    EXPECT_EQ(walk(), (std::vector<std::string>{"a:1", "c:3"}));
}

std::vector<std::string> g_wiped;

void recording_wipe(void *buf, uint64_t len) {
    g_wiped.emplace_back(static_cast<const char *>(buf), strnlen(static_cast<char *>(buf), len));
    memset(buf, 0, len);
}

TEST_F(UserTable, PasswordsAreWipedWhenReplacedOrRemoved) {
    ASSERT_EQ(add("first", "old-secret"), 0);
    ASSERT_EQ(add("second", "kept-secret"), 0);
    g_wiped.clear();
    wipe_hook = recording_wipe;
    int replaced = dirir2i_add_user("first", "new-secret");
    std::vector<std::string> after_replace = g_wiped;
    g_wiped.clear();
    int removed = dirir2i_remove_user("first");
    wipe_hook = nullptr;

    EXPECT_EQ(replaced, 0);
    EXPECT_EQ(after_replace, (std::vector<std::string>{"old-secret"}));
    EXPECT_EQ(removed, 0);
    // The removed password, then the freed last slot that still held a copy
    // of the entry moved forward (its name is where the wipe starts).
    EXPECT_EQ(g_wiped, (std::vector<std::string>{"new-secret", "second"}));
    EXPECT_EQ(walk(), (std::vector<std::string>{"second:kept-secret"}));
}

TEST_F(UserTable, TableHoldsTwoHundredFiftySixUsers) {
    char name[16];
    for (int i = 0; i < QV2_MAX_USERS; i++) {
        snprintf(name, sizeof name, "u%03d", i);
        ASSERT_EQ(add(name, "p"), 0);
    }
    expect_fail("onemore", "p", DIRIR2I_EFULL, "add_user: 256 users");
    // Replacing a password still works on a full table.
    EXPECT_EQ(dirir2i_add_user("u007", "changed"), 0);
    char n[16], pw[16];
    ASSERT_EQ(qv2_user_at(7, n, sizeof n, pw, sizeof pw), 0);
    EXPECT_STREQ(pw, "changed");
    ASSERT_EQ(qv2_user_at(255, n, sizeof n, pw, sizeof pw), 0);
    EXPECT_STREQ(n, "u255");
    EXPECT_EQ(qv2_user_at(256, n, sizeof n, pw, sizeof pw), DIRIR2I_ENOENT);
}

TEST_F(UserTable, GuestsFollowTheOptionOrWithAutoAnEmptyTable) {
    ASSERT_EQ(dirir2i_set_option("guest", "auto"), 0);
    EXPECT_EQ(qv2_guest_allowed(), 1);
    ASSERT_EQ(add("someone", "p"), 0);
    EXPECT_EQ(qv2_guest_allowed(), 0);
    ASSERT_EQ(dirir2i_set_option("guest", "on"), 0);
    EXPECT_EQ(qv2_guest_allowed(), 1);
    ASSERT_EQ(dirir2i_remove_user("someone"), 0);
    ASSERT_EQ(dirir2i_set_option("guest", "off"), 0);
    EXPECT_EQ(qv2_guest_allowed(), 0);
    ASSERT_EQ(dirir2i_set_option("guest", "auto"), 0);
    EXPECT_EQ(qv2_guest_allowed(), 1);
}

} // namespace
