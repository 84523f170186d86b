// Sector classification, the region list with its cap, and the verdict.
#include "engine/damage_map.h"

#include <stdlib.h>
#include <string.h>

#include "engine/pattern.h"

namespace {

uint64_t load_le(const unsigned char* in, uint32_t count) {
    uint64_t v = 0;
    for (uint32_t k = 0; k < count; k++) v |= (uint64_t)in[k] << (8 * k);
    return v;
}

int all_bytes(const unsigned char* p, uint32_t length, unsigned char value) {
    for (uint32_t k = 0; k < length; k++) {
        if (p[k] != value) return 0;
    }
    return 1;
}

int fewer_than_8_bits_differ(const unsigned char* p, const unsigned char* expected,
                             uint32_t length) {
    int bits = 0;
    for (uint32_t k = 0; k < length && bits < 8; k += 8) {
        uint32_t n = length - k < 8 ? length - k : 8;
        bits += __builtin_popcountll(load_le(p + k, n) ^ load_le(expected + k, n));
    }
    return bits < 8;
}

uint64_t load_word(const unsigned char* in) {
    return (uint64_t)in[0] | (uint64_t)in[1] << 8 | (uint64_t)in[2] << 16 | (uint64_t)in[3] << 24 |
           (uint64_t)in[4] << 32 | (uint64_t)in[5] << 40 | (uint64_t)in[6] << 48 |
           (uint64_t)in[7] << 56;
}

// The displacement (in words) that at least half of the whole words share,
// 0 when none does.
int64_t common_displacement(const unsigned char* p, uint64_t first, uint32_t words) {
    if (words == 0) return 0;
    int64_t d[DAMAGE_SECTOR_BYTES / 8];
    for (uint32_t k = 0; k < words; k++) {
        d[k] = (int64_t)(pattern_index(load_word(p + 8 * k)) - (first + k));
    }
    // A sector moved whole shares its first word's displacement: one pass.
    uint32_t same = 0;
    for (uint32_t k = 0; k < words; k++) same += d[k] == d[0];
    if (d[0] != 0 && 2 * same >= words) return d[0];
    // Otherwise a value held by exactly half of 2m words is either a strict
    // majority of the first 2m-1 or the last word: one vote over the first
    // words and the last word give the only two candidates.
    int64_t vote = d[0];
    uint32_t lead = 0;
    for (uint32_t k = 0; k + 1 < words; k++) {
        // Branch-free: on garbage every comparison is a coin toss.
        vote = lead == 0 ? d[k] : vote;
        lead += d[k] == vote ? 1u : (uint32_t)-1;
    }
    const int64_t candidates[2] = {vote, d[words - 1]};
    for (int64_t c : candidates) {
        if (c == 0) continue; // words of their own position are not misplaced
        uint32_t count = 0;
        for (uint32_t k = 0; k < words; k++) count += d[k] == c;
        if (2 * count >= words) return c;
    }
    return 0;
}

uint64_t gcd(uint64_t a, uint64_t b) {
    while (b != 0) {
        uint64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

void note_first(DamageMap* map, const unsigned char* p, const unsigned char* expected,
                uint64_t offset, uint32_t length, SectorClass c) {
    map->damaged = 1;
    map->first_damage_offset = offset;
    map->first_kind = c.kind;
    for (uint32_t k = 0; k < length; k += 8) {
        uint32_t n = length - k < 8 ? length - k : 8;
        uint64_t found = load_le(p + k, n);
        uint64_t want = load_le(expected + k, n);
        if (found != want) {
            map->first_word_offset = offset + k;
            map->first_expected = want;
            map->first_found = found;
            map->first_source = offset + k + (uint64_t)c.displacement;
            return;
        }
    }
}

void add_region(DamageMap* map, uint64_t start, uint64_t end, uint32_t kind, uint64_t source) {
    if (map->region_count > 0) {
        DamageRegion* last = &map->regions[map->region_count - 1];
        if (last->end == start && last->kind == kind &&
            (kind != SECTOR_MISPLACED || last->source_start + (start - last->start) == source)) {
            last->end = end;
            return;
        }
    }
    if (map->region_count == DAMAGE_REGION_CAP) {
        map->regions_truncated = 1;
        return;
    }
    if (map->regions == nullptr) {
        map->regions = (DamageRegion*)malloc(DAMAGE_REGION_CAP * sizeof(DamageRegion));
        if (map->regions == nullptr) {
            // Without room for the list the totals and the verdict still hold.
            map->regions_truncated = 1;
            return;
        }
    }
    map->regions[map->region_count++] = {start, end, kind == SECTOR_MISPLACED ? source : 0, kind};
}

SectorClass classify_against(const unsigned char* p, const unsigned char* expected,
                             uint64_t offset, uint32_t length) {
    if (memcmp(p, expected, length) == 0) return {SECTOR_INTACT, 0};
    if (all_bytes(p, length, 0x00)) return {SECTOR_ZERO, 0};
    if (all_bytes(p, length, 0xFF)) return {SECTOR_ERASED, 0};
    if (fewer_than_8_bits_differ(p, expected, length)) return {SECTOR_FLIPPED, 0};
    int64_t d = common_displacement(p, offset / 8, length / 8);
    if (d != 0) return {SECTOR_MISPLACED, (int64_t)((uint64_t)d * 8)};
    return {SECTOR_CORRUPTED, 0};
}

} // namespace

const char* sector_kind_name(uint32_t kind) {
    static const char* const names[SECTOR_KIND_COUNT] = {"intact",  "zero",      "erased",
                                                         "flipped", "misplaced", "corrupted"};
    return kind < SECTOR_KIND_COUNT ? names[kind] : "unknown";
}

SectorClass classify_sector(const void* data, uint64_t offset, uint32_t length) {
    unsigned char expected[DAMAGE_SECTOR_BYTES];
    if (length > DAMAGE_SECTOR_BYTES) length = DAMAGE_SECTOR_BYTES;
    pattern_fill(expected, offset, length);
    return classify_against((const unsigned char*)data, expected, offset, length);
}

void damage_add_chunk(DamageMap* map, const void* data, uint64_t offset, uint32_t length) {
    const unsigned char* p = (const unsigned char*)data;
    unsigned char expected[DAMAGE_SECTOR_BYTES];
    uint32_t done = 0;
    while (done < length) {
        uint64_t at = offset + done;
        // Sectors of the test file: a chunk that starts inside one begins with its rest.
        uint32_t n = DAMAGE_SECTOR_BYTES - (uint32_t)(at % DAMAGE_SECTOR_BYTES);
        if (n > length - done) n = length - done;
        pattern_fill(expected, at, n);
        SectorClass c = classify_against(p + done, expected, at, n);
        map->kind_bytes[c.kind] += n;
        if (c.kind != SECTOR_INTACT) {
            if (!map->damaged) note_first(map, p + done, expected, at, n, c);
            map->damaged_bytes += n;
            uint64_t source = at + (uint64_t)c.displacement;
            if (c.kind == SECTOR_MISPLACED) {
                if (c.displacement < 0) map->backward_seen = 1;
                else {
                    if (map->displacement_gcd == 0) map->first_misplaced_offset = at;
                    map->displacement_gcd = gcd(map->displacement_gcd, (uint64_t)c.displacement);
                }
            }
            add_region(map, at, at + n, c.kind, source);
        }
        done += n;
    }
}

DamageVerdict damage_verdict(const DamageMap* map, uint64_t bytes_verified) {
    DamageVerdict v = {};
    v.intact_bytes = bytes_verified - map->damaged_bytes;
    // Data written past the real capacity lands over the start, lap after lap:
    // every source lies a whole number of capacities after where it was read,
    // and the first misplaced sector lies within the first lap.
    uint64_t w = map->displacement_gcd;
    if (!map->backward_seen && w != 0 && w % DAMAGE_SECTOR_BYTES == 0 &&
        map->first_misplaced_offset < w) {
        v.wraps = 1;
        v.wrap_bytes = w;
        v.has_capacity = 1;
        v.likely_capacity_bytes = w;
        return v;
    }
    // Nothing kept past the capacity: from there to the end almost all is damaged.
    if (map->damaged && bytes_verified > map->first_damage_offset) {
        uint64_t span = bytes_verified - map->first_damage_offset;
        if (map->damaged_bytes >= span - span / 10) {
            v.has_capacity = 1;
            v.likely_capacity_bytes = map->first_damage_offset;
        }
    }
    return v;
}

void damage_release(DamageMap* map) {
    free(map->regions);
    memset(map, 0, sizeof *map);
}
