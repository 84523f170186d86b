// The damage map: one row per sector kind with its boundaries, region merging
// and the cap, and the verdicts of the drives that lie about their capacity.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <functional>
#include <vector>

#include "engine/damage_map.h"
#include "engine/pattern.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes pattern_at(uint64_t offset, uint32_t length) {
    Bytes b(length);
    pattern_fill(b.data(), offset, length);
    return b;
}

void put_word(Bytes& b, uint32_t word, uint64_t value) {
    for (int k = 0; k < 8; k++) b[8 * word + k] = (unsigned char)(value >> (8 * k));
}

TEST(DamageMap, EachSectorKindAndItsBoundaries)
{
    const uint64_t at = 1 << 20; // the sector under test
    const int64_t mib = 1 << 20;
    const struct {
        const char* name;
        std::function<void(Bytes&)> damage;
        SectorKind kind;
        int64_t displacement;
    } rows[] = {
        {"untouched", [](Bytes&) {}, SECTOR_INTACT, 0},
        {"all zero", [](Bytes& b) { b.assign(512, 0x00); }, SECTOR_ZERO, 0},
        {"all 0xFF", [](Bytes& b) { b.assign(512, 0xFF); }, SECTOR_ERASED, 0},
        {"7 bits flipped", [](Bytes& b) { for (int k = 0; k < 7; k++) b[k * 70] ^= 0x10; },
         SECTOR_FLIPPED, 0},
        {"8 bits flipped", [](Bytes& b) { for (int k = 0; k < 8; k++) b[k * 60] ^= 0x01; },
         SECTOR_CORRUPTED, 0},
        {"written for 1 MiB later", [&](Bytes& b) { b = pattern_at(at + mib, 512); },
         SECTOR_MISPLACED, mib},
        {"written for 512 bytes earlier", [&](Bytes& b) { b = pattern_at(at - 512, 512); },
         SECTOR_MISPLACED, -512},
        {"exactly half moved, half zero", [&](Bytes& b) {
             Bytes moved = pattern_at(at + 4096, 512);
             b.assign(512, 0);
             for (int k = 0; k < 64; k += 2) memcpy(&b[8 * k], &moved[8 * k], 8);
         }, SECTOR_MISPLACED, 4096},
        {"31 words moved, the rest zero", [&](Bytes& b) {
             Bytes moved = pattern_at(at + 4096, 512);
             b.assign(512, 0);
             memcpy(&b[8], &moved[8], 31 * 8);
         }, SECTOR_CORRUPTED, 0},
        {"half zero, half intact", [](Bytes& b) { memset(&b[256], 0, 256); }, SECTOR_CORRUPTED, 0},
        {"garbage", [](Bytes& b) { for (int k = 0; k < 64; k++) put_word(b, k, k * 0x0101010101ULL); },
         SECTOR_CORRUPTED, 0},
    };
    for (const auto& row : rows) {
        Bytes b = pattern_at(at, 512);
        row.damage(b);
        SectorClass c = classify_sector(b.data(), at, 512);
        EXPECT_EQ(c.kind, row.kind) << row.name;
        EXPECT_EQ(c.displacement, row.displacement) << row.name;
    }
}

