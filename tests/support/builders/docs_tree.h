// The folder most tests, the engine fuzzer and fuzz/record_sessions.py serve
// as the share "docs", with a second folder outside it that links point to:
//
//   hello.txt   "hello world\n"
//   big.bin     70000 bytes, 0..255 repeating
//   sub/        a folder holding inner.txt ("inner")
//   empty/      an empty folder
//   in_link     link to sub/inner.txt (inside the share)
//   out         link to outside/secret.txt ("secret")
//   out_dir     link to the outside folder itself
//
// Both folders are removed with the object.
#pragma once

#include "support/builders/tempdir.h"

#include <string>

struct DocsTree {
    TempDir dir;     // what the share publishes
    TempDir outside; // what its links lead out to
    std::string big; // the content of big.bin

    DocsTree();
};
