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
// A wrap or a shift moves data by a few distances only: room for those, and a
// count of the bytes moved by any other.
const uint32_t DAMAGE_DISPLACEMENT_SLOTS = 32;

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

struct DisplacementBytes {
    int64_t displacement;
    uint64_t bytes;
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
    // Every misplaced sector, listed or not, by its displacement.
    DisplacementBytes displacements[DAMAGE_DISPLACEMENT_SLOTS];
    uint32_t displacement_count;
    uint64_t other_displacement_bytes; // moved by a distance with no slot left
    uint64_t flipped_bits;             // over the flipped sectors
    DamageRegion* regions; // heap array of DAMAGE_REGION_CAP; null while empty
    uint32_t region_count;
    int regions_truncated;
};

// What the damage as a whole says, in the order damage_verdict weighs it.
enum DamageFinding {
    DAMAGE_FINDING_NONE = 0,  // nothing damaged
    DAMAGE_FINDING_SCATTERED, // none of the below
    DAMAGE_FINDING_FOREIGN,   // nearly every sector corrupted: not a test file
    DAMAGE_FINDING_WRAPS,     // later laps over the start: capacity wrap_bytes
    DAMAGE_FINDING_DROPPED,   // almost nothing kept past likely_capacity_bytes
    DAMAGE_FINDING_DISPLACED, // nearly all data moved by displacement_bytes
    DAMAGE_FINDING_FLIPPED,   // flipped bits and nothing else
    DAMAGE_FINDING_COUNT
};

struct DamageVerdict {
    uint64_t intact_bytes; // of the bytes verified
    uint32_t finding;
    int wraps;
    uint64_t wrap_bytes;
    int has_capacity;
    uint64_t likely_capacity_bytes;
    int64_t displacement_bytes; // displaced: source offset minus offset
    uint64_t flipped_bits;
};

const char* sector_kind_name(uint32_t kind);
// Classifies length bytes (at most one sector) at file offset, a multiple of 8.
SectorClass classify_sector(const void* data, uint64_t offset, uint32_t length);
// Classifies every sector of a chunk at file offset (a multiple of 8) into the map.
void damage_add_chunk(DamageMap* map, const void* data, uint64_t offset, uint32_t length);
// A capacity (wrap or dropped data) only when every byte written was verified.
DamageVerdict damage_verdict(const DamageMap* map, uint64_t bytes_verified,
                             uint64_t bytes_written);
// "scattered", "wraps", ...; null past the last finding.
const char* damage_finding_name(uint32_t finding);
// Frees the region list and empties the map.
void damage_release(DamageMap* map);
