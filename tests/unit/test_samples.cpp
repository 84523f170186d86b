#include "engine/samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "fake/fake_platform.h"

namespace {

class Samples : public ::testing::Test {
protected:
    void SetUp() override { fake_reset(); }
    void TearDown() override { samples_release(&set); }
    void add_all(std::initializer_list<double> values) {
        for (double v : values) ASSERT_EQ(samples_add(&set, v), 1);
    }
    SampleSet set{};
};

TEST(SpeedRule, BytesPerMicrosecondWhenTimeIsPositive) {
    struct { uint64_t bytes; double seconds; double mbps; } cases[] = {
        {8388608, 0.5, 16.777216},
        {400000000, 0.8, 500.0},
        {12345, 0.0, 0.0},
        {12345, -1.0, 0.0},
        {0, 2.0, 0.0},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(speed_mbps(c.bytes, c.seconds), c.mbps);
}

TEST_F(Samples, EmptySetIsAllZero) {
    EXPECT_EQ(samples_median(&set), 0.0);
    EXPECT_EQ(samples_mean(&set), 0.0);
    EXPECT_EQ(samples_below(&set, 100.0), 0u);
    EXPECT_EQ(g_fake.alloc_calls, 0u);  // no working copy for nothing
}

TEST_F(Samples, OneZeroSampleSetsBothExtremes) {
    set.min = -5;  // would survive if the first sample did not set both
    set.max = 5;
    add_all({0.0});
    EXPECT_EQ(set.count, 1u);
    EXPECT_EQ(set.min, 0.0);
    EXPECT_EQ(set.max, 0.0);
}

TEST_F(Samples, StatisticsKeepInsertionOrder) {
    add_all({5, 1, 3});
    EXPECT_EQ(set.min, 1.0);
    EXPECT_EQ(set.max, 5.0);
    EXPECT_EQ(set.total, 9.0);
    EXPECT_EQ(samples_mean(&set), 3.0);
    EXPECT_EQ(samples_median(&set), 3.0);
    add_all({4});
    EXPECT_EQ(samples_median(&set), 3.5);
    EXPECT_EQ(std::vector<double>(set.values, set.values + set.count),
              (std::vector<double>{5, 1, 3, 4}));
    EXPECT_EQ(g_fake.alloc_calls, 1u);  // the median needs no working copy
}

// The running median against a full sort of the same samples, at every count,
// through growth, with repeats, negative zero and runs in either direction.
TEST_F(Samples, RunningMedianEqualsTheSortedMiddleAtEveryCount) {
    std::vector<double> seen;
    uint64_t x = 12345;
    for (int i = 0; i < 3000; i++) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        double v = i % 7 == 0 ? -0.0 : i < 1500 ? (double)(x >> 54) : 3000.0 - i;
        add_all({v});
        seen.push_back(v);
        std::vector<double> sorted = seen;
        std::sort(sorted.begin(), sorted.end());
        size_t mid = sorted.size() / 2;
        double want = sorted.size() % 2 ? sorted[mid] : (sorted[mid] + sorted[mid - 1]) * 0.5;
        ASSERT_EQ(samples_median(&set), want) << "after " << seen.size();
    }
}

TEST_F(Samples, FailedOrderGrowthChangesNothing) {
    for (int i = 0; i < 1024; i++) ASSERT_EQ(samples_add(&set, 10.0 + i), 1);
    const SampleSet before = set;
    g_fake.fail_alloc_calls = {2};
    EXPECT_EQ(samples_add(&set, 1.0), 0);
    EXPECT_EQ(set.values, before.values);
    EXPECT_EQ(set.order, before.order);
    EXPECT_EQ(set.capacity, before.capacity);
    EXPECT_EQ(samples_median(&set), 521.5);
}

TEST_F(Samples, SummaryCountsBelowItsOwnThresholdAsSamplesArrive) {
    set.threshold = 100.0;
    add_all({99.99, 100.0, 150, 50});
    SampleSummary own = samples_summary(&set, 100.0);
    SampleSummary other = samples_summary(&set, 150.01);
    EXPECT_EQ(own.below, 2u);
    EXPECT_EQ(other.below, 4u);
    EXPECT_EQ(samples_summary(&set, 0.0).below, 0u);
    EXPECT_EQ(own.count, 4u);
    EXPECT_EQ(own.min, 50.0);
    EXPECT_EQ(own.max, 150.0);
    EXPECT_DOUBLE_EQ(own.mean, 99.9975);
    EXPECT_EQ(own.median, 99.995);
}

TEST_F(Samples, GrowsTo1024ThenDoubles) {
    for (int i = 0; i < 2049; i++) ASSERT_EQ(samples_add(&set, i), 1);
    EXPECT_EQ(g_fake.realloc_sizes, (std::vector<size_t>{8192, 16384, 32768}));
    EXPECT_EQ(set.capacity, 4096u);
    EXPECT_EQ(set.count, 2049u);
    EXPECT_EQ(set.values[2048], 2048.0);
    EXPECT_EQ(set.values[0], 0.0);
    EXPECT_EQ(samples_median(&set), 1024.0);
}

TEST_F(Samples, FailedGrowthChangesNothing) {
    for (int i = 0; i < 1024; i++) ASSERT_EQ(samples_add(&set, 10.0 + i), 1);
    const SampleSet before = set;
    g_fake.fail_realloc_calls = {2};
    EXPECT_EQ(samples_add(&set, 1.0), 0);
    EXPECT_EQ(set.values, before.values);
    EXPECT_EQ(set.count, before.count);
    EXPECT_EQ(set.capacity, before.capacity);
    EXPECT_EQ(set.min, before.min);
    EXPECT_EQ(set.max, before.max);
    EXPECT_EQ(set.total, before.total);
    EXPECT_EQ(samples_add(&set, 1.0), 1);  // the old array is still the set's
    EXPECT_EQ(set.min, 1.0);
    EXPECT_EQ(set.values[1023], 1033.0);
}

TEST_F(Samples, FirstGrowthFailureLeavesEmptySet) {
    g_fake.fail_realloc_calls = {1};
    EXPECT_EQ(samples_add(&set, 7.0), 0);
    EXPECT_EQ(set.values, nullptr);
    EXPECT_EQ(set.count + set.capacity, 0u);
    EXPECT_EQ(set.total, 0.0);
}

TEST_F(Samples, CapacityWhoseByteSizeOverflowsIsRefusedWithoutReallocating) {
    double one = 1.0;
    SampleSet huge{&one, 1ull << 61, 1ull << 61, 1.0, 1.0, 1.0, nullptr, 0, 0, 0.0, 0};
    EXPECT_EQ(samples_add(&huge, 2.0), 0);
    EXPECT_EQ(g_fake.realloc_calls, 0u);
    EXPECT_EQ(huge.capacity, 1ull << 61);
    EXPECT_EQ(huge.values, &one);
}

TEST_F(Samples, NaNEntersTotalButNeverAnExtreme) {
    add_all({2, NAN, 1, 3});
    EXPECT_EQ(set.count, 4u);
    EXPECT_EQ(set.min, 1.0);
    EXPECT_EQ(set.max, 3.0);
    EXPECT_TRUE(std::isnan(set.total));
    EXPECT_TRUE(std::isnan(set.values[1]));
    EXPECT_EQ(samples_below(&set, 2.5), 2u);  // NaN is not below anything
}

TEST(CompareDouble, AscendingAndNaNEqualToAll) {
    struct { double a, b; int result; } cases[] = {
        {1, 2, -1}, {2, 1, 1}, {3, 3, 0}, {-0.0, 0.0, 0}, {NAN, 1, 0}, {1, NAN, 0}, {NAN, NAN, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(compare_double(&c.a, &c.b), c.result) << c.a << " " << c.b;
}

TEST_F(Samples, BelowCountsStrictlyAndOnlyForPositiveThreshold) {
    add_all({99.99, 100.0, 150, -1.0});  // the negative one shows a zero threshold counts nothing
    EXPECT_EQ(samples_below(&set, 100.0), 2u);
    EXPECT_EQ(samples_below(&set, 150.01), 4u);
    EXPECT_EQ(samples_below(&set, 0.0), 0u);
    EXPECT_EQ(samples_below(&set, -1.0), 0u);
    EXPECT_EQ(samples_below(&set, NAN), 0u);
}

TEST_F(Samples, ClockFollowsTheCounter) {
    g_fake.now = 12.5;
    double t0 = qpc_seconds();
    g_fake.now = 14.25;
    EXPECT_DOUBLE_EQ(qpc_seconds() - t0, 1.75);
    EXPECT_EQ(qpc_frequency(), 1000000000);
    EXPECT_DOUBLE_EQ(qpc_interval(1000, 3000000), 0.002999);
}

}  // namespace
