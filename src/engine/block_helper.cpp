// The helper thread: one piece of work at a time. Whichever thread moves it
// from handed to taken runs it, so a helper the machine has not scheduled by
// the time the I/O call returns never holds the caller up. Only work the
// helper took is waited for; the semaphores' post and wait order the memory.
#include "engine/block_helper.h"

namespace {

enum { IDLE = 0, HANDED = 1, TAKEN_BY_HELPER = 2, TAKEN_BY_CALLER = 3 };

int take(BlockHelper* h, int by) {
    int expected = HANDED;
    return h->state.compare_exchange_strong(expected, by, std::memory_order_acq_rel);
}

void helper_body(void* arg) {
    BlockHelper* h = (BlockHelper*)arg;
    for (;;) {
        plat_semaphore_wait(h->go);
        if (h->stopping.load()) return;
        // A post whose work the caller took back finds nothing to do.
        if (!take(h, TAKEN_BY_HELPER)) continue;
        h->work(h->arg);
        plat_semaphore_post(h->done);
    }
}

} // namespace

BlockHelper::~BlockHelper() { block_helper_stop(this); }

int block_helper_start(BlockHelper* h) {
    block_helper_stop(h);
    if (plat_cpu_count() < 2) return 0;
    if (!plat_semaphore_create(&h->go)) return 0;
    if (!plat_semaphore_create(&h->done)) {
        plat_semaphore_destroy(h->go);
        return 0;
    }
    h->stopping.store(0);
    h->state.store(IDLE);
    if (!plat_thread_start(helper_body, h, &h->thread)) {
        plat_semaphore_destroy(h->go);
        plat_semaphore_destroy(h->done);
        return 0;
    }
    h->running = 1;
    return 1;
}

void block_helper_hand(BlockHelper* h, block_work work, void* arg) {
    if (!h->running) {
        work(arg);
        return;
    }
    block_helper_collect(h);
    h->work = work;
    h->arg = arg;
    h->state.store(HANDED, std::memory_order_release);
    plat_semaphore_post(h->go);
}

void block_helper_collect(BlockHelper* h) {
    if (h->state.load(std::memory_order_acquire) == IDLE) return;
    if (take(h, TAKEN_BY_CALLER)) {
        h->work(h->arg);
    } else {
        plat_semaphore_wait(h->done);
    }
    h->state.store(IDLE, std::memory_order_relaxed);
}

void block_helper_stop(BlockHelper* h) {
    if (!h->running) return;
    block_helper_collect(h);
    h->stopping.store(1);
    plat_semaphore_post(h->go);
    plat_thread_join(h->thread);
    plat_semaphore_destroy(h->go);
    plat_semaphore_destroy(h->done);
    h->running = 0;
}
