// A configuration staged beside the live one and put in place whole: what a
// reload relies on so that no connection acts on half of it.
#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "support/builders/tempdir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> listed(const char *user) {
    qv2_share *list = nullptr;
    int32_t n = 0;
    std::vector<std::string> names;
    if (qv2_share_list_for(user, 0, &list, &n) == 0)
        for (int32_t i = 0; i < n; i++) names.push_back(list[i].name);
    free(list);
    return names;
}

std::vector<std::string> users() {
    std::vector<std::string> out;
    char name[QV2_USER_NAME_MAX + 1], pw[QV2_PASSWORD_MAX + 1];
    for (int32_t i = 0; qv2_user_at(i, name, sizeof name, pw, sizeof pw) == 0; i++)
        out.push_back(std::string(name) + ":" + pw);
    return out;
}

// Shares a0..a7 for alice only, or b0..b7 for everyone, as one stage.
void stage_one(const TempDir &dir, char which) {
    ASSERT_EQ(qv2_cfg_stage_begin(), 0);
    for (int i = 0; i < 8; i++) {
        std::string name = std::string(1, which) + std::to_string(i);
        ASSERT_EQ(dirir2i_add_share(name.c_str(), dir.path().c_str()), 0);
        if (which == 'a') {
            ASSERT_EQ(dirir2i_set_option(("share." + name + ".users").c_str(), "alice"), 0);
        }
    }
    ASSERT_EQ(qv2_cfg_stage_commit(), 0);
}

// Puts the process back to the defaults the other tests start from.
void reset() {
    ASSERT_EQ(qv2_cfg_stage_begin(), 0);
    ASSERT_EQ(qv2_cfg_stage_commit(), 0);
}

} // namespace

TEST(StagedConfiguration, ListsTakenDuringReloadsShowOneConfigurationWhole) {
    TempDir dir;
    const std::vector<std::string> a = {"IPC$", "a0", "a1", "a2", "a3", "a4", "a5", "a6", "a7"};
    const std::vector<std::string> b = {"IPC$", "b0", "b1", "b2", "b3", "b4", "b5", "b6", "b7"};
    stage_one(dir, 'a');
    std::atomic<bool> done{false};
    std::thread reloader([&] {
        for (int i = 1; i <= 300; i++) stage_one(dir, i % 2 ? 'b' : 'a');
        done = true;
    });
    int seen = 0, mixed = 0;
    while (!done) {
        std::vector<std::string> alice = listed("alice"), bob = listed("bob");
        if (!(alice == a || alice == b)) mixed++;
        if (!(bob == std::vector<std::string>{"IPC$"} || bob == b)) mixed++;
        seen++;
    }
    reloader.join();
    EXPECT_GT(seen, 0);
    EXPECT_EQ(mixed, 0) << "of " << seen << " pairs of lists";
    reset();
}

TEST(StagedConfiguration, ACommitReplacesEverythingAndAFailedOneChangesNothing) {
    TempDir dir;
    ASSERT_EQ(dirir2i_add_share("old", dir.path().c_str()), 0);
    ASSERT_EQ(dirir2i_add_user("alice", "typed-at-start"), 0);
    ASSERT_EQ(dirir2i_add_user("bob", "pw"), 0);
    ASSERT_EQ(dirir2i_set_option("max_clients", "7"), 0);

    // A log that can't be opened fails the commit: nothing live changes.
    ASSERT_EQ(qv2_cfg_stage_begin(), 0);
    EXPECT_EQ(qv2_cfg_stage_begin(), DIRIR2I_ERUNNING);
    ASSERT_EQ(dirir2i_add_share("new", dir.path().c_str()), 0);
    ASSERT_EQ(dirir2i_set_option("log", dir.join("no/such/folder/log").c_str()), 0);
    EXPECT_EQ(qv2_cfg_stage_commit(), DIRIR2I_ESYS);
    EXPECT_EQ(listed("alice"), (std::vector<std::string>{"IPC$", "old"}));
    EXPECT_EQ(users(), (std::vector<std::string>{"alice:typed-at-start", "bob:pw"}));

    // Kept users keep their password; the rest starts from the defaults.
    ASSERT_EQ(qv2_cfg_stage_begin(), 0);
    ASSERT_EQ(qv2_cfg_stage_keep_user("alice"), 0);
    EXPECT_EQ(qv2_cfg_stage_keep_user("nobody"), DIRIR2I_ENOENT);
    ASSERT_EQ(dirir2i_add_user("carol", "c"), 0);
    ASSERT_EQ(dirir2i_add_share("new", dir.path().c_str()), 0);
    ASSERT_EQ(dirir2i_set_option("share.new.browseable", "no"), 0);
    EXPECT_EQ(listed("alice"), (std::vector<std::string>{"IPC$", "old"})) << "not before the commit";
    ASSERT_EQ(qv2_cfg_stage_commit(), 0);
    EXPECT_EQ(listed("alice"), (std::vector<std::string>{"IPC$"}));
    EXPECT_EQ(qv2_share_find_for("new", "alice", 0, nullptr), 0);
    EXPECT_EQ(users(), (std::vector<std::string>{"alice:typed-at-start", "carol:c"}));
    qv2_opts o;
    qv2_opts_get(&o);
    EXPECT_EQ(o.max_clients, 16);
    reset();
}
