#include "support/options_snapshot.h"

#include "config/qv2_cfg.h"
#include "dirir2i.h"

#include <gtest/gtest.h>

#include <cstring>

namespace smb2 {

std::vector<std::pair<std::string, std::string>> option_texts(const qv2_opts &o) {
    auto num = [](int64_t v) { return std::to_string(v); };
    return {
        {"guest", o.guest < 0 ? "auto"
                  : o.guest   ? "on"
                              : "off"},
        {"signing", o.signing ? "required" : "enabled"},
        {"ntlm_timecheck", o.ntlm_timecheck ? "on" : "off"},
        {"max_clients", num(o.max_clients)},
        {"idle_timeout_ms", num(o.idle_timeout_ms)},
        {"logon_timeout_ms", num(o.logon_timeout_ms)},
        {"io_timeout_ms", num(o.io_timeout_ms)},
        {"max_login_failures", num(o.max_login_failures)},
        {"max_credits", num(o.max_credits)},
        {"max_handles", num(o.max_handles)},
        {"max_message", num(o.max_message)},
        {"clock", num(o.clock)},
        {"server_name", o.server_name},
        {"max_dialect", o.max_dialect == 0x0202   ? "2.0.2"
                        : o.max_dialect == 0x0300 ? "3.0"
                        : o.max_dialect == 0x0302 ? "3.0.2"
                        : o.max_dialect == 0x0311 ? "3.1.1"
                                                  : "2.1"},
        {"encryption", o.encryption == QV2_ENCRYPT_OFF       ? "off"
                       : o.encryption == QV2_ENCRYPT_DESIRED  ? "desired"
                       : o.encryption == QV2_ENCRYPT_REQUIRED ? "required"
                                                              : "enabled"},
        // No reading side: back to the defaults.
        {"log", "off"},
        {"log_format", "logfmt"},
    };
}

OptionsSnapshot::OptionsSnapshot() {
    qv2_opts_get(&saved_);
}

OptionsSnapshot::~OptionsSnapshot() {
    std::vector<std::pair<std::string, std::string>> texts = option_texts(saved_);
    for (const auto &[key, value] : texts)
        EXPECT_EQ(dirir2i_set_option(key.c_str(), value.c_str()), DIRIR2I_OK)
            << key << "=" << value << ": " << dirir2i_last_error();
    // An option added later must be added above too, or tests would leak it.
    int count = 0;
    const qv2_opt_doc *docs = qv2_opt_docs(&count);
    for (int i = 0; i < count; i++) {
        bool known = strcmp(docs[i].key, "banner") == 0;
        for (const auto &kv : texts)
            known = known || kv.first == docs[i].key;
        EXPECT_TRUE(known) << "OptionsSnapshot does not restore " << docs[i].key;
    }
}

ScopedOption::ScopedOption(const char *key, const char *value) : key_(key) {
    qv2_opts now;
    qv2_opts_get(&now);
    for (const auto &[k, v] : option_texts(now))
        if (k == key) restore_ = v;
    EXPECT_FALSE(restore_.empty()) << "no way to put " << key << " back";
    EXPECT_EQ(dirir2i_set_option(key, value), DIRIR2I_OK)
        << key << "=" << value << ": " << dirir2i_last_error();
}

ScopedOption::~ScopedOption() {
    if (restore_.empty()) return;
    EXPECT_EQ(dirir2i_set_option(key_.c_str(), restore_.c_str()), DIRIR2I_OK) << key_;
}

} // namespace smb2
