// Threads: every server thread (accept and connection) is started here.
#include "platform/qv2_platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>

static_assert(sizeof(pthread_t) <= sizeof(uint64_t), "pthread_t must fit a qv2_thread");

namespace {

constexpr size_t kStackSize = 1u << 20;

// What the new thread runs; owned by the new thread once it exists.
struct thread_start {
    void (*routine)(void *);
    void *arg;
};

void *thread_main(void *p) {
    thread_start start = *static_cast<thread_start *>(p);
    free(p);
    start.routine(start.arg);
    return nullptr;
}

} // namespace

int qv2_thread_start(qv2_thread *out, void (*routine)(void *), void *arg) {
    if (!out || !routine) return -1;
    auto *start = static_cast<thread_start *>(malloc(sizeof(thread_start)));
    if (!start) return -1;
    start->routine = routine;
    start->arg = arg;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        free(start);
        return -1;
    }
    pthread_attr_setstacksize(&attr, kStackSize);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, thread_main, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        free(start);
        return -1;
    }
    out->handle = 0;
    memcpy(&out->handle, &tid, sizeof tid);
    return 0;
}

void qv2_thread_join(qv2_thread *t) {
    pthread_t tid;
    memcpy(&tid, &t->handle, sizeof tid);
    pthread_join(tid, nullptr);
    t->handle = 0;
}

void qv2_sleep_ms(int ms) {
    timespec ts{ms / 1000, long(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}
