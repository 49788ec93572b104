// The client allow-list. Entries can never be removed, so every test that
// adds one runs in a child process and leaves this process's list empty.
#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "foundation/qv2_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// Runs `check` in a forked child; it returns "" when all is well, else what
// went wrong, which the child prints before failing.
template <typename F> void in_child(F check) {
    EXPECT_EXIT(
        {
            std::string err = check();
            if (!err.empty()) fprintf(stderr, "%s\n", err.c_str());
            _exit(err.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

bool allowed(const char *text) {
    qv2_ip ip;
    if (qv2_ip_parse(text, &ip) != 0) return false;
    return qv2_client_allowed(&ip) == 1;
}

TEST(AllowList, EmptyListAdmitsOnlyLoopback) {
    for (const char *ip : {"127.0.0.1", "127.1.2.3", "::1", "::ffff:127.0.0.1"})
        EXPECT_TRUE(allowed(ip)) << ip;
    for (const char *ip : {"192.168.1.10", "10.0.0.1", "::2", "fe80::1"})
        EXPECT_FALSE(allowed(ip)) << ip;
    EXPECT_EQ(qv2_client_allowed(nullptr), 0);
}

TEST(AllowList, AnEntryAdmitsItsNetworkOnly) {
    in_child([]() -> std::string {
        if (dirir2i_allow_cidr("192.168.1.0/24") != 0) return "add failed";
        if (!allowed("192.168.1.10") || !allowed("192.168.1.255")) return "inside refused";
        if (allowed("192.168.2.1") || allowed("10.0.0.1")) return "outside admitted";
        if (!allowed("127.0.0.1")) return "loopback refused";
        if (dirir2i_allow_cidr("fd00::/8") != 0) return "v6 add failed";
        if (!allowed("fd12::1") || allowed("fe80::1")) return "v6 entry wrong";
        return "";
    });
}

TEST(AllowList, BadEntriesAreRefusedWithTheirMessage) {
    in_child([]() -> std::string {
        if (dirir2i_allow_cidr(nullptr) != DIRIR2I_EARG ||
            strcmp(dirir2i_last_error(), "allow_cidr: empty CIDR") != 0)
            return "null accepted";
        if (dirir2i_allow_cidr("") != DIRIR2I_EARG ||
            strcmp(dirir2i_last_error(), "allow_cidr: empty CIDR") != 0)
            return "empty accepted";
        if (dirir2i_allow_cidr("10.0.0.0/33") != DIRIR2I_EARG ||
            strcmp(dirir2i_last_error(), "allow_cidr: 10.0.0.0/33 is not a CIDR") != 0)
            return std::string("bad prefix: ") + dirir2i_last_error();
        std::string longtext(100, '1');
        if (dirir2i_allow_cidr(longtext.c_str()) != DIRIR2I_EARG ||
            std::string(dirir2i_last_error()) !=
                "allow_cidr: " + longtext.substr(0, 64) + " is not a CIDR")
            return std::string("long text: ") + dirir2i_last_error();
        // Nothing was stored by the failures.
        if (allowed("10.0.0.1")) return "failed entry admits";
        return "";
    });
}

TEST(AllowList, DuplicatesAreKeptOnceEvenOnAFullList) {
    in_child([]() -> std::string {
        if (dirir2i_allow_cidr("10.0.0.0/8") != 0) return "first add failed";
        // Stored with its host bits cleared, so these are the same entry.
        if (dirir2i_allow_cidr("10.0.0.5/8") != 0) return "duplicate refused";
        if (dirir2i_allow_cidr("::ffff:10.0.0.0/104") != 0) return "mapped duplicate refused";
        char text[32];
        for (int i = 1; i < QV2_MAX_CIDRS; i++) {
            snprintf(text, sizeof text, "172.16.%d.0/24", i);
            if (dirir2i_allow_cidr(text) != 0) return std::string("refused ") + text;
        }
        if (dirir2i_allow_cidr("192.168.0.0/16") != DIRIR2I_EFULL ||
            strcmp(dirir2i_last_error(), "allow_cidr: 64 CIDRs") != 0)
            return std::string("65th: ") + dirir2i_last_error();
        if (dirir2i_allow_cidr("10.1.2.3/8") != 0) return "duplicate refused on a full list";
        if (dirir2i_allow_cidr("172.16.63.0/24") != 0) return "last duplicate refused";
        // Same address, other prefix: a new entry, and the list is full.
        if (dirir2i_allow_cidr("10.0.0.0/16") != DIRIR2I_EFULL) return "other prefix not refused";
        if (!allowed("172.16.63.9") || allowed("192.168.0.1")) return "wrong admission";
        return "";
    });
}

} // namespace
