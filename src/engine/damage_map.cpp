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

int flipped_bit_count(const unsigned char* p, const unsigned char* expected, uint32_t length) {
    int bits = 0;
    for (uint32_t k = 0; k < length; k += 8) {
        uint32_t n = length - k < 8 ? length - k : 8;
        bits += __builtin_popcountll(load_le(p + k, n) ^ load_le(expected + k, n));
    }
    return bits;
}

void count_displacement(DamageMap* map, int64_t displacement, uint64_t bytes) {
    for (uint32_t i = map->displacement_count; i-- > 0;) {
        if (map->displacements[i].displacement == displacement) {
            map->displacements[i].bytes += bytes;
            return;
        }
    }
    if (map->displacement_count == DAMAGE_DISPLACEMENT_SLOTS) {
        map->other_displacement_bytes += bytes;
        return;
    }
    map->displacements[map->displacement_count++] = {displacement, bytes};
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

// The few scattered sectors a claim about a span may pass over: one in 256.
uint64_t few(uint64_t span) { return span / 256; }

// What the capped region list leaves unsaid: the damage past its last region.
struct DamageFacts {
    uint64_t listed_kind_bytes[SECTOR_KIND_COUNT];
    uint64_t unlisted_bytes;
};

DamageFacts facts_of(const DamageMap* map) {
    DamageFacts facts = {};
    uint64_t listed = 0;
    for (uint32_t i = 0; i < map->region_count; i++) {
        const DamageRegion* g = &map->regions[i];
        facts.listed_kind_bytes[g->kind] += g->end - g->start;
        listed += g->end - g->start;
    }
    facts.unlisted_bytes = map->damaged_bytes - listed;
    return facts;
}

// Damaged bytes in [a, b); all the unlisted damage counts as lying there.
uint64_t damage_within(const DamageMap* map, const DamageFacts* facts, uint64_t a, uint64_t b) {
    uint64_t bytes = facts->unlisted_bytes;
    for (uint32_t i = 0; i < map->region_count; i++) {
        const DamageRegion* g = &map->regions[i];
        uint64_t s = g->start > a ? g->start : a;
        uint64_t e = g->end < b ? g->end : b;
        if (e > s) bytes += e - s;
    }
    return bytes;
}

// On a drive that wraps at w, a read at x < f - w returns the last lap that
// reached x mod w: data moved by a whole number of laps. The last w bytes were
// the last lap and read back as written.
int wraps_at(const DamageMap* map, const DamageFacts* facts, uint64_t f, uint64_t w) {
    uint64_t lapped = 0;
    for (uint32_t i = 0; i < map->displacement_count; i++) {
        const DisplacementBytes* d = &map->displacements[i];
        if (d->displacement > 0 && (uint64_t)d->displacement % w == 0) lapped += d->bytes;
    }
    uint64_t before = f - w;
    return lapped >= before - few(before) && damage_within(map, facts, before, f) <= few(w);
}

// The smallest capacity that the main displacements, or a whole fraction of
// one (a file of several laps), show as a wrap; 0 when none does.
uint64_t find_wrap(const DamageMap* map, const DamageFacts* facts, uint64_t f) {
    const uint32_t heaviest = 4;
    const uint64_t laps = 8;
    uint32_t used[heaviest];
    uint32_t used_count = 0;
    uint64_t best = 0;
    for (uint32_t round = 0; round < heaviest; round++) {
        const DisplacementBytes* top = nullptr;
        uint32_t top_index = 0;
        for (uint32_t i = 0; i < map->displacement_count; i++) {
            int taken = 0;
            for (uint32_t k = 0; k < used_count; k++) taken |= used[k] == i;
            const DisplacementBytes* d = &map->displacements[i];
            if (taken || d->displacement <= 0) continue;
            if (!top || d->bytes > top->bytes) {
                top = d;
                top_index = i;
            }
        }
        if (!top) break;
        used[used_count++] = top_index;
        for (uint64_t k = 1; k <= laps; k++) {
            uint64_t d = (uint64_t)top->displacement;
            if (d % k != 0) continue;
            uint64_t w = d / k;
            if (w % DAMAGE_SECTOR_BYTES != 0 || w >= f || (best != 0 && w >= best)) continue;
            if (wraps_at(map, facts, f, w)) best = w;
        }
    }
    return best;
}

// Bytes of a misplaced region whose source lies before x.
uint64_t sourced_before(const DamageRegion* g, uint64_t x) {
    uint64_t length = g->end - g->start;
    if (g->source_start >= x) return 0;
    return x - g->source_start < length ? x - g->source_start : length;
}

// A drive that drops what is written past its capacity x reads back zeros,
// 0xFF or older data from below x there: at least 90 % of [x, f) is such
// damage, and it is large. A misplaced sector whose data was written past x
// shows that the drive kept it. The smallest region start that passes is x.
int find_dropped(const DamageMap* map, const DamageFacts* facts, uint64_t f, uint64_t* x_out) {
    const uint64_t least = 8ull << 20;
    // Zeros and 0xFF past the list lie past every candidate; misplaced ones
    // there have no known source.
    uint64_t unlisted_blank = map->kind_bytes[SECTOR_ZERO] - facts->listed_kind_bytes[SECTOR_ZERO] +
                              map->kind_bytes[SECTOR_ERASED] -
                              facts->listed_kind_bytes[SECTOR_ERASED];
    for (uint32_t i = 0; i < map->region_count; i++) {
        uint64_t x = map->regions[i].start;
        uint64_t span = f - x;
        uint64_t lost = unlisted_blank;
        uint64_t kept_elsewhere = 0;
        for (uint32_t k = 0; k < map->region_count; k++) {
            const DamageRegion* g = &map->regions[k];
            uint64_t length = g->end - g->start;
            if (g->kind == SECTOR_MISPLACED) {
                uint64_t below = sourced_before(g, x);
                if (k >= i) lost += below;
                // Before x, data written past x: the drive kept it.
                else kept_elsewhere += length - below;
            } else if (k >= i && (g->kind == SECTOR_ZERO || g->kind == SECTOR_ERASED)) {
                lost += length;
            }
        }
        if (lost < least || lost < f / 100) continue;
        uint64_t kept = span - lost + kept_elsewhere;
        if (kept <= span / 10) {
            *x_out = x;
            return 1;
        }
    }
    return 0;
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
            if (c.kind == SECTOR_MISPLACED) count_displacement(map, c.displacement, n);
            if (c.kind == SECTOR_FLIPPED) {
                map->flipped_bits += (uint64_t)flipped_bit_count(p + done, expected, n);
            }
            add_region(map, at, at + n, c.kind, source);
        }
        done += n;
    }
}

