// The helper thread. Work comes in pieces that either thread claims one at a
// time, so a helper that the machine does not run while the I/O call lasts
// (a busy or virtual machine) holds the caller up by one piece at most; once
// the call returns, the caller does what is left. The helper joins a handed
// work only once and then posts once, after its last piece; the semaphores'
// post and wait order the memory between the threads.
#include "engine/block_helper.h"

namespace {

enum { IDLE = 0, HANDED = 1, JOINED_BY_HELPER = 2, CALLER_ALONE = 3 };
// About a tenth of a millisecond of looking, less than a piece takes.
const uint32_t HELPER_LOOKS = 1u << 15;

int join(BlockHelper* h, int who) {
    int expected = HANDED;
    return h->state.compare_exchange_strong(expected, who, std::memory_order_acq_rel);
}

void run_pieces(BlockHelper* h) {
    for (;;) {
        uint32_t k = h->next.fetch_add(1, std::memory_order_relaxed);
        if (k >= h->pieces) return;
        h->work(h->arg, k);
    }
}

void helper_body(void* arg) {
    BlockHelper* h = (BlockHelper*)arg;
    for (;;) {
        plat_semaphore_wait(h->go);
        if (h->stopping.load()) return;
        // A post whose work the caller took on alone finds nothing to do.
        if (!join(h, JOINED_BY_HELPER)) continue;
        run_pieces(h);
        h->helper_done.store(1, std::memory_order_release);
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

void block_helper_hand(BlockHelper* h, block_work work, void* arg, uint32_t pieces) {
    if (!h->running) {
        for (uint32_t k = 0; k < pieces; k++) work(arg, k);
        return;
    }
    block_helper_collect(h);
    h->work = work;
    h->arg = arg;
    h->pieces = pieces;
    h->next.store(0, std::memory_order_relaxed);
    h->helper_done.store(0, std::memory_order_relaxed);
    h->state.store(HANDED, std::memory_order_release);
    plat_semaphore_post(h->go);
}

void block_helper_collect(BlockHelper* h) {
    if (h->state.load(std::memory_order_acquire) == IDLE) return;
    int alone = join(h, CALLER_ALONE);
    run_pieces(h);
    if (!alone) {
        // The helper's last piece is near its end: a thread that sleeps now
        // waits for its turn on a busy machine, so look for a short while first.
        for (uint32_t i = 0; i < HELPER_LOOKS && !h->helper_done.load(std::memory_order_acquire); i++) {
        }
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
