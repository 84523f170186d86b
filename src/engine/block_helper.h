// One helper thread beside the main thread's I/O call: it fills the next block
// or compares the last one, so that the drive never waits for the CPU.
#pragma once

#include <atomic>

#include "platform/platform.h"

typedef void (*block_work)(void* arg);

struct BlockHelper {
    int running = 0;  // the thread and both semaphores exist
    std::atomic<int> stopping{0}; // a stale post may wake the helper meanwhile
    // The handed work: idle, handed over, taken by one of the two threads.
    std::atomic<int> state{0};
    plat_thread thread = 0;
    plat_semaphore go = 0;
    plat_semaphore done = 0;
    block_work work = nullptr;
    void* arg = nullptr;

    BlockHelper() = default;
    BlockHelper(const BlockHelper&) = delete;
    BlockHelper& operator=(const BlockHelper&) = delete;
    ~BlockHelper();
};

// Starts the helper when this process may use more than one CPU; 0 when it does
// not run (one CPU, or it could not start): the caller then does the work itself.
int block_helper_start(BlockHelper* h);
// Runs work(arg) on the helper; without one, on the caller before returning.
void block_helper_hand(BlockHelper* h, block_work work, void* arg);
// Returns once the work handed over last is done (at once when none is pending).
// Work the helper has not begun yet, the caller does itself.
void block_helper_collect(BlockHelper* h);
// Collects pending work and ends the thread; nothing happens when none runs.
void block_helper_stop(BlockHelper* h);
