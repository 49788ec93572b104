#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "support/options_snapshot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Options are process-wide: every test puts back what it changed.
class Options : public ::testing::Test {
  protected:
    static qv2_opts now() {
        qv2_opts o;
        qv2_opts_get(&o);
        return o;
    }
    smb2::OptionsSnapshot restore_;
};

TEST_F(Options, DefaultsAreThoseTheServerStartsWith) {
    qv2_opts o = now();
    EXPECT_EQ(o.guest, -1);
    EXPECT_EQ(o.signing, 0);
    EXPECT_EQ(o.ntlm_timecheck, 1);
    EXPECT_EQ(o.max_clients, 16);
    EXPECT_EQ(o.idle_timeout_ms, 300000);
    EXPECT_EQ(o.io_timeout_ms, 30000);
    EXPECT_EQ(o.logon_timeout_ms, 30000);
    EXPECT_EQ(o.max_login_failures, 3);
    EXPECT_EQ(o.max_credits, 256);
    EXPECT_EQ(o.max_handles, 1024);
    EXPECT_EQ(o.max_message, 4194304);
    EXPECT_EQ(o.clock, 0);
    EXPECT_STREQ(o.server_name, "KESTRAVONDLEX");
}

TEST_F(Options, WordOptionsAreCaseSensitiveAndMapToTheirValues) {
    EXPECT_EQ(dirir2i_set_option("guest", "on"), 0);
    EXPECT_EQ(now().guest, 1);
    EXPECT_EQ(dirir2i_set_option("guest", "0"), 0);
    EXPECT_EQ(now().guest, 0);
    EXPECT_EQ(dirir2i_set_option("guest", "auto"), 0);
    EXPECT_EQ(now().guest, -1);
    for (const char *bad : {"ON", "Auto", "yes", ""}) {
        EXPECT_EQ(dirir2i_set_option("guest", bad), DIRIR2I_EARG) << bad;
        EXPECT_STREQ(dirir2i_last_error(), "guest: auto, on or off");
    }
    EXPECT_EQ(dirir2i_set_option("signing", "1"), 0);
    EXPECT_EQ(now().signing, 1);
    EXPECT_EQ(dirir2i_set_option("signing", "0"), DIRIR2I_EARG); // "1" is accepted, "0" is not
    EXPECT_STREQ(dirir2i_last_error(), "signing: enabled or required");
    EXPECT_EQ(dirir2i_set_option("ntlm_timecheck", "off"), 0);
    EXPECT_EQ(now().ntlm_timecheck, 0);
    EXPECT_EQ(dirir2i_set_option("ntlm_timecheck", "maybe"), DIRIR2I_EARG);
    EXPECT_STREQ(dirir2i_last_error(), "ntlm_timecheck: on or off");
}

TEST_F(Options, NumbersAreDigitsOnlyWithinTheirBounds) {
    EXPECT_EQ(dirir2i_set_option("max_clients", "1024"), 0);
    EXPECT_EQ(now().max_clients, 1024);
    for (const char *bad : {"1025", "0", "+5", " 5", "5 ", "", "-1", "5x"}) {
        EXPECT_EQ(dirir2i_set_option("max_clients", bad), DIRIR2I_EARG) << bad;
        EXPECT_STREQ(dirir2i_last_error(), "max_clients: 1..1024");
    }
    EXPECT_EQ(dirir2i_set_option("idle_timeout_ms", "000000000100"), 0); // 12 digits
    EXPECT_EQ(now().idle_timeout_ms, 100);
    EXPECT_EQ(dirir2i_set_option("idle_timeout_ms", "0000000000100"), DIRIR2I_EARG); // 13 digits
    EXPECT_STREQ(dirir2i_last_error(), "idle_timeout_ms: 100..86400000");
    EXPECT_EQ(dirir2i_set_option("max_credits", "257"), DIRIR2I_EARG);
    EXPECT_STREQ(dirir2i_last_error(), "max_credits: 1..256");
    EXPECT_EQ(dirir2i_set_option("max_handles", "0"), DIRIR2I_EARG);
    EXPECT_STREQ(dirir2i_last_error(), "max_handles: 1..1024");
    EXPECT_EQ(dirir2i_set_option("max_message", "65535"), DIRIR2I_EARG);
    EXPECT_STREQ(dirir2i_last_error(), "max_message: 65536..16777216");
    EXPECT_EQ(dirir2i_set_option("max_message", "16777216"), 0);
    EXPECT_EQ(now().max_message, 16777216);
    EXPECT_EQ(dirir2i_set_option("io_timeout_ms", "99"), DIRIR2I_EARG);
    EXPECT_STREQ(dirir2i_last_error(), "io_timeout_ms: 100..3600000");
    EXPECT_EQ(dirir2i_set_option("logon_timeout_ms", "999"), DIRIR2I_EARG);
    EXPECT_STREQ(dirir2i_last_error(), "logon_timeout_ms: 1000..600000");
    EXPECT_EQ(dirir2i_set_option("logon_timeout_ms", "600000"), 0);
    EXPECT_EQ(now().logon_timeout_ms, 600000);
    EXPECT_EQ(dirir2i_set_option("max_login_failures", "101"), DIRIR2I_EARG);
    EXPECT_STREQ(dirir2i_last_error(), "max_login_failures: 1..100");
}

