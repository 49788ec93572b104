// The C embedding example compiles as C against the public header, links
// against libdirir2i.so, and runs.
#include "child_process.h"

#include "support/builders/tempdir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

// Absolute path of a program found on PATH, or "".
std::string find_program(const char *name) {
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

std::string folder_of(const std::string &file) {
    return file.substr(0, file.rfind('/'));
}

} // namespace

TEST(EmbeddingExample, CompilesAsCAndServesThroughTheSharedLibrary) {
    // The library is built by one compiler family; a sanitizer build needs
    // the example built by the same one with the same runtime.
#if defined(__clang__)
    std::string cc = find_program("clang");
#else
    std::string cc = find_program("gcc");
#endif
    if (cc.empty()) cc = find_program("cc");
    if (cc.empty()) GTEST_SKIP() << "no C compiler on PATH";

    TempDir dir;
    std::string exe = dir.join("embed_server");
    std::string lib_dir = folder_of(DIRIR2I_SHARED_LIB);
    std::vector<std::string> args = {"-x",
                                     "c",
                                     "-std=c99",
                                     "-Wall",
                                     "-Wextra",
                                     "-Werror",
                                     "-I",
                                     std::string(DIRIR2I_SOURCE_DIR) + "/include",
                                     std::string(DIRIR2I_SOURCE_DIR) + "/examples/embed_server.c",
                                     "-o",
                                     exe,
                                     "-L",
                                     lib_dir,
                                     "-ldirir2i",
                                     "-Wl,-rpath," + lib_dir};
#if defined(__SANITIZE_ADDRESS__)
    args.push_back("-fsanitize=address,undefined");
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    args.push_back("-fsanitize=address,undefined");
#endif
#endif
    run_result built = run_program(cc, args, "", 120000);
    ASSERT_EQ(built.exit_code, 0) << built.err;

    std::string folder = dir.mkdir("served");
    run_result r = run_program(exe, {folder});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string serving = "serving " + folder + " as \\\\127.0.0.1\\docs on port ";
    ASSERT_EQ(r.out.rfind(serving, 0), 0u) << r.out;
    int port = atoi(r.out.c_str() + serving.size());
    EXPECT_GT(port, 0);
    EXPECT_NE(r.out.find("\n{\"running\":true,\"port\":" + std::to_string(port) + ","),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\nRESULT ok (0 frames)\nstopped; port now 0\n"), std::string::npos)
        << r.out;
}
