// The test pattern: the known values pin the plain loops; every vector path
// must then give exactly the plain loops' bytes and answers.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/pattern.h"

namespace {

// Room around the bytes under test, so a write outside them shows.
const size_t guard = 64;
const unsigned char guard_byte = 0xA5;

struct Guarded {
    std::vector<unsigned char> bytes;
    size_t start;  // guard plus a deliberate misalignment
    Guarded(size_t length, size_t misalign)
        : bytes(length + 2 * guard + misalign, guard_byte), start(guard + misalign) {}
    unsigned char* data() { return bytes.data() + start; }
};

std::vector<unsigned char> reference_fill(uint64_t offset, uint32_t length)
{
    std::vector<unsigned char> out(length + 1);
    pattern_kernels(PATTERN_PATH_SCALAR)->fill(out.data(), offset, length);
    out.resize(length);
    return out;
}

TEST(PatternWord, KnownValues)
{
    const struct {
        uint64_t index;
        uint64_t value;
    } cases[] = {
        {0, 0xC29913B027612C54ULL},
        {1, 0x65192EB74D6FB6BFULL},
        {2, 0xFA73A5F6F20D2034ULL},
        {0x100000, 0x23E299AD5D42B754ULL},
        {0x2000000000ULL, 0x8B9C7AA37A678239ULL},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pattern_word(c.index), c.value) << "index " << c.index;
    }
}

TEST(PatternWord, IndexUndoesTheMixBothWays)
{
    std::vector<uint64_t> indices = {0, 1, 1ULL << 63, ~0ULL, 0x2000000000ULL};
    uint64_t x = 0x9E3779B97F4A7C15ULL;
    for (int k = 0; k < 1000; k++) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        indices.push_back(x);
    }
    for (uint64_t i : indices) {
        EXPECT_EQ(pattern_index(pattern_word(i)), i) << "index " << i;
        EXPECT_EQ(pattern_word(pattern_index(i)), i) << "value " << i;
    }
}