TEST_F(Options, ClockAcceptsUpToTheLastSecondOfYear9999) {
    EXPECT_EQ(dirir2i_set_option("clock", "253402300799"), 0);
    EXPECT_EQ(now().clock, 253402300799LL);
    EXPECT_EQ(dirir2i_set_option("clock", "253402300800"), DIRIR2I_EARG);
    EXPECT_STREQ(dirir2i_last_error(), "clock: unix seconds, 0 = system");
    EXPECT_EQ(dirir2i_set_option("clock", "0"), 0);
    EXPECT_EQ(now().clock, 0);
}

TEST_F(Options, ServerNameIsOneTo63PrintableBytes) {
    std::string name63(63, 'N');
    EXPECT_EQ(dirir2i_set_option("server_name", name63.c_str()), 0);
    EXPECT_EQ(std::string(now().server_name), name63);
    EXPECT_EQ(dirir2i_set_option("server_name", (name63 + "N").c_str()), DIRIR2I_EARG);
    EXPECT_STREQ(dirir2i_last_error(), "server_name: 1..63 bytes");
    EXPECT_EQ(dirir2i_set_option("server_name", ""), DIRIR2I_EARG);
    EXPECT_STREQ(dirir2i_last_error(), "server_name: 1..63 bytes");
    EXPECT_EQ(dirir2i_set_option("server_name", "A\tB"), DIRIR2I_EARG);
    EXPECT_STREQ(dirir2i_last_error(), "server_name: printable ASCII only");
    EXPECT_EQ(dirir2i_set_option("server_name", "caf\xc3\xa9"), DIRIR2I_EARG);
    EXPECT_EQ(dirir2i_set_option("server_name", "FS1"), 0);
    EXPECT_STREQ(now().server_name, "FS1"); // a shorter name leaves no tail of the longer one
}

TEST_F(Options, RefusalsChangeNothingAndUnknownKeysAreNamed) {
    ASSERT_EQ(dirir2i_set_option("max_handles", "7"), 0);
    qv2_opts before = now();
    EXPECT_EQ(dirir2i_set_option("max_handles", "x"), DIRIR2I_EARG);
    EXPECT_EQ(dirir2i_set_option("nonsense", "1"), DIRIR2I_EARG);
    EXPECT_STREQ(dirir2i_last_error(), "unknown option nonsense");
    std::string key(100, 'k');
    EXPECT_EQ(dirir2i_set_option(key.c_str(), "1"), DIRIR2I_EARG);
    EXPECT_EQ(std::string(dirir2i_last_error()), "unknown option " + key.substr(0, 64));
    EXPECT_EQ(dirir2i_set_option(nullptr, "1"), DIRIR2I_EARG);
    EXPECT_STREQ(dirir2i_last_error(), "set_option: NULL key or value");
    EXPECT_EQ(dirir2i_set_option("guest", nullptr), DIRIR2I_EARG);
    qv2_opts after = now();
    EXPECT_EQ(memcmp(&before, &after, sizeof before), 0);
}

TEST_F(Options, BannerIsAcceptedAndChangesNothing) {
    qv2_opts before = now();
    EXPECT_EQ(dirir2i_set_option("banner", ""), 0);
    EXPECT_EQ(dirir2i_set_option("banner", "Welcome, any text at all"), 0);
    qv2_opts after = now();
    EXPECT_EQ(memcmp(&before, &after, sizeof before), 0);
}

TEST_F(Options, ASnapshotPutsEveryOptionBack) {
    qv2_opts before = now();
    {
        smb2::OptionsSnapshot snapshot;
        const char *changed[][2] = {
            {"guest", "off"},         {"signing", "required"},     {"ntlm_timecheck", "off"},
            {"max_clients", "3"},     {"idle_timeout_ms", "101"},  {"logon_timeout_ms", "1001"},
            {"io_timeout_ms", "102"}, {"max_login_failures", "9"}, {"max_credits", "7"},
            {"max_handles", "5"},     {"max_message", "65536"},    {"clock", "1700000000"},
            {"server_name", "OTHER"}, {"log_format", "json"}};
        for (const auto &kv : changed)
            ASSERT_EQ(dirir2i_set_option(kv[0], kv[1]), DIRIR2I_OK) << kv[0];
        qv2_opts changed_all = now();
        EXPECT_NE(memcmp(&before, &changed_all, sizeof before), 0);
    }
    qv2_opts after = now();
    EXPECT_EQ(memcmp(&before, &after, sizeof before), 0);
}

} // namespace
