// One scenario harness for the two phases: a small test configuration on the
// fake platform, a log on a temporary file, and the log's lines afterwards.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console/console.h"
#include "engine/pattern.h"
#include "report/phase_reporter.h"
#include "fake/fake_platform.h"
#include "engine/test_config.h"
#include "engine/test_results.h"

inline constexpr uint32_t kBlock = 65536;
inline constexpr uint32_t kAlign = 4096;
inline const wchar_t kTestFile[] = L"/mnt/t/test.bin";

// A case changes the configuration and arms the fake before the phase runs.
using Arrange = std::function<void(TestConfig&, TestResults&)>;

// How a phase may run: alone on one CPU, with its helper thread beside the I/O
// calls, on two CPUs with a helper that cannot start, or with a helper and reads
// that are copies made by the calling CPU (the verification's threads then take
// turns at reading, unless drives side by side leave too few CPUs for that).
// Every case must come out the same in all of them.
struct RunMode {
    const char* name;
    uint32_t cpus;
    uint32_t thread_start_error;
    int helpers; // threads a phase that reaches its timed part starts
    int reads_use_cpu;
    uint32_t drives; // side by side
    int turns;       // the verification's reads alternate between the threads
};
inline const RunMode kRunModes[] = {{"sequential", 1, 0, 0, 0, 1, 0},
                                    {"pipelined", 2, 0, 1, 0, 1, 0},
                                    {"helper cannot start", 2, 8, 0, 0, 1, 0},
                                    {"reads are copies", 2, 0, 1, 1, 1, 1},
                                    {"copies, two drives on 3 CPUs", 3, 0, 1, 1, 2, 0}};

class PhaseHarness {
public:
    explicit PhaseHarness(const RunMode& mode = kRunModes[0])
        : config(std::make_unique<TestConfig>()) {
        fake_reset();
        g_fake.cpus = mode.cpus;
        g_fake.thread_start_error = mode.thread_start_error;
        g_fake.reads_use_cpu = mode.reads_use_cpu;
        FakeVolume volume;
        volume.root = L"/mnt/t/";
        volume.free_bytes = 1ull << 40;
        g_fake.volumes.push_back(volume);
        g_fake.out_is_console = true;
        g_fake.write_cost = 0.25;  // one block per quarter second: 0.262144 MB/s
        g_fake.read_cost = 0.25;
        wcscpy(config->target_path, kTestFile);
        config->alignment_bytes = kAlign;
        config->block_size_bytes = kBlock;
        config->drives_side_by_side = mode.drives;
    }
    ~PhaseHarness() {
        samples_release(&results.write_samples);
        samples_release(&results.read_samples);
        damage_release(&results.damage);
    }

    // Runs a phase with the program's own reporter writing to a temporary log.
    std::vector<std::string> run(const std::function<void(PhaseObserver*)>& phase) {
        FILE* log = tmpfile();
        EXPECT_NE(log, nullptr);
        if (!log) return {};
        PhaseReporter reporter(log);
        phase(&reporter);
        rewind(log);
        std::vector<std::string> lines;
        char line[512];
        while (fgets(line, sizeof line, log)) {
            line[strcspn(line, "\n")] = '\0';
            lines.push_back(line);
        }
        fclose(log);
        return lines;
    }

    static std::vector<uint8_t> pattern_bytes(uint64_t length) {
        std::vector<uint8_t> bytes(length);
        pattern_fill(bytes.data(), 0, (uint32_t)length);
        return bytes;
    }

    static std::wstring segment(uint32_t index) {
        wchar_t suffix[16];
        swprintf(suffix, 16, L".%03u", index);
        return index == 0 ? std::wstring(kTestFile) : kTestFile + std::wstring(suffix);
    }

    // The stored test: NAME, NAME.001, ... joined while they exist.
    static std::vector<uint8_t> joined() {
        std::vector<uint8_t> all;
        for (uint32_t k = 0; g_fake.files.count(segment(k)); k++)
            all.insert(all.end(), fake_file(segment(k)).begin(), fake_file(segment(k)).end());
        return all;
    }

    static uint32_t segment_files() {
        uint32_t n = 0;
        while (g_fake.files.count(segment(n))) n++;
        return n;
    }

    // Cuts the stored test file into segments of segment_bytes.
    static void split(uint64_t segment_bytes) {
        std::vector<uint8_t> all = fake_file(kTestFile);
        for (uint32_t k = 0; (uint64_t)k * segment_bytes < all.size(); k++) {
            uint64_t end = std::min<uint64_t>(all.size(), (k + 1) * segment_bytes);
            g_fake.files[segment(k)].data.assign(all.begin() + k * segment_bytes,
                                                 all.begin() + end);
        }
    }

    static int frames(const char* phase_text) {
        int count = 0;
        for (size_t at = g_fake.out.find(phase_text); at != std::string::npos;
             at = g_fake.out.find(phase_text, at + 1))
            count++;
        return count;
    }

    std::unique_ptr<TestConfig> config;
    TestResults results{};
};

// A test in segments of bytes each, on a FAT volume.
inline void segmented(TestConfig& c, uint64_t bytes) {
    c.segment_bytes = bytes;
    wcscpy(c.filesystem, L"vfat");
}

// Speed, mean, min, median and max when every sample ran at one block per 0.25 s.
inline const char kFullSpeed[] = "0.262144,0.262144,0.262144,0.262144,0.262144";
inline std::string row(const std::string& head, const std::string& tail) {
    return head + "," + kFullSpeed + "," + tail;
}
