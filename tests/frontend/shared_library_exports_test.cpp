// libdirir2i.so as a host program sees it: exactly the sixteen exports, a
// fresh instance that starts empty, and every export callable through dlsym.
#include "dirir2i.h"
#include "support/builders/tempdir.h"
#include "support/loopback_client.h"

#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::set<std::string> kExports = {
    "dirir2i_add_share",  "dirir2i_add_user",      "dirir2i_allow_cidr",   "dirir2i_client_count",
    "dirir2i_last_error", "dirir2i_port",          "dirir2i_remove_share", "dirir2i_remove_user",
    "dirir2i_selftest",   "dirir2i_session_count", "dirir2i_set_option",   "dirir2i_simulate",
    "dirir2i_start",      "dirir2i_stats_json",    "dirir2i_stop",         "dirir2i_version",
};

// Names of the defined global symbols of an ELF64 shared object's dynamic
// symbol table: what it exports.
std::set<std::string> exported_names(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::vector<char> img((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::set<std::string> names;
    if (img.size() < sizeof(Elf64_Ehdr) || memcmp(img.data(), ELFMAG, SELFMAG) != 0 ||
        img[EI_CLASS] != ELFCLASS64)
        return names;
    Elf64_Ehdr eh;
    memcpy(&eh, img.data(), sizeof eh);
    auto section = [&](size_t i) {
        Elf64_Shdr sh{};
        size_t off = eh.e_shoff + i * sizeof(Elf64_Shdr);
        if (off + sizeof sh <= img.size()) memcpy(&sh, img.data() + off, sizeof sh);
        return sh;
    };
    for (size_t i = 0; i < eh.e_shnum; i++) {
        Elf64_Shdr sh = section(i);
        if (sh.sh_type != SHT_DYNSYM || sh.sh_entsize != sizeof(Elf64_Sym)) continue;
        Elf64_Shdr strtab = section(sh.sh_link);
        for (size_t off = sh.sh_offset; off + sizeof(Elf64_Sym) <= sh.sh_offset + sh.sh_size &&
                                        off + sizeof(Elf64_Sym) <= img.size();
             off += sizeof(Elf64_Sym)) {
            Elf64_Sym sym;
            memcpy(&sym, img.data() + off, sizeof sym);
            int bind = ELF64_ST_BIND(sym.st_info);
            if (sym.st_shndx == SHN_UNDEF || sym.st_name == 0) continue;
            if (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE) continue;
            size_t at = strtab.sh_offset + sym.st_name;
            if (at < img.size()) names.insert(std::string(img.data() + at));
        }
    }
    return names;
}

// The exports, looked up by name in the loaded library.
struct library {
    void *handle = nullptr;
    int (*add_share)(const char *, const char *);
    int (*add_user)(const char *, const char *);
    int (*allow_cidr)(const char *);
    int32_t (*client_count)(void);
    const char *(*last_error)(void);
    int (*port)(void);
    int (*remove_share)(const char *);
    int (*remove_user)(const char *);
    const char *(*selftest)(void);
    int32_t (*session_count)(void);
    int (*set_option)(const char *, const char *);
    const char *(*simulate)(const char *, const char *);
    int (*start)(const char *, uint32_t, const char *);
    const char *(*stats_json)(void);
    void (*stop)(void);
    const char *(*version)(void);

    template <typename F> void find(F *fn, const char *name) {
        *fn = reinterpret_cast<F>(dlsym(handle, name));
        EXPECT_NE(reinterpret_cast<void *>(*fn), nullptr) << name;
    }
    bool load(const char *path) {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!handle) return false;
        find(&add_share, "dirir2i_add_share");
        find(&add_user, "dirir2i_add_user");
        find(&allow_cidr, "dirir2i_allow_cidr");
        find(&client_count, "dirir2i_client_count");
        find(&last_error, "dirir2i_last_error");
        find(&port, "dirir2i_port");
        find(&remove_share, "dirir2i_remove_share");
        find(&remove_user, "dirir2i_remove_user");
        find(&selftest, "dirir2i_selftest");
        find(&session_count, "dirir2i_session_count");
        find(&set_option, "dirir2i_set_option");
        find(&simulate, "dirir2i_simulate");
        find(&start, "dirir2i_start");
        find(&stats_json, "dirir2i_stats_json");
        find(&stop, "dirir2i_stop");
        find(&version, "dirir2i_version");
        return !::testing::Test::HasFailure();
    }
};

std::string fresh_json() {
    std::string json = "{\"running\":false,\"port\":0,\"clients\":0";
    for (const char *name :
         {"connections",    "refused_allow",   "refused_full",     "negotiate",
          "sessions",       "guest_sessions",  "logon_failed",     "trees",
          "tree_refused",   "opens",           "open_refused",     "reads",
          "bytes_sent",     "listings_sent",   "mutating_refused", "ioctl_refused",
          "bad_signature",  "protocol_errors", "timeouts",         "sign_required_sessions",
          "srvsvc_queries", "path_refused",    "grants",           "breaks_sent",
          "breaks_acked",   "notifies_completed"})
        json += std::string(",\"") + name + "\":0";
    return json + "}";
}

} // namespace

