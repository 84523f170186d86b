// Linux: the CPUs this process may use, worker threads and the semaphore that
// hands them work.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <stdlib.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

int fail(int err) {
    plat_posix_set_error(err, 0);
    return 0;
}

struct Start {
    plat_thread_body body;
    void* arg;
};

void* trampoline(void* p) {
    Start start = *(Start*)p;
    free(p);
    start.body(start.arg);
    return nullptr;
}

} // namespace

uint32_t plat_cpu_count(void) {
    // The affinity mask, not the machine's count: taskset or a container may allow fewer.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    int count = CPU_COUNT(&set);
    return count > 0 ? (uint32_t)count : 1;
}

int plat_thread_start(plat_thread_body body, void* arg, plat_thread* out) {
    Start* start = (Start*)malloc(sizeof(Start));
    if (start == nullptr) return fail(ENOMEM);
    start->body = body;
    start->arg = arg;
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, trampoline, start);
    if (rc != 0) {
        free(start);
        return fail(rc);
    }
    *out = (plat_thread)thread;
    return 1;
}

void plat_thread_join(plat_thread thread) { pthread_join((pthread_t)thread, nullptr); }

int plat_semaphore_create(plat_semaphore* out) {
    sem_t* s = (sem_t*)malloc(sizeof(sem_t));
    if (s == nullptr) return fail(ENOMEM);
    if (sem_init(s, 0, 0) != 0) {
        int code = errno;
        free(s);
        return fail(code);
    }
    *out = (plat_semaphore)s;
    return 1;
}

void plat_semaphore_post(plat_semaphore s) { sem_post((sem_t*)s); }

void plat_semaphore_wait(plat_semaphore s) {
    // A signal handler may interrupt the wait; only a post ends it.
    while (sem_wait((sem_t*)s) != 0 && errno == EINTR) {
    }
}

void plat_semaphore_destroy(plat_semaphore s) {
    sem_destroy((sem_t*)s);
    free((sem_t*)s);
}
