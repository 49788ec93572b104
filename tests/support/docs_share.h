// A temporary folder published as the share "docs" for the length of a test,
// with a known content, and a second folder outside it that links point to:
//
//   hello.txt   "hello world\n"
//   big.bin     70000 bytes, 0..255 repeating
//   sub/        a folder holding inner.txt ("inner")
//   empty/      an empty folder
//   in_link     link to sub/inner.txt (inside the share)
//   out         link to a file outside the share
//   out_dir     link to a folder outside the share
#pragma once

#include "support/tempdir.h"

#include "files/scoped_share.h"

#include <string>

struct DocsShare {
    TempDir dir;
    TempDir outside;
    std::string big;
    ScopedShare share;

    explicit DocsShare(const std::string &name = "docs") : share(name, populate()) {}

  private:
    const std::string &populate() {
        dir.write("hello.txt", "hello world\n");
        for (int i = 0; i < 70000; i++)
            big.push_back(char(i & 0xFF));
        dir.write("big.bin", big);
        dir.write("sub/inner.txt", "inner");
        dir.mkdir("empty");
        dir.symlink(dir.join("sub/inner.txt"), "in_link");
        dir.symlink(outside.write("secret.txt", "secret"), "out");
        dir.symlink(outside.mkdir("folder"), "out_dir");
        return dir.path();
    }
};
