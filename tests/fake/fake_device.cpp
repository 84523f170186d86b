// The fake block device.
#include "fake/fake_device.h"

#include <algorithm>
#include <cstring>

#include "engine/probe_block.h"

namespace {

enum { FAKE_ORIGINAL = 0, FAKE_PROBE = 1, FAKE_RAW = 2 };
const uint32_t SECTOR = 512;

uint64_t mix(uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// What a cell held before: its own bytes, different in every cell.
void original_content(uint64_t seed, uint64_t cell, uint8_t* out) {
    uint64_t base = mix(seed ^ mix(cell));
    for (uint32_t k = 0; k < SECTOR; k += 8) {
        uint64_t v = base ^ (k * 0xD1B54A32D192ED03ull);
        memcpy(out + k, &v, 8);
    }
}

uint64_t cell_of(const FakeDevice& d, uint64_t offset) {
    return d.wrap ? offset % d.wrap : offset;
}

bool lost(const FakeDevice& d, uint64_t offset) { return d.drop_past && offset >= d.drop_past; }

void render(const FakeDevice& d, const FakeSector& s, uint8_t* out) {
    if (s.kind == FAKE_ORIGINAL) original_content(d.seed, s.value, out);
    else if (s.kind == FAKE_PROBE) probe_fill(out, d.salt, s.value, SECTOR);
    else memcpy(out, d.raw[s.value].data(), SECTOR);
}

void read_sector(const FakeDevice& d, uint64_t offset, uint8_t* out, bool initial) {
    auto mis = d.misread.find(offset);
    if (mis != d.misread.end()) offset = mis->second;
    if (d.bad_sectors.count(offset)) {
        for (uint32_t k = 0; k < SECTOR; k++) out[k] = (uint8_t)(k * 7 + 3);
        return;
    }
    // A cache answers for what it holds, even where the medium loses it.
    if (!initial) {
        auto c = d.cache.find(offset);
        if (c != d.cache.end()) return render(d, c->second.first, out);
    }
    if (lost(d, offset)) {
        if (d.drop_reads_zero) memset(out, 0, SECTOR);
        else original_content(d.seed, cell_of(d, offset), out);
        return;
    }
    if (!initial) {
        auto m = d.medium.find(cell_of(d, offset));
        if (m != d.medium.end()) return render(d, m->second, out);
    }
    original_content(d.seed, cell_of(d, offset), out);
}

FakeSector describe(FakeDevice& d, uint64_t offset, const uint8_t* data) {
    uint64_t source;
    if (probe_decode(data, d.salt, &source)) {
        uint8_t block[SECTOR];
        probe_fill(block, d.salt, source, SECTOR);
        if (memcmp(block, data, SECTOR) == 0) return {FAKE_PROBE, source};
    }
    uint8_t orig[SECTOR];
    uint64_t cell = cell_of(d, offset);
    original_content(d.seed, cell, orig);
    if (memcmp(orig, data, SECTOR) == 0) return {FAKE_ORIGINAL, cell};
    d.raw.emplace_back(data, data + SECTOR);
    return {FAKE_RAW, d.raw.size() - 1};
}

int read_at(void* context, uint64_t offset, void* buffer, uint32_t length, uint32_t* error) {
    FakeDevice& d = *(FakeDevice*)context;
    d.reads++;
    if (offset % SECTOR || length % SECTOR || offset + length > d.announced) {
        *error = 87;
        return 0;
    }
    auto e = d.error_sectors.lower_bound(offset);
    if (e != d.error_sectors.end() && *e < offset + length) {
        *error = 23;
        return 0;
    }
    for (uint32_t k = 0; k < length; k += SECTOR)
        read_sector(d, offset + k, (uint8_t*)buffer + k, false);
    return 1;
}

int write_at(void* context, uint64_t offset, const void* buffer, uint32_t length,
             uint32_t* error) {
    FakeDevice& d = *(FakeDevice*)context;
    d.writes++;
    if (offset % SECTOR || length % SECTOR || offset + length > d.announced) {
        *error = 87;
        return 0;
    }
    if (d.on_write) d.on_write(d.writes, offset, length);
    if (d.frozen) return 1;
    const uint32_t cache_sectors = (uint32_t)(d.cache_bytes / SECTOR);
    for (uint32_t k = 0; k < length; k += SECTOR) {
        uint64_t at = offset + k;
        d.touched.push_back(at);
        if (d.bad_sectors.count(at)) continue;
        FakeSector s = describe(d, at, (const uint8_t*)buffer + k);
        if ((!d.write_back || !cache_sectors) && !lost(d, at)) d.medium[cell_of(d, at)] = s;
        if (cache_sectors) {
            uint64_t stamp = ++d.stamp;
            d.cache[at] = {s, stamp};
            d.cache_order.push_back({at, stamp});
            while (d.cache.size() > cache_sectors) {
                auto oldest = d.cache_order.front();
                d.cache_order.pop_front();
                auto c = d.cache.find(oldest.first);
                if (c == d.cache.end() || c->second.second != oldest.second) continue;
                if (d.write_back && !lost(d, oldest.first))
                    d.medium[cell_of(d, oldest.first)] = c->second.first;
                d.cache.erase(c);
            }
        }
    }
    return 1;
}

} // namespace

ProbeIo fake_device_io(FakeDevice* device) { return {device, read_at, write_at}; }

void fake_device_sector(const FakeDevice& device, uint64_t offset, uint8_t out[512]) {
    read_sector(device, offset, out, false);
}

void fake_device_initial(const FakeDevice& device, uint64_t offset, uint8_t out[512]) {
    read_sector(device, offset, out, true);
}

void fake_device_drain(FakeDevice* device) {
    FakeDevice& d = *device;
    for (const auto& entry : d.cache_order) {
        auto c = d.cache.find(entry.first);
        if (c != d.cache.end() && c->second.second == entry.second) {
            if (d.write_back && !lost(d, entry.first)) d.medium[cell_of(d, entry.first)] = c->second.first;
            d.cache.erase(c);
        }
    }
    d.cache_order.clear();
}

uint64_t fake_device_changed(const FakeDevice& device, std::vector<uint64_t>* listed,
                             size_t limit) {
    uint64_t changed = 0;
    std::vector<uint64_t> offsets = device.touched;
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
    for (uint64_t at : offsets) {
        uint8_t now[SECTOR], before[SECTOR];
        fake_device_sector(device, at, now);
        fake_device_initial(device, at, before);
        if (memcmp(now, before, SECTOR) != 0) {
            if (listed && listed->size() < limit) listed->push_back(at);
            changed++;
        }
    }
    return changed;
}
