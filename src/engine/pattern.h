// The test file's content as a function of the byte offset: the one contract
// between the writer and the verifier.
#pragma once

#include <stdint.h>

uint64_t pattern_word(uint64_t index);

// The inverse of an odd multiplier modulo 2^64 (Newton's step doubles the
// correct low bits: 3, 6, 12, 24, 48, 96).
constexpr uint64_t pattern_odd_inverse(uint64_t a) {
    uint64_t x = a;
    for (int k = 0; k < 5; k++) x *= 2 - a * x;
    return x;
}

// The index whose pattern word is value: every step of the mix is invertible,
// so a word read back tells the position it was written for. Inline: the
// damage map runs it on every word of a damaged sector.
inline uint64_t pattern_index(uint64_t value) {
    constexpr uint64_t inverse1 = pattern_odd_inverse(0xBF58476D1CE4E5B9ULL);
    constexpr uint64_t inverse2 = pattern_odd_inverse(0x94D049BB133111EBULL);
    static_assert(0xBF58476D1CE4E5B9ULL * inverse1 == 1, "inverse");
    static_assert(0x94D049BB133111EBULL * inverse2 == 1, "inverse");
    // Each xorshift is by at least 22 bits, so three terms undo it.
    uint64_t z = value;
    z ^= (z >> 31) ^ (z >> 62);
    z *= inverse2;
    z ^= (z >> 27) ^ (z >> 54);
    z *= inverse1;
    z ^= (z >> 30) ^ (z >> 60);
    return z ^ 0xC45A10B9D31E7A5FULL;
}
// Fills buffer with the length bytes the file holds from offset (a multiple of 8).
void pattern_fill(void* buffer, uint64_t offset, uint32_t length);
// Offset within buffer of the first 8-byte word (or trailing partial word) that
// differs from the pattern for a chunk at file offset; -1 when all match.
int64_t pattern_first_mismatch(const void* buffer, uint64_t offset, uint32_t length);

// pattern_fill and pattern_first_mismatch run on the fastest path this CPU
// offers; every path gives the same bytes and the same answers. The paths are
// listed so that tests and benchmarks can run each one against the plain loop.
enum PatternPath {
    PATTERN_PATH_SCALAR = 0,
    PATTERN_PATH_AVX2 = 1,
    PATTERN_PATH_AVX512 = 2,
    PATTERN_PATH_COUNT = 3
};

struct PatternKernels {
    const char* name;
    void (*fill)(void* buffer, uint64_t offset, uint32_t length);
    int64_t (*first_mismatch)(const void* buffer, uint64_t offset, uint32_t length);
};

// The kernels of one path; null when this build or this CPU lacks it.
const PatternKernels* pattern_kernels(int path);
// The path that pattern_fill and pattern_first_mismatch use here.
int pattern_active_path(void);

// The vector paths; each returns null where its instructions are unavailable.
const PatternKernels* pattern_avx2_kernels(void);
const PatternKernels* pattern_avx512_kernels(void);
// The plain loops from a word index rather than a byte offset, which the vector
// paths also use for their last few words (an index past 2^61 has no byte offset).
void pattern_fill_words(void* buffer, uint64_t first_word, uint32_t length);
int64_t pattern_first_mismatch_words(const void* buffer, uint64_t first_word, uint32_t length);
