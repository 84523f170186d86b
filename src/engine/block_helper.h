// One helper thread beside the main thread's I/O call: it fills the next block
// or compares the last one, so that the drive never waits for the CPU.
#pragma once

#include <stdint.h>

#include <atomic>

#include "platform/platform.h"

enum { BLOCK_PIECE_BYTES = 1 << 20 };

// Does piece k of the work at arg: bytes k * BLOCK_PIECE_BYTES onward, at most
// BLOCK_PIECE_BYTES of them.
typedef void (*block_work)(void* arg, uint32_t k);

struct BlockHelper {
    int running = 0;                 // the thread and both semaphores exist
    std::atomic<int> stopping{0};    // a stale post may wake the helper meanwhile
    std::atomic<int> state{0};       // the handed work: idle, handed over, joined by whom
    std::atomic<uint32_t> next{0};   // the next piece to claim
    std::atomic<int> helper_done{0}; // the helper ran its last piece; its post follows
    uint32_t pieces = 0;
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

// Pieces of a block of length bytes.
inline uint32_t block_pieces(uint32_t length) {
    return (uint32_t)(((uint64_t)length + BLOCK_PIECE_BYTES - 1) / BLOCK_PIECE_BYTES);
}

// Starts the helper when this process may use more than one CPU; 0 when it does
// not run (one CPU, or it could not start): the caller then does the work itself.
int block_helper_start(BlockHelper* h);
// Runs the pieces of work(arg, k) on the helper; without one, on the caller,
// in order, before returning.
void block_helper_hand(BlockHelper* h, block_work work, void* arg, uint32_t pieces);
// Returns once the work handed over last is done (at once when none is pending).
// The caller does the pieces the helper has not begun itself.
void block_helper_collect(BlockHelper* h);
// Collects pending work and ends the thread; nothing happens when none runs.
void block_helper_stop(BlockHelper* h);
