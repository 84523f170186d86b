// The pattern with AVX-512: eight words per 512-bit vector, thirty-two per loop pass.
#include "engine/pattern.h"

// GCC 12 warns about the deliberately undefined pass-through operand inside its
// own AVX-512 shift intrinsics.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#define AVX512_FN __attribute__((target("avx512f,avx512dq")))
#define AVX512_INLINE static inline __attribute__((always_inline, target("avx512f,avx512dq")))

namespace {

struct Avx512Consts {
    __m512i seed, m1, m2, step;
};

AVX512_INLINE __m512i words_at(__m512i index, const Avx512Consts& c) {
    __m512i z = _mm512_xor_si512(index, c.seed);
    z = _mm512_xor_si512(z, _mm512_srli_epi64(z, 30));
    z = _mm512_mullo_epi64(z, c.m1);
    z = _mm512_xor_si512(z, _mm512_srli_epi64(z, 27));
    z = _mm512_mullo_epi64(z, c.m2);
    return _mm512_xor_si512(z, _mm512_srli_epi64(z, 31));
}

AVX512_INLINE Avx512Consts avx512_consts(void) {
    Avx512Consts c;
    c.seed = _mm512_set1_epi64((long long)0xC45A10B9D31E7A5FULL);
    c.m1 = _mm512_set1_epi64((long long)0xBF58476D1CE4E5B9ULL);
    c.m2 = _mm512_set1_epi64((long long)0x94D049BB133111EBULL);
    c.step = _mm512_set1_epi64(8);
    return c;
}

AVX512_INLINE __m512i first_indexes(uint64_t first) {
    return _mm512_add_epi64(_mm512_set1_epi64((long long)first),
                            _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7));
}

const uint32_t group_bytes = 256;

AVX512_FN void fill_avx512(void* buffer, uint64_t offset, uint32_t length) {
    const Avx512Consts c = avx512_consts();
    char* out = (char*)buffer;
    __m512i index = first_indexes(offset / 8);
    uint32_t pos = 0;
    for (; length - pos >= group_bytes; pos += group_bytes) {
        __m512i i1 = _mm512_add_epi64(index, c.step);
        __m512i i2 = _mm512_add_epi64(i1, c.step);
        __m512i i3 = _mm512_add_epi64(i2, c.step);
        _mm512_storeu_si512(out + pos, words_at(index, c));
        _mm512_storeu_si512(out + pos + 64, words_at(i1, c));
        _mm512_storeu_si512(out + pos + 128, words_at(i2, c));
        _mm512_storeu_si512(out + pos + 192, words_at(i3, c));
        index = _mm512_add_epi64(i3, c.step);
    }
    pattern_fill_words(out + pos, offset / 8 + pos / 8, length - pos);
}

AVX512_FN int64_t first_mismatch_avx512(const void* buffer, uint64_t offset, uint32_t length) {
    const Avx512Consts c = avx512_consts();
    const char* in = (const char*)buffer;
    __m512i index = first_indexes(offset / 8);
    uint32_t pos = 0;
    for (; length - pos >= group_bytes; pos += group_bytes) {
        __m512i i1 = _mm512_add_epi64(index, c.step);
        __m512i i2 = _mm512_add_epi64(i1, c.step);
        __m512i i3 = _mm512_add_epi64(i2, c.step);
        __mmask8 m0 = _mm512_cmpneq_epi64_mask(_mm512_loadu_si512(in + pos), words_at(index, c));
        __mmask8 m1 = _mm512_cmpneq_epi64_mask(_mm512_loadu_si512(in + pos + 64), words_at(i1, c));
        __mmask8 m2 = _mm512_cmpneq_epi64_mask(_mm512_loadu_si512(in + pos + 128), words_at(i2, c));
        __mmask8 m3 = _mm512_cmpneq_epi64_mask(_mm512_loadu_si512(in + pos + 192), words_at(i3, c));
        if ((m0 | m1 | m2 | m3) != 0) {
            // The difference is in this group: let the plain loop find its word.
            break;
        }
        index = _mm512_add_epi64(i3, c.step);
    }
    int64_t at = pattern_first_mismatch_words(in + pos, offset / 8 + pos / 8, length - pos);
    return at < 0 ? -1 : (int64_t)pos + at;
}

const PatternKernels avx512_kernels = {"avx512", fill_avx512, first_mismatch_avx512};

} // namespace

const PatternKernels* pattern_avx512_kernels(void) {
    __builtin_cpu_init();
    bool usable = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    return usable ? &avx512_kernels : nullptr;
}
