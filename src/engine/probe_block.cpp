// Probe blocks: magic, salt, the offset written for, filler that changes with
// all three, and a checksum over the rest, one set per 512-byte sector.
#include "engine/probe_block.h"

#include <string.h>

#include <random>

#include "platform/platform.h"

namespace {

const uint64_t BLOCK_MAGIC = 0x6B6C42656272506Full; // "oPrbeBlk"
const uint32_t WORDS = PROBE_SECTOR_BYTES / 8;

uint64_t mix(uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t load(const unsigned char* p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

void store(unsigned char* p, uint64_t v) { memcpy(p, &v, 8); }

void fill_sector(unsigned char* p, uint64_t salt, uint64_t offset) {
    store(p, BLOCK_MAGIC);
    store(p + 8, salt);
    store(p + 16, offset);
    // Filler that differs in every sector, run and word (cheap: the checksum
    // is what makes a block hard to forge by accident).
    uint64_t seed = mix(salt ^ mix(offset));
    for (uint32_t k = 3; k + 1 < WORDS; k++) store(p + 8 * k, seed ^ (k * 0x9E3779B97F4A7C15ull));
    store(p + 8 * (WORDS - 1), probe_checksum(p, 8 * (WORDS - 1), salt));
}

int all_bytes(const unsigned char* p, unsigned char value) {
    for (uint32_t k = 0; k < PROBE_SECTOR_BYTES; k++) {
        if (p[k] != value) return 0;
    }
    return 1;
}

} // namespace

// Four independent lanes of multiply-rotate rounds keep the CPU's multipliers
// busy: the journal sums every byte it holds, the read-back every sector.
uint64_t probe_checksum(const void* data, uint64_t length, uint64_t seed) {
    const uint64_t P1 = 0x9E3779B185EBCA87ull, P2 = 0xC2B2AE3D27D4EB4Full;
    const unsigned char* p = (const unsigned char*)data;
    uint64_t lane[4] = {seed + P1 + P2, seed + P2, seed, seed - P1};
    uint64_t k = 0;
    for (; k + 32 <= length; k += 32) {
        for (int i = 0; i < 4; i++) {
            uint64_t v = lane[i] + load(p + k + 8 * i) * P2;
            lane[i] = ((v << 31) | (v >> 33)) * P1;
        }
    }
    uint64_t h = mix(length ^ seed);
    for (int i = 0; i < 4; i++) h = mix(h ^ lane[i]);
    for (; k + 8 <= length; k += 8) h = mix(h ^ load(p + k));
    uint64_t tail = 0;
    for (uint64_t i = 0; k + i < length; i++) tail |= (uint64_t)p[k + i] << (8 * i);
    return mix(h ^ tail ^ 0xA5);
}

void probe_fill(void* buffer, uint64_t salt, uint64_t offset, uint32_t length) {
    unsigned char* p = (unsigned char*)buffer;
    for (uint32_t done = 0; done + PROBE_SECTOR_BYTES <= length; done += PROBE_SECTOR_BYTES)
        fill_sector(p + done, salt, offset + done);
}

int probe_decode(const void* sector, uint64_t salt, uint64_t* source) {
    const unsigned char* p = (const unsigned char*)sector;
    if (load(p) != BLOCK_MAGIC || load(p + 8) != salt) return 0;
    if (load(p + 8 * (WORDS - 1)) != probe_checksum(p, 8 * (WORDS - 1), salt)) return 0;
    uint64_t at = load(p + 16);
    if (at % PROBE_SECTOR_BYTES != 0) return 0;
    *source = at;
    return 1;
}

SectorClass probe_classify(const void* sector, uint64_t salt, uint64_t offset) {
    const unsigned char* p = (const unsigned char*)sector;
    unsigned char expected[PROBE_SECTOR_BYTES];
    fill_sector(expected, salt, offset);
    if (memcmp(p, expected, PROBE_SECTOR_BYTES) == 0) return {SECTOR_INTACT, 0};
    if (all_bytes(p, 0x00)) return {SECTOR_ZERO, 0};
    if (all_bytes(p, 0xFF)) return {SECTOR_ERASED, 0};
    int bits = 0;
    for (uint32_t k = 0; k < PROBE_SECTOR_BYTES && bits < 8; k += 8)
        bits += __builtin_popcountll(load(p + k) ^ load(expected + k));
    if (bits < 8) return {SECTOR_FLIPPED, 0};
    uint64_t source;
    if (probe_decode(p, salt, &source) && source != offset)
        return {SECTOR_MISPLACED, (int64_t)(source - offset)};
    return {SECTOR_CORRUPTED, 0};
}

// Runs that share a salt would take each other's blocks for their own: the
// system's random source, with the clock mixed in where that source is weak.
uint64_t probe_new_salt(void) {
    std::random_device device;
    uint64_t r = ((uint64_t)device() << 32) ^ device();
    return mix(r ^ mix((uint64_t)plat_perf_counter()));
}
