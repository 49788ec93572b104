// Every network test leaves the server stopped and the options it touched at
// their defaults, since the server is one process-wide instance.
#pragma once

#include "dirir2i.h"

#include <gtest/gtest.h>

class NetTest : public ::testing::Test {
  protected:
    void SetUp() override { dirir2i_stop(); }
    void TearDown() override {
        dirir2i_stop();
        dirir2i_set_option("max_clients", "16");
        dirir2i_set_option("idle_timeout_ms", "300000");
        dirir2i_set_option("io_timeout_ms", "30000");
        dirir2i_set_option("server_name", "KESTRAVONDLEX");
    }
};
