// Shared by the configuration sources only: the configuration lock and the
// option record it guards. Nothing outside src/config includes this.
#pragma once

#include "config/qv2_cfg_types.h"

#include <mutex>

// Guards g_opts, the share/user/allow-list tables and the counters. Always
// taken exclusively, for one copy, one table scan or one counter update.
extern std::mutex g_lock;
extern qv2_opts g_opts;

