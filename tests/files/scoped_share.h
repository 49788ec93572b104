// A share published for the length of one test and withdrawn afterwards, so
// tests sharing the process-wide table don't see each other's shares.
#pragma once

#include "dirir2i.h"

#include <gtest/gtest.h>

#include <string>

class ScopedShare {
  public:
    ScopedShare(const std::string &name, const std::string &path) : name_(name) {
        added_ = dirir2i_add_share(name.c_str(), path.c_str()) == 0;
        EXPECT_TRUE(added_) << dirir2i_last_error();
    }
    ~ScopedShare() {
        if (added_) dirir2i_remove_share(name_.c_str());
    }
    ScopedShare(const ScopedShare &) = delete;
    ScopedShare &operator=(const ScopedShare &) = delete;

    const char *name() const { return name_.c_str(); }

  private:
    std::string name_;
    bool added_;
};
