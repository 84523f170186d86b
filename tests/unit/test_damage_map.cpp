// The damage map: one row per sector kind with its boundaries, region merging
// and the cap, and the verdicts of the drives that lie about their capacity.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <algorithm>
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

// The map of the first verified bytes of a test of written bytes, built as
// the verification builds it: only the chunks that differ are handed in.
DamageVerdict verdict_of(const Drive& drive, uint64_t verified, uint64_t written) {
    DamageMap map = {};
    const uint32_t chunk = 1 << 20;
    for (uint64_t at = 0; at < verified; at += chunk) {
        uint32_t n = (uint32_t)std::min<uint64_t>(chunk, verified - at);
        Bytes b = drive(at, n);
        if (pattern_first_mismatch(b.data(), at, n) >= 0) damage_add_chunk(&map, b.data(), at, n);
    }
    DamageVerdict v = damage_verdict(&map, verified, written);
    damage_release(&map);
    return v;
}

TEST(DamageMap, VerdictsOfWrapsOfDroppedDataAndOfScatteredDamage)
{
    const uint64_t kib = 1024, mib = 1024 * kib;
    const uint64_t cap = 64 * 1024;
    const uint64_t f = 64 * mib; // the size of the larger tests
    // Wrap at w: each position holds what was last written over its place modulo w.
    auto wrapping = [](uint64_t w, uint64_t size) {
        return [=](uint64_t at, uint32_t n) {
            Bytes b(n);
            for (uint32_t s = 0; s < n; s += 512) {
                uint64_t last = (at + s) % w;
                while (last + w < size) last += w;
                pattern_fill(&b[s], last, 512);
            }
            return b;
        };
    };
    // Past x every sector but one in keep_one_in (0: none) reads back fill,
    // or with stale set the data of its place modulo x.
    auto dropped = [](uint64_t x, unsigned char fill, int stale, uint32_t keep_one_in) {
        return [=](uint64_t at, uint32_t n) {
            Bytes b = pattern_at(at, n);
            for (uint32_t s = 0; s < n; s += 512) {
                uint64_t o = at + s;
                if (o < x || (keep_one_in && (o / 512) % keep_one_in == keep_one_in - 1)) continue;
                if (stale) pattern_fill(&b[s], o % x, 512);
                else memset(&b[s], fill, 512);
            }
            return b;
        };
    };
    // Each sector holds the data written for shift bytes further on (zeros
    // where that lies outside the file).
    auto shifted = [=](int64_t shift) {
        return [=](uint64_t at, uint32_t n) {
            Bytes b(n, 0);
            for (uint32_t s = 0; s < n; s += 512) {
                int64_t source = (int64_t)(at + s) + shift;
                if (source >= 0 && source < (int64_t)f) pattern_fill(&b[s], (uint64_t)source, 512);
            }
            return b;
        };
    };
    auto scattered = [&](uint64_t at, uint32_t n) {
        Bytes b = pattern_at(at, n);
        if (at == 0) {
            memset(&b[32768 + 512], 0, 512);
            Bytes moved = pattern_at(98304 + 4096, 16384);
            memcpy(&b[98304], moved.data(), 16384);
            memset(&b[131072], 0xFF, 1024);
        }
        return b;
    };
    auto moved_mib = [&](uint64_t at, uint32_t n) {
        return at == mib ? pattern_at(20 * mib, n) : pattern_at(at, n);
    };
    auto flipped_last = [&](uint64_t at, uint32_t n) {
        Bytes b = pattern_at(at, n);
        if (at + n == f) b[n - 100] ^= 0x04;
        return b;
    };
    auto wrap_and_stray = [&](uint64_t at, uint32_t n) {
        Bytes b = wrapping(24 * mib, f)(at, n);
        if (at == 50 * mib) {
            Bytes stray = pattern_at(10 * mib, 4096);
            memcpy(&b[8192], stray.data(), 4096);
        }
        return b;
    };
    auto foreign = [](uint64_t at, uint32_t n) {
        Bytes b(n);
        uint64_t x = at * 0x9E3779B97F4A7C15ULL + 1;
        for (uint32_t k = 0; k < n; k++) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            b[k] = (unsigned char)(x >> 24);
        }
        return b;
    };
    auto zeroed_before_error = [&](uint64_t at, uint32_t n) {
        Bytes b = pattern_at(at, n);
        if (at + n == 24 * mib) memset(&b[n - 4096], 0, 4096);
        if (at >= 24 * mib) b.assign(n, 0);
        return b;
    };
    // A wrap at 16 MiB on 35 MiB whose first 4200 sectors hold the second
    // and the third lap by turns, which fills the region list; what the list
    // leaves out might lie in the last lap, so 1 MiB zeroed there is too much.
    const uint64_t w16 = 16 * mib, f35 = 35 * mib;
    auto wrap_cut_list = [&](uint64_t at, uint32_t n) {
        Bytes b(n);
        for (uint32_t s = 0; s < n; s += 512) {
            uint64_t o = at + s;
            uint64_t source = o < f35 - w16 ? o + w16 : o;
            if (o / 512 < 4200 && (o / 512) % 2) source = o + 2 * w16;
            pattern_fill(&b[s], source, 512);
            if (o >= 30 * mib && o < 31 * mib) memset(&b[s], 0, 512);
        }
        return b;
    };
    const struct {
        const char* name;
        Drive drive;
        uint64_t size;
        uint64_t verified; // 0: all of size
        uint32_t finding;
        uint64_t capacity; // with a finding of wraps or dropped
        int64_t displacement;
        uint64_t flipped_bits;
        uint64_t intact;
    } rows[] = {
        {"wrap, one lap", wrapping(cap, cap + cap / 2), cap + cap / 2, 0, DAMAGE_FINDING_WRAPS,
         cap, 0, 0, cap},
        {"wrap, three laps", wrapping(cap, 3 * cap + cap / 2), 3 * cap + cap / 2, 0,
         DAMAGE_FINDING_WRAPS, cap, 0, 0, cap},
        {"wrap at 24 MiB and a stray 4 KiB block", wrap_and_stray, f, 0, DAMAGE_FINDING_WRAPS,
         24 * mib, 0, 0, 24 * mib - 4096},
        {"wrap with its region list cut and 1 MiB zeroed in its last lap", wrap_cut_list, f35, 0,
         DAMAGE_FINDING_SCATTERED, 0, 0, 0, w16 - mib},
        {"zeros past the capacity", dropped(16 * mib, 0x00, 0, 0), f, 0, DAMAGE_FINDING_DROPPED,
         16 * mib, 0, 0, 16 * mib},
        {"0xFF past the capacity", dropped(16 * mib, 0xFF, 0, 0), f, 0, DAMAGE_FINDING_DROPPED,
         16 * mib, 0, 0, 16 * mib},
        {"stale data past the capacity", dropped(16 * mib, 0, 1, 0), f, 0,
         DAMAGE_FINDING_DROPPED, 16 * mib, 0, 0, 16 * mib},
        {"one sector in 32 kept past the capacity", dropped(16 * mib, 0x00, 0, 32), f, 0,
         DAMAGE_FINDING_DROPPED, 16 * mib, 0, 0, 16 * mib + 48 * mib / 32},
        {"nothing kept", dropped(0, 0x00, 0, 0), 16 * mib, 0, DAMAGE_FINDING_DROPPED, 0, 0, 0, 0},
        {"zeros past 1 MiB, 7 MiB of them", dropped(mib, 0x00, 0, 0), 8 * mib, 0,
         DAMAGE_FINDING_SCATTERED, 0, 0, 0, mib},
        {"scattered", scattered, 4 * cap, 0, DAMAGE_FINDING_SCATTERED, 0, 0, 0,
         4 * cap - 512 - 16384 - 1024},
        {"1 MiB at 1 MiB holds the data of 20 MiB", moved_mib, f, 0, DAMAGE_FINDING_SCATTERED, 0,
         0, 0, f - mib},
        {"read 512 bytes early", shifted(512), f, 0, DAMAGE_FINDING_DISPLACED, 0, 512, 0, 0},
        {"read 512 bytes late", shifted(-512), f, 0, DAMAGE_FINDING_DISPLACED, 0, -512, 0, 0},
        {"read 20 MiB early", shifted(20 * (int64_t)mib), f, 0, DAMAGE_FINDING_DISPLACED, 0,
         20 * (int64_t)mib, 0, 0},
        {"one bit flipped in the last sector", flipped_last, f, 0, DAMAGE_FINDING_FLIPPED, 0, 0,
         1, f - 512},
        {"random bytes", foreign, f, 0, DAMAGE_FINDING_FOREIGN, 0, 0, 0, 0},
        {"4 KiB zeroed before a read error at 24 MiB", zeroed_before_error, f, 24 * mib,
         DAMAGE_FINDING_SCATTERED, 0, 0, 0, 24 * mib - 4096},
        {"zeros from 24 MiB to a read error at 48 MiB", zeroed_before_error, f, 48 * mib,
         DAMAGE_FINDING_SCATTERED, 0, 0, 0, 24 * mib - 4096},
    };
    for (const auto& row : rows) {
        uint64_t verified = row.verified ? row.verified : row.size;
        DamageVerdict v = verdict_of(row.drive, verified, row.size);
        int claims = row.finding == DAMAGE_FINDING_WRAPS || row.finding == DAMAGE_FINDING_DROPPED;
        EXPECT_STREQ(damage_finding_name(v.finding), damage_finding_name(row.finding)) << row.name;
        EXPECT_EQ(v.wraps, row.finding == DAMAGE_FINDING_WRAPS) << row.name;
        EXPECT_EQ(v.wrap_bytes, row.finding == DAMAGE_FINDING_WRAPS ? row.capacity : 0) << row.name;
        EXPECT_EQ(v.has_capacity, claims) << row.name;
        EXPECT_EQ(v.likely_capacity_bytes, row.capacity) << row.name;
        EXPECT_EQ(v.displacement_bytes, row.displacement) << row.name;
        EXPECT_EQ(v.flipped_bits, row.flipped_bits) << row.name;
        EXPECT_EQ(v.intact_bytes, row.intact) << row.name;
    }
}

} // namespace
