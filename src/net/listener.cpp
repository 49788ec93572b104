// Network service state. Start, stop, the accept thread and the connection
// threads are added by the network service work; until then the service is
// always stopped.
#include "net/qv2_net.h"

#include "dirir2i.h"

#include <mutex>

namespace {

struct service_state {
    std::mutex lock;
    int running = 0;
    int stopping = 0;
    int port = 0;
    int client_count = 0;
};

service_state g;

} // namespace

int qv2_server_stopping(void) {
    std::lock_guard<std::mutex> guard(g.lock);
    return g.stopping;
}

extern "C" DIRIR2I_API int dirir2i_port(void) {
    std::lock_guard<std::mutex> guard(g.lock);
    return g.port;
}

extern "C" DIRIR2I_API int32_t dirir2i_client_count(void) {
    std::lock_guard<std::mutex> guard(g.lock);
    return g.client_count;
}
