// Access-log lines: the time stamp, both formats, and the escaping that
// keeps whatever a client sends inside one value of one line.
#include "foundation/qv2_logline.h"
#include "foundation/qv2_util.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// 2024-02-29T23:59:58.007Z: a leap day, close to midnight.
constexpr int64_t kLeapDayMs = 1709251198007LL;

std::string line(int32_t format, const char *value) {
    qv2_logline l;
    qv2_logline_begin(&l, format, kLeapDayMs, "logon");
    qv2_logline_str(&l, "user", value);
    qv2_logline_num(&l, "conn", -3);
    qv2_logline_bool(&l, "guest", true);
    qv2_logline_end(&l);
    std::string text(reinterpret_cast<const char *>(l.buf.data), l.buf.len);
    EXPECT_FALSE(l.buf.failed);
    qv2_buf_free(&l.buf);
    return text;
}

} // namespace

TEST(LogLine, LogfmtQuotesOnlyWhatNeedsQuotingAndEscapesEveryBreak) {
    struct row {
        const char *value;
        const char *shown; // the user field as the line shows it
    };
    const row rows[] = {
        {"alice", "user=alice"},
        {"10.0.0.5", "user=10.0.0.5"},
        {"dir/a-b_c.txt", "user=dir/a-b_c.txt"},
        {"", "user=\"\""},
        {"two words", "user=\"two words\""},
        {"a=b", "user=\"a=b\""},
        // A forged field and a forged line stay inside the value.
        {"x result=ok", "user=\"x result=ok\""},
        {"x\" result=\"ok", "user=\"x\\\" result=\\\"ok\""},
        {"x\ntime=0 event=logon", "user=\"x\\ntime=0 event=logon\""},
        {"back\\slash\r\t", "user=\"back\\\\slash\\r\\t\""},
        {"bell\x07" "del\x7f", "user=\"bell\\x07del\\x7f\""},
        // UTF-8 text stays; NEL, the line separator and a bidi override are
        // escaped, as are bytes that are no UTF-8.
        {"caf\xc3\xa9", "user=\"caf\xc3\xa9\""},
        {"a\xc2\x85" "b\xe2\x80\xa8" "c\xe2\x80\xae", "user=\"a\\u0085b\\u2028c\\u202e\""},
        {"bad\xff\xc3", "user=\"bad\\xff\\xc3\""},
    };
    for (const row &r : rows) {
        std::string text = line(QV2_LOG_LOGFMT, r.value);
        EXPECT_EQ(text, "time=2024-02-29T23:59:58.007Z event=logon " + std::string(r.shown) +
                            " conn=-3 guest=true\n")
            << r.value;
        EXPECT_EQ(text.find('\n'), text.size() - 1) << r.value;
    }
}

TEST(LogLine, JsonEscapesToValidJsonAndReplacesBytesThatAreNoUtf8) {
    struct row {
        const char *value;
        const char *shown;
    };
    const row rows[] = {
        {"alice", "\"alice\""},
        {"", "\"\""},
        {"x\",\"user\":\"admin", "\"x\\\",\\\"user\\\":\\\"admin\""},
        {"x\n{\"event\":\"logon\"}", "\"x\\n{\\\"event\\\":\\\"logon\\\"}\""},
        {"\\\x01\x1f\x7f", "\"\\\\\\u0001\\u001f\\u007f\""},
        {"caf\xc3\xa9 \xe2\x80\xa9", "\"caf\xc3\xa9 \\u2029\""},
        {"\xed\xa0\x80" "x", "\"\\ufffd\\ufffd\\ufffdx\""}, // an encoded surrogate
    };
    for (const row &r : rows) {
        EXPECT_EQ(line(QV2_LOG_JSON, r.value),
                  "{\"time\":\"2024-02-29T23:59:58.007Z\",\"event\":\"logon\",\"user\":" +
                      std::string(r.shown) + ",\"conn\":-3,\"guest\":true}\n")
            << r.value;
    }
}

TEST(LogLine, LongValuesAreCutWithoutSplittingACharacter) {
    // 1023 ASCII bytes, then a two-byte character across the limit.
    std::string value(1023, 'a');
    value += "\xc3\xa9 and more";
    std::string text = line(QV2_LOG_LOGFMT, value.c_str());
    EXPECT_NE(text.find("user=\"" + std::string(1023, 'a') + "...\" conn=-3"), std::string::npos);
    text = line(QV2_LOG_JSON, std::string(5000, 'b').c_str());
    EXPECT_NE(text.find("\"user\":\"" + std::string(1024, 'b') + "...\","), std::string::npos);
}

TEST(LogLine, TimesAreUtcCalendarDates) {
    const std::pair<int64_t, const char *> rows[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {951782400000LL, "2000-02-29T00:00:00.000Z"},
        {4102444799999LL, "2099-12-31T23:59:59.999Z"},
        {-5, "1970-01-01T00:00:00.000Z"}, // a clock before 1970 is shown as 1970
    };
    for (const auto &[ms, stamp] : rows) {
        qv2_logline l;
        qv2_logline_begin(&l, QV2_LOG_LOGFMT, ms, "stop");
        qv2_logline_end(&l);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(l.buf.data)),
                  "time=" + std::string(stamp) + " event=stop\n");
        qv2_buf_free(&l.buf);
    }
}
