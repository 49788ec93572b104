// The text-returning exports and the small ones: the JSON layout, how long a
// returned text stays valid, and the derived session count.
#include "dirir2i.h"

#include "config/qv2_cfg.h"

#include <gtest/gtest.h>

#include <string>

TEST(ExportedTextResults, StatsJsonIsOneLineOfStatusThenEveryCounterInOrder) {
    std::string json = dirir2i_stats_json();
    std::string expected_prefix = "{\"running\":false,\"port\":0,\"clients\":0";
    ASSERT_EQ(json.rfind(expected_prefix, 0), 0u) << json;
    size_t at = expected_prefix.size();
    for (int i = 0; i < QV2_ST_COUNT; i++) {
        std::string member =
            std::string(",\"") + qv2_stat_name(i) + "\":" + std::to_string(qv2_stat_get(i));
        ASSERT_EQ(json.compare(at, member.size(), member), 0) << qv2_stat_name(i) << " in " << json;
        at += member.size();
    }
    EXPECT_EQ(json.substr(at), "}");
    EXPECT_EQ(json.find_first_of(" \n"), std::string::npos);
}

TEST(ExportedTextResults, ReturnedTextSurvivesAFailingCallUntilTheNextSuccessfulOne) {
    const char *json = dirir2i_stats_json();
    std::string copy = json;
    EXPECT_EQ(dirir2i_simulate(nullptr, nullptr), nullptr);
    EXPECT_EQ(dirir2i_simulate("zz", nullptr), nullptr);
    EXPECT_EQ(json, copy); // still readable (a sanitizer build catches a freed text)

    const char *self = dirir2i_selftest();
    EXPECT_STREQ(self, "selftest ok\n");
    EXPECT_EQ(dirir2i_simulate("00", "not-an-ip"), nullptr);
    EXPECT_STREQ(self, "selftest ok\n");

    const char *sim = dirir2i_simulate("", nullptr);
    EXPECT_STREQ(sim, "RESULT ok (0 frames)\n");
    const char *next = dirir2i_stats_json();
    EXPECT_EQ(std::string(next).rfind("{\"running\":", 0), 0u);
}

TEST(ExportedTextResults, SessionCountIsSessionsLessFailedLogonsButNeverNegative) {
    auto gap = [] { return qv2_stat_get(QV2_ST_SESSIONS) - qv2_stat_get(QV2_ST_LOGON_FAILED); };
    // Move the counters so that failures exceed sessions by one...
    qv2_stat_add(QV2_ST_LOGON_FAILED, gap() + 1);
    ASSERT_EQ(gap(), -1);
    EXPECT_EQ(dirir2i_session_count(), 0);
    // ...then so that sessions exceed failures by two.
    qv2_stat_add(QV2_ST_SESSIONS, 3);
    EXPECT_EQ(dirir2i_session_count(), 2);
}

TEST(ExportedTextResults, VersionAndLastErrorAreStaticTexts) {
    EXPECT_STREQ(dirir2i_version(), "1.0.1");
    EXPECT_EQ(dirir2i_version(), dirir2i_version());
    EXPECT_EQ(dirir2i_start("127.0.0.1", 70000, nullptr), DIRIR2I_EARG);
    const char *err = dirir2i_last_error();
    EXPECT_STREQ(err, "start: port out of range");
    EXPECT_EQ(dirir2i_last_error(), err);
}