TEST(PatternFill, LittleEndianWordsAndTailFromTheNextWord)
{
    const struct {
        uint64_t offset;
        std::vector<unsigned char> expected;
    } cases[] = {
        {0, {0x54, 0x2C, 0x61, 0x27, 0xB0, 0x13, 0x99, 0xC2, 0xBF, 0xB6, 0x6F, 0x4D}},
        {16, {0x34, 0x20, 0x0D}},
        {8, {0xBF, 0xB6, 0x6F, 0x4D, 0xB7, 0x2E, 0x19, 0x65}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(reference_fill(c.offset, (uint32_t)c.expected.size()), c.expected)
            << "offset " << c.offset;
    }
}

TEST(PatternFill, DispatchedPathMatchesThePlainLoop)
{
    const int active = pattern_active_path();
    ASSERT_NE(pattern_kernels(active), nullptr);
    for (int path = active + 1; path < PATTERN_PATH_COUNT; path++) {
        EXPECT_EQ(pattern_kernels(path), nullptr) << "a faster path is left unused";
    }
    EXPECT_NE(pattern_kernels(PATTERN_PATH_SCALAR), nullptr);
    EXPECT_EQ(pattern_kernels(PATTERN_PATH_COUNT), nullptr);
    EXPECT_EQ(pattern_kernels(-1), nullptr);

    const uint32_t length = 65536 + 13;
    std::vector<unsigned char> buffer(length);
    pattern_fill(buffer.data(), 4096, length);
    EXPECT_EQ(buffer, reference_fill(4096, length));
    EXPECT_EQ(pattern_first_mismatch(buffer.data(), 4096, length), -1);
    buffer[40000] ^= 1;
    EXPECT_EQ(pattern_first_mismatch(buffer.data(), 4096, length), 40000 - 40000 % 8);
}

// Every test below runs once per path; a path this CPU lacks is skipped.
class PatternPathTest : public ::testing::TestWithParam<int> {
protected:
    const PatternKernels* k = nullptr;
    void SetUp() override {
        k = pattern_kernels(GetParam());
        if (k == nullptr) GTEST_SKIP() << "path not available on this CPU or build";
    }
};

// Lengths around every vector and loop-unroll boundary, offsets that start
// words at odd indexes and wrap the 64-bit word index.
const uint32_t lengths[] = {0, 1, 3, 7, 8, 9, 15, 16, 24, 31, 32, 33, 56, 63, 64, 65,
                            120, 127, 128, 129, 136, 248, 255, 256, 257, 264, 376, 383,
                            384, 511, 512, 513, 1000, 4095, 4096, 4100, 65536 + 8 + 5};
const uint64_t offsets[] = {0, 8, 24, 4096, 8388608, 1ULL << 40, (1ULL << 40) + 56,
                            UINT64_MAX - 7, UINT64_MAX - 2047};

TEST_P(PatternPathTest, FillEqualsPlainLoopAndStaysInsideItsLength)
{
    for (uint32_t length : lengths) {
        for (uint64_t offset : offsets) {
            for (size_t misalign : {0, 1, 8, 28}) {
                Guarded buf(length, misalign);
                k->fill(buf.data(), offset, length);
                std::vector<unsigned char> got(buf.data(), buf.data() + length);
                ASSERT_EQ(got, reference_fill(offset, length))
                    << k->name << " length " << length << " offset " << offset
                    << " misalign " << misalign;
                for (size_t i = 0; i < buf.bytes.size(); i++) {
                    if (i < buf.start || i >= buf.start + length) {
                        ASSERT_EQ(buf.bytes[i], guard_byte)
                            << k->name << " wrote outside, length " << length;
                    }
                }
            }
        }
    }
}

TEST_P(PatternPathTest, SplitFillsEqualOneFill)
{
    const struct {
        uint32_t first;
        uint32_t second;
    } splits[] = {{4096, 4096}, {8, 8184}, {136, 8056}, {8184, 8}, {0, 8192}, {4104, 4088}};
    std::vector<unsigned char> whole(8192);
    k->fill(whole.data(), 1ULL << 33, 8192);
    for (const auto& s : splits) {
        std::vector<unsigned char> parts(8192, 0);
        k->fill(parts.data(), 1ULL << 33, s.first);
        k->fill(parts.data() + s.first, (1ULL << 33) + s.first, s.second);
        EXPECT_EQ(parts, whole) << k->name << " split at " << s.first;
    }
}

TEST_P(PatternPathTest, CompareFindsNoDifferenceInTheTruePattern)
{
    for (uint32_t length : lengths) {
        for (uint64_t offset : offsets) {
            for (size_t misalign : {0, 4}) {
                Guarded buf(length, misalign);
                pattern_kernels(PATTERN_PATH_SCALAR)->fill(buf.data(), offset, length);
                ASSERT_EQ(k->first_mismatch(buf.data(), offset, length), -1)
                    << k->name << " length " << length << " offset " << offset;
            }
        }
    }
}

TEST_P(PatternPathTest, CompareReportsTheWordOfADifferenceAtEveryPosition)
{
    // Whole vector groups, a few loose words and a 5-byte tail.
    const uint32_t length = 4096 + 24 + 5;
    const uint64_t offset = 3ULL << 23;
    std::vector<unsigned char> buf = reference_fill(offset, length);
    for (uint32_t pos = 0; pos < length; pos++) {
        for (unsigned char flip : {0x01, 0x80}) {
            buf[pos] ^= flip;
            int64_t got = k->first_mismatch(buf.data(), offset, length);
            buf[pos] ^= flip;
            ASSERT_EQ(got, (int64_t)(pos - pos % 8)) << k->name << " byte " << pos;
        }
    }
}

TEST_P(PatternPathTest, CompareStopsAtTheFirstOfSeveralDifferences)
{
    const uint32_t length = 8192;
    std::vector<unsigned char> buf = reference_fill(0, length);
    // Differences in the same vector, the same group and far later groups.
    const uint32_t later[] = {8191, 4096, 300, 263, 257};
    for (uint32_t pos : later) buf[pos] ^= 0xFF;
    EXPECT_EQ(k->first_mismatch(buf.data(), 0, length), 256);
    buf[70] ^= 0xFF;
    EXPECT_EQ(k->first_mismatch(buf.data(), 0, length), 64);
    // Data of the right block in the wrong place differs in its first word.
    std::vector<unsigned char> shifted = reference_fill(8, length);
    EXPECT_EQ(k->first_mismatch(shifted.data(), 0, length), 0);
    // A zero-filled block is not the pattern either.
    std::vector<unsigned char> zeros(length, 0);
    EXPECT_EQ(k->first_mismatch(zeros.data(), 0, length), 0);
}

TEST_P(PatternPathTest, CompareOfAMismatchedTailAlone)
{
    for (uint32_t length : {5u, 13u, 263u, 4099u}) {
        std::vector<unsigned char> buf = reference_fill(64, length);
        buf[length - 1] ^= 0x10;
        EXPECT_EQ(k->first_mismatch(buf.data(), 64, length), (int64_t)(length - length % 8))
            << k->name << " length " << length;
    }
    unsigned char none = 0;
    EXPECT_EQ(k->first_mismatch(&none, 0, 0), -1);
}

std::string path_name(const ::testing::TestParamInfo<int>& param)
{
    static const char* const names[] = {"scalar", "avx2", "avx512"};
    return names[param.param];
}

INSTANTIATE_TEST_SUITE_P(Paths, PatternPathTest,
                         ::testing::Values(PATTERN_PATH_SCALAR, PATTERN_PATH_AVX2,
                                           PATTERN_PATH_AVX512),
                         path_name);

}  // namespace
