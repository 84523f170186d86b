// The test pattern: each aligned 8-byte word of the file is a mix of its index.
#include "engine/pattern.h"

#include <string.h>

uint64_t pattern_word(uint64_t index) {
    uint64_t z = index ^ 0xC45A10B9D31E7A5FULL;
    z ^= z >> 30;
    z *= 0xBF58476D1CE4E5B9ULL;
    z ^= z >> 27;
    z *= 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return z;
}

// Words go to memory least significant byte first, whatever the host's byte
// order; written out byte by byte so the compiler can merge them into one move.
static void store_word_le(unsigned char* out, uint64_t v) {
    out[0] = (unsigned char)v;
    out[1] = (unsigned char)(v >> 8);
    out[2] = (unsigned char)(v >> 16);
    out[3] = (unsigned char)(v >> 24);
    out[4] = (unsigned char)(v >> 32);
    out[5] = (unsigned char)(v >> 40);
    out[6] = (unsigned char)(v >> 48);
    out[7] = (unsigned char)(v >> 56);
}

static uint64_t load_word_le(const unsigned char* in) {
    return (uint64_t)in[0] | (uint64_t)in[1] << 8 | (uint64_t)in[2] << 16 | (uint64_t)in[3] << 24 |
           (uint64_t)in[4] << 32 | (uint64_t)in[5] << 40 | (uint64_t)in[6] << 48 |
           (uint64_t)in[7] << 56;
}

// A tail: the lowest count bytes of the word, least significant first.
static void store_tail_le(unsigned char* out, uint64_t v, uint32_t count) {
    for (uint32_t k = 0; k < count; k++) {
        out[k] = (unsigned char)(v >> (8 * k));
    }
}

void pattern_fill_words(void* buffer, uint64_t first, uint32_t length) {
    unsigned char* out = (unsigned char*)buffer;
    uint32_t words = length / 8;
    uint32_t tail = length % 8;
    for (uint32_t k = 0; k < words; k++) {
        store_word_le(out + 8 * (size_t)k, pattern_word(first + k));
    }
    if (tail > 0) {
        store_tail_le(out + 8 * (size_t)words, pattern_word(first + words), tail);
    }
}

int64_t pattern_first_mismatch_words(const void* buffer, uint64_t first, uint32_t length) {
    const unsigned char* in = (const unsigned char*)buffer;
    uint32_t words = length / 8;
    uint32_t tail = length % 8;
    for (uint32_t k = 0; k < words; k++) {
        if (load_word_le(in + 8 * (size_t)k) != pattern_word(first + k)) {
            return 8 * (int64_t)k;
        }
    }
    if (tail > 0) {
        unsigned char expected[8];
        store_tail_le(expected, pattern_word(first + words), tail);
        if (memcmp(in + 8 * (size_t)words, expected, tail) != 0) {
            return 8 * (int64_t)words;
        }
    }
    return -1;
}

static void fill_scalar(void* buffer, uint64_t offset, uint32_t length) {
    pattern_fill_words(buffer, offset / 8, length);
}

static int64_t first_mismatch_scalar(const void* buffer, uint64_t offset, uint32_t length) {
    return pattern_first_mismatch_words(buffer, offset / 8, length);
}

static const PatternKernels scalar_kernels = {"scalar", fill_scalar, first_mismatch_scalar};

const PatternKernels* pattern_kernels(int path) {
    switch (path) {
    case PATTERN_PATH_SCALAR: return &scalar_kernels;
    case PATTERN_PATH_AVX2: return pattern_avx2_kernels();
    case PATTERN_PATH_AVX512: return pattern_avx512_kernels();
    default: return nullptr;
    }
}

static int choose_path(void) {
    for (int path = PATTERN_PATH_COUNT - 1; path > PATTERN_PATH_SCALAR; path--) {
        if (pattern_kernels(path) != nullptr) {
            return path;
        }
    }
    return PATTERN_PATH_SCALAR;
}

int pattern_active_path(void) {
    static const int active = choose_path();
    return active;
}

static const PatternKernels* active_kernels(void) {
    static const PatternKernels* const kernels = pattern_kernels(pattern_active_path());
    return kernels;
}

void pattern_fill(void* buffer, uint64_t offset, uint32_t length) {
    active_kernels()->fill(buffer, offset, length);
}

int64_t pattern_first_mismatch(const void* buffer, uint64_t offset, uint32_t length) {
    return active_kernels()->first_mismatch(buffer, offset, length);
}
