// The test pattern: each aligned 8-byte word of the file is a mix of its index.
#include "engine/pattern.h"

#include <string.h>

uint64_t pattern_word(uint64_t index)
{
    uint64_t z = index ^ 0xC45A10B9D31E7A5FULL;
    z ^= z >> 30;
    z *= 0xBF58476D1CE4E5B9ULL;
    z ^= z >> 27;
    z *= 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return z;
}

// The value's bytes least significant first, whatever the host's byte order.
static void store_le(unsigned char* out, uint64_t v, uint32_t count)
{
    for (uint32_t k = 0; k < count; k++) {
        out[k] = (unsigned char)(v >> (8 * k));
    }
}

static uint64_t load_le(const unsigned char* in)
{
    uint64_t v = 0;
    for (uint32_t k = 0; k < 8; k++) {
        v |= (uint64_t)in[k] << (8 * k);
    }
    return v;
}

void pattern_fill_scalar(void* buffer, uint64_t offset, uint32_t length)
{
    unsigned char* out = (unsigned char*)buffer;
    uint64_t first = offset / 8;
    uint32_t words = length / 8;
    uint32_t tail = length % 8;
    for (uint32_t k = 0; k < words; k++) {
        store_le(out + 8 * (size_t)k, pattern_word(first + k), 8);
    }
    if (tail > 0) {
        store_le(out + 8 * (size_t)words, pattern_word(first + words), tail);
    }
}

int64_t pattern_first_mismatch_scalar(const void* buffer, uint64_t offset, uint32_t length)
{
    const unsigned char* in = (const unsigned char*)buffer;
    uint64_t first = offset / 8;
    uint32_t words = length / 8;
    uint32_t tail = length % 8;
    for (uint32_t k = 0; k < words; k++) {
        if (load_le(in + 8 * (size_t)k) != pattern_word(first + k)) {
            return 8 * (int64_t)k;
        }
    }
    if (tail > 0) {
        unsigned char expected[8];
        store_le(expected, pattern_word(first + words), tail);
        if (memcmp(in + 8 * (size_t)words, expected, tail) != 0) {
            return 8 * (int64_t)words;
        }
    }
    return -1;
}

static const PatternKernels scalar_kernels = {
    "scalar", pattern_fill_scalar, pattern_first_mismatch_scalar};

const PatternKernels* pattern_kernels(int path)
{
    switch (path) {
    case PATTERN_PATH_SCALAR:
        return &scalar_kernels;
    case PATTERN_PATH_AVX2:
        return pattern_avx2_kernels();
    case PATTERN_PATH_AVX512:
        return pattern_avx512_kernels();
    default:
        return nullptr;
    }
}

static int choose_path(void)
{
    for (int path = PATTERN_PATH_COUNT - 1; path > PATTERN_PATH_SCALAR; path--) {
        if (pattern_kernels(path) != nullptr) {
            return path;
        }
    }
    return PATTERN_PATH_SCALAR;
}

int pattern_active_path(void)
{
    static const int active = choose_path();
    return active;
}

static const PatternKernels* active_kernels(void)
{
    static const PatternKernels* const kernels = pattern_kernels(pattern_active_path());
    return kernels;
}

void pattern_fill(void* buffer, uint64_t offset, uint32_t length)
{
    active_kernels()->fill(buffer, offset, length);
}

int64_t pattern_first_mismatch(const void* buffer, uint64_t offset, uint32_t length)
{
    return active_kernels()->first_mismatch(buffer, offset, length);
}