const char* damage_finding_name(uint32_t finding) {
    static const char* const names[DAMAGE_FINDING_COUNT] = {
        "none", "scattered", "foreign", "wraps", "dropped", "displaced", "flipped"};
    return finding < DAMAGE_FINDING_COUNT ? names[finding] : nullptr;
}

DamageVerdict damage_verdict(const DamageMap* map, uint64_t bytes_verified,
                             uint64_t bytes_written) {
    DamageVerdict v = {};
    v.intact_bytes = bytes_verified - map->damaged_bytes;
    if (!map->damaged) return v;
    const uint64_t f = bytes_verified;
    DamageFacts facts = facts_of(map);
    if (map->kind_bytes[SECTOR_CORRUPTED] >= f - few(f)) {
        v.finding = DAMAGE_FINDING_FOREIGN;
        return v;
    }
    // A capacity is a claim about every byte written: a verification that
    // ended early saw too little to make it.
    if (bytes_verified >= bytes_written) {
        uint64_t w = find_wrap(map, &facts, f);
        if (w != 0) {
            v.finding = DAMAGE_FINDING_WRAPS;
            v.wraps = 1;
            v.wrap_bytes = w;
            v.has_capacity = 1;
            v.likely_capacity_bytes = w;
            return v;
        }
        uint64_t x = 0;
        if (find_dropped(map, &facts, f, &x)) {
            v.finding = DAMAGE_FINDING_DROPPED;
            v.has_capacity = 1;
            v.likely_capacity_bytes = x;
            return v;
        }
    }
    const DisplacementBytes* top = nullptr;
    for (uint32_t i = 0; i < map->displacement_count; i++) {
        if (!top || map->displacements[i].bytes > top->bytes) top = &map->displacements[i];
    }
    if (top) {
        uint64_t distance = top->displacement < 0 ? 0 - (uint64_t)top->displacement
                                                  : (uint64_t)top->displacement;
        // Every sector but the ones whose source lies outside the file.
        uint64_t movable = f > distance ? f - distance : 0;
        if (movable > 0 && top->bytes >= movable - few(movable)) {
            v.finding = DAMAGE_FINDING_DISPLACED;
            v.displacement_bytes = top->displacement;
            return v;
        }
    }
    if (map->kind_bytes[SECTOR_FLIPPED] == map->damaged_bytes) {
        v.finding = DAMAGE_FINDING_FLIPPED;
        v.flipped_bits = map->flipped_bits;
        return v;
    }
    v.finding = DAMAGE_FINDING_SCATTERED;
    return v;
}

void damage_release(DamageMap* map) {
    free(map->regions);
    memset(map, 0, sizeof *map);
}
