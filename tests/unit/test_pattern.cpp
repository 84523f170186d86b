// The test pattern: the known values pin the plain loops; every vector path,
// and the pool that shares a block among threads, must then give exactly the
// plain loops' bytes and answers.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/pattern.h"
#include "engine/pattern_pool.h"
#include "engine/pool_pacing.h"
#include "fake/fake_platform.h"

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

// The pool, with real threads: every piece, whichever thread takes it, must
// leave the bytes and the answer of the plain loop on the whole block.
const uint32_t kPiece = PATTERN_POOL_MIN_PIECE_BYTES;
// Two pieces exactly, the largest block kept whole, a block whose pieces do not
// come out even and end in a partial word, the program's block, and one that
// needs 4 KiB-rounded pieces of unequal size.
const uint32_t pool_lengths[] = {2 * kPiece, 2 * kPiece - 8, 3 * kPiece + 4096 * 5 + 13,
                                 8u << 20, (8u << 20) + 4096 * 7 + 24};
const uint32_t pool_threads[] = {1, 2, 3, 4, 9};

TEST(PatternPool, FillEqualsTheOneCorePathForEveryThreadCount)
{
    fake_reset();
    for (uint32_t threads : pool_threads) {
        PatternPoolOwner pool(threads);
        ASSERT_TRUE(pool.started);
        ASSERT_EQ(pattern_pool_threads(), std::min(threads, (uint32_t)PATTERN_POOL_MAX_THREADS));
        for (uint32_t length : pool_lengths) {
            for (uint64_t offset : {0ull, (1ull << 40) + 56}) {
                Guarded buf(length, 0);
                pattern_fill_parallel(buf.data(), offset, length);
                ASSERT_TRUE(memcmp(buf.data(), reference_fill(offset, length).data(), length) == 0)
                    << threads << " threads, length " << length << " offset " << offset;
                for (size_t i = 0; i < guard; i++) {
                    ASSERT_EQ(buf.bytes[i], guard_byte) << threads << " threads wrote before";
                    ASSERT_EQ(buf.bytes[buf.start + length + i], guard_byte)
                        << threads << " threads wrote after, length " << length;
                }
            }
        }
    }
    EXPECT_EQ(g_fake.threads_running, 0);
    EXPECT_EQ(pattern_pool_threads(), 1u);
}

TEST(PatternPool, CompareReportsTheLowestDifferenceWhicheverPiecesHoldOne)
{
    fake_reset();
    const uint32_t length = (8u << 20) + 4096 * 7 + 29;
    const uint64_t offset = 5ull << 30;
    const uint32_t end = length - 1;
    // Byte positions flipped together: one in the first, a middle and the last
    // piece (its tail), either side of a piece boundary, and several pieces at
    // once, given highest first, so that a later piece may well finish first.
    const std::vector<std::vector<uint32_t>> cases = {
        {},
        {0},
        {length / 2 + 3},
        {end},
        {end, length - 13},
        {kPiece - 1},
        {kPiece},
        {end, length / 2, 3 * kPiece + 17},
        {end, 6u << 20, 4u << 20, 2u << 20, kPiece + 9},
        {end, length / 3, 12},
        // Found late in every later piece, after the first piece found its own.
        {end, 7 * (length / 8) - 64, 6 * (length / 8) - 64, 5 * (length / 8) - 64,
         4 * (length / 8) - 64, 3 * (length / 8) - 64, 2 * (length / 8) - 64, length / 16},
    };
    for (uint32_t threads : pool_threads) {
        PatternPoolOwner pool(threads);
        ASSERT_TRUE(pool.started);
        std::vector<unsigned char> buf = reference_fill(offset, length);
        for (const auto& flips : cases) {
            int64_t want = -1;
            for (uint32_t pos : flips) {
                buf[pos] ^= 0x40;
                if (want < 0 || pos < want) want = pos - pos % 8;
            }
            for (int round = 0; round < 5; round++) {
                ASSERT_EQ(pattern_first_mismatch_parallel(buf.data(), offset, length), want)
                    << threads << " threads, first flip " << (flips.empty() ? -1 : (int)flips[0]);
            }
            for (uint32_t pos : flips) buf[pos] ^= 0x40;
        }
        // Every piece differs: a block of zeros, and the right data one word late.
        std::vector<unsigned char> zeros(length, 0);
        EXPECT_EQ(pattern_first_mismatch_parallel(zeros.data(), offset, length), 0);
        std::vector<unsigned char> shifted = reference_fill(offset + 8, length);
        EXPECT_EQ(pattern_first_mismatch_parallel(shifted.data(), offset, length), 0);
    }
}

