// A plain main for a fuzz target, so that any compiler builds it and ctest
// replays the committed inputs through the target's entry point: every file
// in the folders (or the files) named on the command line, in name order.
// A folder that does not exist holds nothing yet; a README in a folder is
// not an input. A finding of the target aborts the run, as under libFuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
// Only some targets have one.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace fs = std::filesystem;

int main(int argc, char **argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; i++) {
        fs::path p = argv[i];
        if (fs::is_directory(p)) {
            for (const fs::directory_entry &e : fs::directory_iterator(p))
                if (e.is_regular_file() && e.path().filename() != "README")
                    inputs.push_back(e.path());
        } else if (fs::exists(p)) {
            inputs.push_back(p);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    for (const fs::path &p : inputs) {
        std::ifstream f(p, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(f)),
                                  std::istreambuf_iterator<char>());
        if (!f.eof() && f.fail()) {
            fprintf(stderr, "cannot read %s\n", p.c_str());
            return 1;
        }
        // The name first, so that a crash shows which input caused it.
        fprintf(stderr, "%s\n", p.c_str());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
