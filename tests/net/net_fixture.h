// Every network test leaves the server stopped and every option as it found
// it, since the server is one process-wide instance.
#pragma once

#include "support/options_snapshot.h"

#include "dirir2i.h"

#include <gtest/gtest.h>

class NetTest : public ::testing::Test {
  protected:
    void SetUp() override { dirir2i_stop(); }
    void TearDown() override { dirir2i_stop(); }
    smb2::OptionsSnapshot restore_;
};

