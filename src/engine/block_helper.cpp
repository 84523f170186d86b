// The helper thread: one piece of work at a time, handed over and collected
// through two semaphores, whose post and wait also order the memory the work
// touches between the two threads.
#include "engine/block_helper.h"

namespace {

void helper_body(void* arg) {
    BlockHelper* h = (BlockHelper*)arg;
    for (;;) {
        plat_semaphore_wait(h->go);
        if (h->stopping) return;
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
    h->stopping = 0;
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
    h->busy = 1;
    plat_semaphore_post(h->go);
}

void block_helper_collect(BlockHelper* h) {
    if (!h->busy) return;
    plat_semaphore_wait(h->done);
    h->busy = 0;
}

void block_helper_stop(BlockHelper* h) {
    if (!h->running) return;
    block_helper_collect(h);
    h->stopping = 1;
    plat_semaphore_post(h->go);
    plat_thread_join(h->thread);
    plat_semaphore_destroy(h->go);
    plat_semaphore_destroy(h->done);
    h->running = 0;
}
