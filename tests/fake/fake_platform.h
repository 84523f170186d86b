// The fake platform: in-memory files and volumes, scripted standard input,
// captured output, a clock that only moves when told to, and fault injection.
// Unit tests link it in place of the real platform; fake_reset() between tests.
#pragma once

#include <cstdint>
#include <atomic>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

struct FakeFile {
    std::vector<uint8_t> data;
    bool is_dir = false;
    size_t durable = 0;  // bytes that a crash would keep: the size at the last flush
};

struct FakeVolume {
    std::wstring root;            // with its trailing separator
    uint64_t free_bytes = 0;
    uint32_t logical = 512;
    uint32_t physical = 0;        // 0: the physical query fails
    std::wstring filesystem = L"ext4";  // empty: the name query fails
    uint32_t root_error = 0;      // non-zero: queries on this volume fail with it
    uint32_t free_error = 0;
    uint32_t sector_error = 0;
};

struct FakePlatform {
    // files and volumes
    std::map<std::wstring, FakeFile> files;
    std::vector<FakeVolume> volumes;
    std::wstring current_dir = L"/home/user/";

    // standard streams
    std::string stdin_bytes;
    size_t stdin_pos = 0;
    bool stdin_error = false;
    std::string out;              // everything written to standard output
    std::string err;              // everything written to standard error
    bool out_is_console = false;  // clear/home/cursor act only then
    int clear_calls = 0;
    int cursor_visible = 1;
    std::vector<int> keys;        // pending key codes, read front first
    plat_ctrl_handler handler = nullptr;
    bool ctrl_released = false;
    bool waits_ended = false;     // plat_end_waits: stdin reads give up
    bool console_closes_with_process = false;  // a window opened for this run alone

    // clock: seconds; a read returns now, then advances it by read_tick
    double now = 1000.0;
    double read_tick = 0.0;
    double write_cost = 0.0;      // seconds each write call takes
    double read_cost = 0.0;       // seconds each read call takes
    PlatLocalTime local = {2026, 12, 8, 21, 5, 9};
    bool local_time_fails = false;  // plat_local_time reports failure
    std::vector<uint32_t> sleeps;

    // counters of calls made
    uint64_t write_calls = 0;
    uint64_t read_calls = 0;
    uint64_t realloc_calls = 0;
    uint64_t alloc_calls = 0;
    uint64_t flush_calls = 0;
    uint64_t open_write_calls = 0;
    uint64_t open_read_calls = 0;
    int open_files = 0;
    int page_buffers = 0;
    std::vector<uint32_t> write_lengths;
    std::vector<size_t> realloc_sizes;  // byte size asked of each realloc call

    // faults: 0 means none; call numbers count from 1
    uint32_t open_write_error = 0;
    uint32_t open_read_error = 0;
    uint64_t open_write_call = 0;     // non-zero: only this open for writing fails
    uint64_t open_read_call = 0;      // non-zero: only this open for reading fails
    uint32_t alloc_pages_error = 0;   // fail plat_alloc_pages with this code
    uint64_t fail_write_call = 0;     // this write call fails ...
    uint32_t fail_write_error = 0;    // ... with this code ...
    uint32_t fail_write_moved = 0;    // ... after moving this many bytes
    uint64_t short_write_call = 0;    // this write call succeeds but moves ...
    uint32_t short_write_moved = 0;   // ... only this many bytes
    uint32_t flush_error = 0;
    uint64_t fail_read_call = 0;
    uint32_t fail_read_error = 0;
    uint64_t short_read_call = 0;
    uint32_t short_read_moved = 0;
    std::set<uint64_t> corrupt_offsets;  // bytes flipped when read back
    std::set<uint64_t> fail_realloc_calls;
    std::set<uint64_t> fail_alloc_calls;
    uint32_t delete_error = 0;
    // journal files (plat_write_at / plat_read_at)
    uint64_t write_at_calls = 0;
    uint64_t fail_write_at_call = 0;  // this positioned write fails with 29

    // hooks run at the start of each write / read call (1-based call number)
    std::function<void(uint64_t)> on_write;
    std::function<void(uint64_t)> on_read;

    // CPUs and threads: real threads; one CPU unless a test asks for more
    uint32_t cpus = 1;
    uint32_t thread_start_error = 0;  // every thread start fails with this code
    int threads_started = 0;
    int threads_running = 0;          // started and not yet joined
    int reads_use_cpu = 0;            // the thread's CPU clock runs with the fake clock
    std::thread::id test_thread;      // the thread of the last reset
    uint64_t reads_elsewhere = 0;     // read calls made on another thread

    // the disk every directory lies on (all zero: nothing known), and the disk list
    PlatDeviceIdentity identity = {};
    std::vector<PlatDiskEntry> disks;
    int identity_calls = 0;

    uint32_t last_error = 0;
};

extern FakePlatform g_fake;

// Fresh state for one test; also clears the stop flag and console statics.
void fake_reset();
// A fresh fake with a 4 GiB card at /mnt/card/, the home directory and quick
// transfers: the machine the whole-run tests (driver, command line) start from.
void fake_reset_with_card();
// Sets what standard input will deliver.
void fake_stdin(const std::string& bytes);
// The content of a fake file (empty when absent).
const std::vector<uint8_t>& fake_file(const std::wstring& path);
