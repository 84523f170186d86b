// Speed levels on synthetic series: noise is not a level, a short dip is not
// a level, and a real step is found at its sample.
#include <gtest/gtest.h>

#include <vector>

#include "report/speed_levels.h"

namespace {

struct Level {
    uint64_t end;
    double mbps;
};
struct Dip {
    uint64_t at, length;
    double factor;
};

// Levels with uniform noise of +-noise (a fixed sequence), then the dips.
std::vector<double> series(const std::vector<Level>& levels, double noise,
                           const std::vector<Dip>& dips) {
    std::vector<double> s;
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (const Level& l : levels) {
        while (s.size() < l.end) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            double u = (double)(state >> 11) / 9007199254740992.0; // [0, 1)
            s.push_back(l.mbps * (1 + noise * (2 * u - 1)));
        }
    }
    for (const Dip& d : dips) {
        for (uint64_t i = d.at; i < d.at + d.length; i++) s[i] *= d.factor;
    }
    return s;
}

TEST(SpeedLevels, FindsEachLevelAndNothingElse) {
    struct Case {
        const char* name;
        std::vector<Level> levels;
        double noise;
        std::vector<Dip> dips;
        int merged = 0; // 1: the levels above are too close to count as two
    } cases[] = {
        {"empty", {}, 0.1, {}},
        {"flat, +-10 % noise", {{300, 500}}, 0.1, {}},
        {"flat and exact", {{40, 80}}, 0.0, {}},
        {"flat, +-30 % noise", {{300, 100}}, 0.3, {}},
        {"an 8 % step is no new level", {{150, 100}, {300, 92}}, 0.02, {}, 1},
        {"cache runs out", {{137, 900}, {300, 450}}, 0.1, {}},
        {"short run, late step", {{37, 900}, {60, 450}}, 0.1, {}},
        {"a slowdown over the last 5 %", {{1900, 500}, {2000, 110}}, 0.1, {}},
        {"two throttling steps", {{80, 40}, {140, 30}, {200, 22}}, 0.03, {}},
        {"back up after a slow stretch", {{100, 200}, {130, 60}, {250, 200}}, 0.1, {}},
        {"short dips and a stalled sample", {{200, 500}}, 0.1, {{60, 4, 0.3}, {150, 1, 0.0}}},
        {"dips next to a step", {{120, 900}, {240, 450}}, 0.1, {{40, 3, 0.1}, {121, 2, 0.2}}},
        {"first and last samples off", {{100, 100}}, 0.1, {{0, 2, 0.2}, {99, 1, 0.05}}},
        {"a million samples, one step", {{333333, 900}, {1000000, 450}}, 0.1, {{5000, 40, 0.1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<double> s = series(c.levels, c.noise, c.dips);
        SpeedLevel out[SPEED_LEVELS_MAX];
        int n = speed_levels(s.data(), s.size(), out);
        if (c.merged) {
            ASSERT_EQ(n, 1);
            EXPECT_EQ(out[0].end, s.size());
            continue;
        }
        ASSERT_EQ(n, (int)c.levels.size());
        uint64_t start = 0;
        for (int i = 0; i < n; i++) {
            SCOPED_TRACE(i);
            // Each boundary within one sample of the true step; together they cover the series.
            EXPECT_EQ(out[i].first, i == 0 ? 0 : out[i - 1].end);
            EXPECT_NEAR((double)out[i].first, (double)start, 1.0);
            EXPECT_NEAR((double)out[i].end, (double)c.levels[i].end, i + 1 == n ? 0.0 : 1.0);
            EXPECT_NEAR(out[i].median_mbps, c.levels[i].mbps, c.levels[i].mbps * 0.04);
            start = c.levels[i].end;
        }
    }
}

} // namespace