TEST(SharedLibrary, ExportsExactlyTheSixteenFunctions) {
    EXPECT_EQ(exported_names(DIRIR2I_SHARED_LIB), kExports);
}

TEST(SharedLibrary, FreshInstanceStartsEmptyAndEveryExportWorks) {
    library lib;
    ASSERT_TRUE(lib.load(DIRIR2I_SHARED_LIB)) << dlerror();

    // Nothing has happened in this instance yet.
    EXPECT_EQ(lib.port(), 0);
    EXPECT_EQ(lib.client_count(), 0);
    EXPECT_STREQ(lib.last_error(), "");
    EXPECT_EQ(lib.stats_json(), fresh_json());
    EXPECT_EQ(lib.session_count(), 0);
    EXPECT_STREQ(lib.version(), "1.0.1");

    TempDir dir;
    EXPECT_EQ(lib.add_share("docs", dir.path().c_str()), 0);
    EXPECT_EQ(lib.add_share("docs", dir.path().c_str()), DIRIR2I_EEXIST);
    EXPECT_STREQ(lib.last_error(), "add_share: docs exists");
    EXPECT_EQ(lib.remove_share("docs"), 0);
    EXPECT_EQ(lib.remove_share("docs"), DIRIR2I_ENOENT);
    EXPECT_EQ(lib.add_user("alice", "pa:ss"), 0);
    EXPECT_EQ(lib.remove_user("alice"), 0);
    EXPECT_EQ(lib.remove_user("alice"), DIRIR2I_ENOENT);
    EXPECT_EQ(lib.allow_cidr("10.0.0.0/8"), 0);
    EXPECT_EQ(lib.set_option("guest", "maybe"), DIRIR2I_EARG);
    EXPECT_STREQ(lib.last_error(), "guest: auto, on or off");
    EXPECT_EQ(lib.set_option("max_clients", "4"), 0);
    EXPECT_STREQ(lib.selftest(), "selftest ok\n");
    EXPECT_STREQ(lib.simulate("", "10.9.8.7"), "RESULT ok (0 frames)\n");
    EXPECT_EQ(lib.simulate(nullptr, nullptr), nullptr);
    EXPECT_STREQ(lib.last_error(), "simulate: NULL script");

    ASSERT_EQ(lib.start("127.0.0.1", 0, "EMBEDDED"), 0) << lib.last_error();
    int port = lib.port();
    EXPECT_GT(port, 0);
    EXPECT_TRUE(nettest::port_answers(port));
    EXPECT_EQ(dirir2i_port(), 0); // the library's instance is its own, not this program's
    std::string json = lib.stats_json();
    EXPECT_EQ(json.rfind("{\"running\":true,\"port\":" + std::to_string(port) + ",", 0), 0u)
        << json;
    lib.stop();
    EXPECT_EQ(lib.port(), 0);
    EXPECT_EQ(lib.client_count(), 0);
    // Not unloaded: the library keeps its last text result (g_out) for the
    // life of the process.
}
