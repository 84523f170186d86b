// An in-memory block device for the quick probe's tests: any announced size
// (sparse), and the lies of counterfeit drives: a medium that wraps, one that
// drops data past a point (reading zeros or the old content), a cache that
// serves the newest writes, sectors that read back damaged or fail.
// Sectors are kept as descriptions (the original content of a cell, one of
// the probe's blocks, zeros, or raw bytes), so a 1 TiB device costs little.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <unordered_map>
#include <vector>

#include "engine/probe_io.h"

struct FakeSector {
    uint8_t kind = 0;   // FAKE_ORIGINAL, FAKE_PROBE, FAKE_RAW
    uint64_t value = 0; // the cell, the block's source, the raw index
};

struct FakeDevice {
    uint64_t announced = 0;
    uint64_t wrap = 0;         // non-zero: a write at a lands in cell a % wrap
    uint64_t drop_past = 0;    // non-zero: writes at or past it are lost ...
    bool drop_reads_zero = false; // ... and reads there give zeros (else the old content)
    uint64_t cache_bytes = 0;  // the newest writes are read back from a cache this size
    bool write_back = false;   // the cache reaches the medium only when it overflows
    std::set<uint64_t> bad_sectors;   // hold nothing: read back as fixed garbage
    std::set<uint64_t> error_sectors; // a read that covers one fails with 23
    std::map<uint64_t, uint64_t> misread; // a read of the key gives the sector at the value
    uint64_t salt = 0;         // the probe's, to keep its blocks as descriptions
    uint64_t seed = 0x5EED;    // of the original content
    bool frozen = false;       // a crash: writes are ignored from now on
    // Run at the start of each write (1-based count), before it is applied.
    std::function<void(uint64_t call, uint64_t offset, uint32_t length)> on_write;

    // state
    std::unordered_map<uint64_t, FakeSector> medium;     // by cell
    std::unordered_map<uint64_t, std::pair<FakeSector, uint64_t>> cache; // by offset: content, stamp
    std::deque<std::pair<uint64_t, uint64_t>> cache_order; // offset, stamp; oldest first
    std::vector<std::vector<uint8_t>> raw;
    std::vector<uint64_t> touched; // every offset a write reached, repeats included
    uint64_t writes = 0;
    uint64_t reads = 0;
    uint64_t stamp = 0;
};

ProbeIo fake_device_io(FakeDevice* device);
// The 512 bytes a read at offset gives now (cache included); the original
// content when nothing was written there.
void fake_device_sector(const FakeDevice& device, uint64_t offset, uint8_t out[512]);
// The 512 bytes a read at offset gave before anything was written.
void fake_device_initial(const FakeDevice& device, uint64_t offset, uint8_t out[512]);
// Offsets that any write reached whose content reads unlike before, at most
// limit of them listed; the count.
// Writes back whatever a write-back cache still holds, oldest first (a device
// that is closed or powered down in order).
void fake_device_drain(FakeDevice* device);
uint64_t fake_device_changed(const FakeDevice& device, std::vector<uint64_t>* listed,
                             size_t limit);