// Jobs apart in time, as between I/O calls: a steady gap lets workers nap and
// spin, a gap cut short brings the job while they nap, a long one finds them
// asleep until posted. Alternating fill and compare, each answer must stay
// exact, and the pool must stop whatever its workers were doing.
TEST(PatternPool, JobsApartInTimeStayExactWhateverTheWorkersWereDoing)
{
    fake_reset();
    const uint32_t length = (4u << 20) + 4096 * 3 + 40;
    const int gaps_us[] = {3000, 3000, 3000, 0, 3000, 3000, 9000, 3000, 200, 1500, 1500, 6000};
    for (uint32_t threads : {2u, 4u}) {
        PatternPoolOwner pool(threads);
        ASSERT_TRUE(pool.started);
        std::vector<unsigned char> buf(length);
        for (int job = 0; job < 96; job++) {
            std::this_thread::sleep_for(std::chrono::microseconds(gaps_us[job % 12]));
            uint64_t offset = (uint64_t)job * length;
            if (job % 2 == 0) {
                pattern_fill_parallel(buf.data(), offset, length);
                ASSERT_TRUE(buf == reference_fill(offset, length)) << threads << " threads, job " << job;
            } else {
                uint32_t flip = (uint32_t)(job * 104729u) % length;
                buf = reference_fill(offset, length);
                buf[flip] ^= 2;
                ASSERT_EQ(pattern_first_mismatch_parallel(buf.data(), offset, length), flip - flip % 8)
                    << threads << " threads, job " << job;
            }
        }
    }
    EXPECT_EQ(g_fake.threads_running, 0);
}

// Workers nap until the shortest recent cycle less a lead is over, and spin
// until it and the lead are past; old cycles leave the window, and a nap is
// capped.
TEST(PatternPool, PacingFollowsTheShortestRecentCycle)
{
    struct Case {
        std::vector<int64_t> cycles_us;
        int64_t nap_end_us, spin_end_us;
    };
    const Case cases[] = {
        {{}, 0, PACING_SPIN_FIRST_US},
        {{100}, 0, 100 + 2 * 151},  // too short to nap in
        {{24000}, 24000 - 525, 24000 + 2 * 525},
        {{5200, 4800, 6000}, 4800 - 225, 4800 + 2 * 225},
        {{1000, 9000, 9000, 9000, 9000, 9000, 9000, 9000, 9000}, 9000 - 290, 9000 + 2 * 290},
        {{-5}, 0, 2 * 150},
        {{60000000}, PACING_NAP_MAX_US, 60000000 + 2 * PACING_LEAD_MAX_US},
        {{400000}, 400000 - PACING_LEAD_MAX_US, 400000 + 2 * PACING_LEAD_MAX_US},
    };
    for (const Case& c : cases) {
        PoolPacing p;
        pacing_reset(&p);
        for (int64_t cycle : c.cycles_us) pacing_add_cycle(&p, cycle);
        EXPECT_EQ(pacing_nap_end_us(&p), c.nap_end_us) << c.cycles_us.size() << " cycles";
        EXPECT_EQ(pacing_spin_end_us(&p), c.spin_end_us) << c.cycles_us.size() << " cycles";
    }
}

TEST(PatternPool, WorkersThatCannotStartLeaveTheCallerTheWholeBlock)
{
    fake_reset();
    g_fake.thread_start_error = 8;
    {
        PatternPoolOwner pool(4);
        EXPECT_FALSE(pool.started);
        EXPECT_EQ(pattern_pool_threads(), 1u);
        const uint32_t length = 8u << 20;
        std::vector<unsigned char> buf(length);
        pattern_fill_parallel(buf.data(), 64, length);
        EXPECT_TRUE(buf == reference_fill(64, length));
        buf[length - 1] ^= 1;
        EXPECT_EQ(pattern_first_mismatch_parallel(buf.data(), 64, length), length - 8);
    }
    EXPECT_EQ(g_fake.threads_started, 0);
    EXPECT_EQ(g_fake.threads_running, 0);
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
