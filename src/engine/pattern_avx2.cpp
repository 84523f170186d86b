// The pattern with AVX2: four words per 256-bit vector, sixteen per loop pass.
#include "engine/pattern.h"

#include <immintrin.h>

#define AVX2_FN __attribute__((target("avx2")))
#define AVX2_INLINE static inline __attribute__((always_inline, target("avx2")))

namespace {

struct Avx2Consts {
    __m256i seed, m1, m1_swapped, m2, m2_swapped, high_half, step;
};

// AVX2 has no 64-bit multiply. a*m mod 2^64 = lo(a)*lo(m) + (cross << 32), where
// cross = lo(a)*hi(m) + hi(a)*lo(m) mod 2^32: one 32-bit multiply against m with
// its halves swapped gives both cross products side by side in each 64-bit lane.
AVX2_INLINE __m256i mul64(__m256i a, __m256i m, __m256i m_swapped, __m256i high_half) {
    __m256i cross = _mm256_mullo_epi32(a, m_swapped);
    __m256i cross_high =
        _mm256_add_epi64(_mm256_and_si256(cross, high_half), _mm256_slli_epi64(cross, 32));
    return _mm256_add_epi64(_mm256_mul_epu32(a, m), cross_high);
}

AVX2_INLINE __m256i words_at(__m256i index, const Avx2Consts& c) {
    __m256i z = _mm256_xor_si256(index, c.seed);
    z = _mm256_xor_si256(z, _mm256_srli_epi64(z, 30));
    z = mul64(z, c.m1, c.m1_swapped, c.high_half);
    z = _mm256_xor_si256(z, _mm256_srli_epi64(z, 27));
    z = mul64(z, c.m2, c.m2_swapped, c.high_half);
    return _mm256_xor_si256(z, _mm256_srli_epi64(z, 31));
}

AVX2_INLINE Avx2Consts avx2_consts(void) {
    Avx2Consts c;
    c.seed = _mm256_set1_epi64x((long long)0xC45A10B9D31E7A5FULL);
    c.m1 = _mm256_set1_epi64x((long long)0xBF58476D1CE4E5B9ULL);
    c.m1_swapped = _mm256_set1_epi64x((long long)0x1CE4E5B9BF58476DULL);
    c.m2 = _mm256_set1_epi64x((long long)0x94D049BB133111EBULL);
    c.m2_swapped = _mm256_set1_epi64x((long long)0x133111EB94D049BBULL);
    c.high_half = _mm256_set1_epi64x((long long)0xFFFFFFFF00000000ULL);
    c.step = _mm256_set1_epi64x(4);
    return c;
}

AVX2_INLINE __m256i first_indexes(uint64_t first) {
    return _mm256_add_epi64(_mm256_set1_epi64x((long long)first), _mm256_setr_epi64x(0, 1, 2, 3));
}

const uint32_t group_bytes = 128;

AVX2_FN void fill_avx2(void* buffer, uint64_t offset, uint32_t length) {
    const Avx2Consts c = avx2_consts();
    char* out = (char*)buffer;
    __m256i index = first_indexes(offset / 8);
    uint32_t pos = 0;
    for (; length - pos >= group_bytes; pos += group_bytes) {
        __m256i i1 = _mm256_add_epi64(index, c.step);
        __m256i i2 = _mm256_add_epi64(i1, c.step);
        __m256i i3 = _mm256_add_epi64(i2, c.step);
        _mm256_storeu_si256((__m256i*)(out + pos), words_at(index, c));
        _mm256_storeu_si256((__m256i*)(out + pos + 32), words_at(i1, c));
        _mm256_storeu_si256((__m256i*)(out + pos + 64), words_at(i2, c));
        _mm256_storeu_si256((__m256i*)(out + pos + 96), words_at(i3, c));
        index = _mm256_add_epi64(i3, c.step);
    }
    pattern_fill_words(out + pos, offset / 8 + pos / 8, length - pos);
}

AVX2_FN int64_t first_mismatch_avx2(const void* buffer, uint64_t offset, uint32_t length) {
    const Avx2Consts c = avx2_consts();
    const char* in = (const char*)buffer;
    __m256i index = first_indexes(offset / 8);
    uint32_t pos = 0;
    for (; length - pos >= group_bytes; pos += group_bytes) {
        __m256i i1 = _mm256_add_epi64(index, c.step);
        __m256i i2 = _mm256_add_epi64(i1, c.step);
        __m256i i3 = _mm256_add_epi64(i2, c.step);
        __m256i d0 =
            _mm256_xor_si256(_mm256_loadu_si256((const __m256i*)(in + pos)), words_at(index, c));
        __m256i d1 =
            _mm256_xor_si256(_mm256_loadu_si256((const __m256i*)(in + pos + 32)), words_at(i1, c));
        __m256i d2 =
            _mm256_xor_si256(_mm256_loadu_si256((const __m256i*)(in + pos + 64)), words_at(i2, c));
        __m256i d3 =
            _mm256_xor_si256(_mm256_loadu_si256((const __m256i*)(in + pos + 96)), words_at(i3, c));
        __m256i any = _mm256_or_si256(_mm256_or_si256(d0, d1), _mm256_or_si256(d2, d3));
        if (!_mm256_testz_si256(any, any)) {
            // The difference is in this group: let the plain loop find its word.
            break;
        }
        index = _mm256_add_epi64(i3, c.step);
    }
    int64_t at = pattern_first_mismatch_words(in + pos, offset / 8 + pos / 8, length - pos);
    return at < 0 ? -1 : (int64_t)pos + at;
}

const PatternKernels avx2_kernels = {"avx2", fill_avx2, first_mismatch_avx2};

} // namespace

const PatternKernels* pattern_avx2_kernels(void) {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? &avx2_kernels : nullptr;
}
