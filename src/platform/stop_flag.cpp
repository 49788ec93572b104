// The stop flag: set by the network service while dirir2i_stop runs, read by
// every connection loop after each read that brought nothing and after each
// message.
#include "platform/qv2_platform.h"

#include <atomic>

namespace {
std::atomic<int> g_stopping{0};
} // namespace

int qv2_server_stopping(void) { return g_stopping.load(std::memory_order_acquire); }

void qv2_stop_flag_set(int stopping) { g_stopping.store(stopping ? 1 : 0, std::memory_order_release); }
