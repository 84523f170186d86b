// What the drive did with the data: each 512-byte sector of a chunk that
// differs from the pattern is classified, consecutive sectors of one kind form
// regions, and the whole map gives a verdict on the drive's real capacity.
#pragma once

#include <stdint.h>

enum SectorKind {
    SECTOR_INTACT = 0,
    SECTOR_ZERO = 1,      // all bytes 0x00
    SECTOR_ERASED = 2,    // all bytes 0xFF
    SECTOR_FLIPPED = 3,   // fewer than 8 bits differ
    SECTOR_MISPLACED = 4, // at least half its words belong to one other position
    SECTOR_CORRUPTED = 5,
    SECTOR_KIND_COUNT = 6
};

const uint32_t DAMAGE_SECTOR_BYTES = 512;
// Bounds the list's memory however much of a large drive is damaged.
const uint32_t DAMAGE_REGION_CAP = 4096;

struct SectorClass {
    SectorKind kind;
    int64_t displacement; // misplaced: source offset minus sector offset, in bytes
};

// [start, end) of the test file; source_start only for misplaced regions.
struct DamageRegion {
    uint64_t start;
    uint64_t end;
    uint64_t source_start;
    uint32_t kind;
};

struct DamageMap {
    // Per kind, over the chunks handed in; the intact bytes of matching
    // chunks are not here (damage_verdict adds them).
    uint64_t kind_bytes[SECTOR_KIND_COUNT];
    uint64_t damaged_bytes;
    // The first damaged sector and its first differing word.
    int damaged;
    uint64_t first_damage_offset;
    uint32_t first_kind;
    uint64_t first_word_offset;
    uint64_t first_expected;
    uint64_t first_found;
    uint64_t first_source; // misplaced: the offset that word was written for
    // Evidence of wrap-around over every misplaced sector, listed or not.
    uint64_t displacement_gcd;       // of the forward displacements
    uint64_t first_misplaced_offset; // of the first forward one
    int backward_seen; // a misplaced sector whose source lies before it
    DamageRegion* regions; // heap array of DAMAGE_REGION_CAP; null while empty
    uint32_t region_count;
    int regions_truncated;
};

struct DamageVerdict {
    uint64_t intact_bytes; // of the bytes verified
    int wraps;
    uint64_t wrap_bytes;
    int has_capacity;
    uint64_t likely_capacity_bytes;
};

const char* sector_kind_name(uint32_t kind);
// Classifies length bytes (at most one sector) at file offset, a multiple of 8.
SectorClass classify_sector(const void* data, uint64_t offset, uint32_t length);
// Classifies every sector of a chunk at file offset (a multiple of 8) into the map.
void damage_add_chunk(DamageMap* map, const void* data, uint64_t offset, uint32_t length);
DamageVerdict damage_verdict(const DamageMap* map, uint64_t bytes_verified);
// Frees the region list and empties the map.
void damage_release(DamageMap* map);
