// The folder of builders/docs_tree.h published as a share ("docs" unless
// named otherwise) for the length of a test.
#pragma once

#include "support/builders/docs_tree.h"

#include "files/scoped_share.h"

#include <string>

struct DocsShare : DocsTree {
    ScopedShare share;

    explicit DocsShare(const std::string &name = "docs") : share(name, dir.path()) {}
};
