// Linux: the CPUs this process may use, the helper thread and the semaphores that
// hand it work.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <stdlib.h>
#include <time.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

int fail(int err) {
    plat_posix_set_error(err, 0);
    return 0;
}

// Lives from the start to the join; freed by the joining thread, so that the new
// thread never touches the heap (its first free would reserve an arena of its own).
struct Thread {
    pthread_t id;
    plat_thread_body body;
    void* arg;
};

void* trampoline(void* p) {
    Thread* t = (Thread*)p;
    t->body(t->arg);
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

double plat_thread_cpu_seconds(void) {
    struct timespec t;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0.0;
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

void plat_thread_yield(void) { sched_yield(); }

int plat_thread_start(plat_thread_body body, void* arg, plat_thread* out) {
    Thread* t = (Thread*)malloc(sizeof(Thread));
    if (t == nullptr) return fail(ENOMEM);
    t->body = body;
    t->arg = arg;
    int rc = pthread_create(&t->id, nullptr, trampoline, t);
    if (rc != 0) {
        free(t);
        return fail(rc);
    }
    *out = (plat_thread)t;
    return 1;
}

void plat_thread_join(plat_thread thread) {
    Thread* t = (Thread*)thread;
    pthread_join(t->id, nullptr);
    free(t);
}

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