TEST(DamageMap, ConsecutiveSectorsOfOneKindMergeAndTheListIsCapped)
{
    // Sectors: intact, zero, zero, moved +8 KiB, moved +8 KiB, moved +16 KiB, erased,
    // then a trailing 100-byte partial sector of zeros.
    const uint64_t base = 65536;
    Bytes chunk = pattern_at(base, 7 * 512 + 100);
    memset(&chunk[512], 0, 1024);
    Bytes moved = pattern_at(base + 1536 + 8192, 1024);
    memcpy(&chunk[1536], moved.data(), 1024);
    moved = pattern_at(base + 2560 + 16384, 512);
    memcpy(&chunk[2560], moved.data(), 512);
    memset(&chunk[3072], 0xFF, 512);
    memset(&chunk[3584], 0, 100);
    DamageMap map = {};
    damage_add_chunk(&map, chunk.data(), base, (uint32_t)chunk.size());
    const DamageRegion expected[] = {
        {base + 512, base + 1536, 0, SECTOR_ZERO},
        {base + 1536, base + 2560, base + 1536 + 8192, SECTOR_MISPLACED},
        {base + 2560, base + 3072, base + 2560 + 16384, SECTOR_MISPLACED},
        {base + 3072, base + 3584, 0, SECTOR_ERASED},
        {base + 3584, base + 3684, 0, SECTOR_ZERO},
    };
    ASSERT_EQ(map.region_count, 5u);
    for (uint32_t k = 0; k < 5; k++) {
        EXPECT_EQ(map.regions[k].start, expected[k].start) << k;
        EXPECT_EQ(map.regions[k].end, expected[k].end) << k;
        EXPECT_EQ(map.regions[k].kind, expected[k].kind) << k;
        EXPECT_EQ(map.regions[k].source_start, expected[k].source_start) << k;
    }
    EXPECT_EQ(map.kind_bytes[SECTOR_INTACT], 512u);
    EXPECT_EQ(map.kind_bytes[SECTOR_ZERO], 1124u);
    EXPECT_EQ(map.kind_bytes[SECTOR_MISPLACED], 1536u);
    EXPECT_EQ(map.first_damage_offset, base + 512);
    EXPECT_EQ(map.first_word_offset, base + 512);
    EXPECT_EQ(map.first_found, 0u);
    EXPECT_EQ(map.first_expected, pattern_word((base + 512) / 8));
    EXPECT_EQ(map.regions_truncated, 0);
    damage_release(&map);

    // Zero and erased sectors by turns: one region each until the cap, the totals exact.
    const uint32_t sectors = DAMAGE_REGION_CAP + 10;
    Bytes alternating(sectors * 512);
    for (uint32_t s = 0; s < sectors; s++) memset(&alternating[s * 512], s % 2 ? 0xFF : 0, 512);
    damage_add_chunk(&map, alternating.data(), 0, (uint32_t)alternating.size());
    EXPECT_EQ(map.region_count, DAMAGE_REGION_CAP);
    EXPECT_EQ(map.regions_truncated, 1);
    EXPECT_EQ(map.kind_bytes[SECTOR_ZERO] + map.kind_bytes[SECTOR_ERASED], sectors * 512ull);
    damage_release(&map);
}

// A drive of capacity bytes holding a file of size bytes, as read back.
typedef std::function<Bytes(uint64_t offset, uint32_t length)> Drive;

DamageVerdict verdict_of(const Drive& drive, uint64_t size) {
    DamageMap map = {};
    const uint32_t chunk = 16384;
    for (uint64_t at = 0; at < size; at += chunk) {
        Bytes b = drive(at, chunk);
        damage_add_chunk(&map, b.data(), at, chunk);
    }
    DamageVerdict v = damage_verdict(&map, size);
    damage_release(&map);
    return v;
}

TEST(DamageMap, VerdictsOfWrapsOfDroppedDataAndOfScatteredDamage)
{
    const uint64_t cap = 64 * 1024;
    // Wrap: each position holds what was last written over its place modulo cap.
    auto wrapping = [&](uint64_t size) {
        return [=](uint64_t at, uint32_t n) {
            Bytes b(n);
            for (uint32_t s = 0; s < n; s += 512) {
                uint64_t last = (at + s) % cap;
                while (last + cap < size) last += cap;
                pattern_fill(&b[s], last, 512);
            }
            return b;
        };
    };
    auto dropped = [&](unsigned char fill) {
        return [=](uint64_t at, uint32_t n) {
            Bytes b = pattern_at(at, n);
            if (at >= cap) b.assign(n, fill);
            return b;
        };
    };
    auto scattered = [&](uint64_t at, uint32_t n) {
        Bytes b = pattern_at(at, n);
        if (at == 32768) memset(&b[512], 0, 512);
        if (at == 98304) b = pattern_at(at + 4096, n);
        if (at == 131072) memset(&b[0], 0xFF, 1024);
        return b;
    };
    const struct {
        const char* name;
        Drive drive;
        uint64_t size;
        uint64_t wrap;     // 0: none
        int has_capacity;
        uint64_t capacity;
        uint64_t intact;
    } rows[] = {
        {"wrap, one lap", wrapping(cap + cap / 2), cap + cap / 2, cap, 1, cap, cap},
        {"wrap, three laps", wrapping(3 * cap + cap / 2), 3 * cap + cap / 2, cap, 1, cap, cap},
        {"zeros past the capacity", dropped(0x00), 4 * cap, 0, 1, cap, cap},
        {"0xFF past the capacity", dropped(0xFF), 4 * cap, 0, 1, cap, cap},
        {"scattered", scattered, 4 * cap, 0, 0, 0, 4 * cap - 512 - 16384 - 1024},
    };
    for (const auto& row : rows) {
        DamageVerdict v = verdict_of(row.drive, row.size);
        EXPECT_EQ(v.wraps, row.wrap != 0) << row.name;
        EXPECT_EQ(v.wrap_bytes, row.wrap) << row.name;
        EXPECT_EQ(v.has_capacity, row.has_capacity) << row.name;
        EXPECT_EQ(v.likely_capacity_bytes, row.capacity) << row.name;
        EXPECT_EQ(v.intact_bytes, row.intact) << row.name;
    }
}

} // namespace
