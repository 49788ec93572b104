#include "config/qv2_cfg.h"
#include "dirir2i.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char *const kOrder[] = {
    "connections",  "refused_allow",  "refused_full",    "negotiate",        "sessions",
    "guest_sessions", "logon_failed", "trees",           "tree_refused",     "opens",
    "open_refused", "reads",          "bytes_sent",      "listings_sent",    "mutating_refused",
    "ioctl_refused", "bad_signature", "protocol_errors", "timeouts", "sign_required_sessions",
    "srvsvc_queries", "path_refused", "grants", "breaks_sent", "breaks_acked",
    "notifies_completed",
};

std::string expected_json() {
    std::string s = "{\"running\":false,\"port\":0,\"clients\":0";
    for (int i = 0; i < QV2_ST_COUNT; i++)
        s += ",\"" + std::string(kOrder[i]) + "\":" + std::to_string(qv2_stat_get(i));
    return s + "}";
}

TEST(Counters, JsonListsStatusThenEveryCounterInIndexOrder) {
    // This runs in its own process before anything moved a counter.
    std::string json = dirir2i_stats_json();
    EXPECT_EQ(json,
              "{\"running\":false,\"port\":0,\"clients\":0,\"connections\":0,\"refused_allow\":0,"
              "\"refused_full\":0,\"negotiate\":0,\"sessions\":0,\"guest_sessions\":0,"
              "\"logon_failed\":0,\"trees\":0,\"tree_refused\":0,\"opens\":0,\"open_refused\":0,"
              "\"reads\":0,\"bytes_sent\":0,\"listings_sent\":0,\"mutating_refused\":0,"
              "\"ioctl_refused\":0,\"bad_signature\":0,\"protocol_errors\":0,\"timeouts\":0,"
              "\"sign_required_sessions\":0,\"srvsvc_queries\":0,\"path_refused\":0,"
              "\"grants\":0,\"breaks_sent\":0,\"breaks_acked\":0,\"notifies_completed\":0}");
}

TEST(Counters, AddMovesOneCounterAndShowsInJson) {
    int64_t before = qv2_stat_get(QV2_ST_BYTES_SENT);
    qv2_stat_add(QV2_ST_BYTES_SENT, 1234);
    qv2_stat_add(QV2_ST_CONNECTIONS, 1);
    qv2_stat_add(QV2_ST_CONNECTIONS, -1);
    EXPECT_EQ(qv2_stat_get(QV2_ST_BYTES_SENT), before + 1234);
    EXPECT_EQ(std::string(dirir2i_stats_json()), expected_json());
    for (int i = 0; i < QV2_ST_COUNT; i++) EXPECT_STREQ(qv2_stat_name(i), kOrder[i]);
    EXPECT_EQ(qv2_stat_name(QV2_ST_COUNT), nullptr);
    qv2_stat_add(QV2_ST_COUNT, 5); // out of range: ignored, no crash
    EXPECT_EQ(qv2_stat_get(-1), 0);
}

TEST(Counters, EachJsonCallReplacesTheTextOfThePreviousOne) {
    const char *first = dirir2i_stats_json();
    std::string copy = first;
    qv2_stat_add(QV2_ST_READS, 1);
    const char *second = dirir2i_stats_json();
    EXPECT_NE(std::string(second), copy);
    EXPECT_EQ(std::string(second), expected_json());
}

TEST(Counters, SessionCountIsSessionsLessFailuresAndNeverNegative) {
    int64_t s = qv2_stat_get(QV2_ST_SESSIONS), f = qv2_stat_get(QV2_ST_LOGON_FAILED);
    // Bring the pair to sessions 2, failures 3, then to 5 and 3.
    qv2_stat_add(QV2_ST_SESSIONS, 2 - s);
    qv2_stat_add(QV2_ST_LOGON_FAILED, 3 - f);
    EXPECT_EQ(dirir2i_session_count(), 0);
    qv2_stat_add(QV2_ST_SESSIONS, 3);
    EXPECT_EQ(dirir2i_session_count(), 2);
    qv2_stat_add(QV2_ST_SESSIONS, s - 5);
    qv2_stat_add(QV2_ST_LOGON_FAILED, f - 3);
}

} // namespace
