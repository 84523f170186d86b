// The quick probe end to end against the in-memory fake device: the verdict
// for each kind of drive, W exact and X within 1 %, and the device's bytes
// after the restore equal to those before.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/probe.h"
#include "engine/probe_block.h"
#include "fake/fake_device.h"
#include "fake/fake_platform.h"

namespace {

const uint64_t MiB = 1ull << 20;
const uint64_t GiB = 1ull << 30;
const uint64_t TiB = 1ull << 40;
const wchar_t* const JOURNAL = L"/home/user/probe.journal";

struct Observer : ProbeObserver {
    uint64_t calls = 0;
    uint64_t stop_at = 0; // non-zero: stop once this many progress calls were made
    ProbeProgress last = {};
    bool past_total = false;
    bool backwards = false;
    void progress(const ProbeProgress& p) override {
        calls++;
        past_total |= p.bytes_done > p.bytes_total;
        backwards |= p.phase < last.phase || p.bytes_done < last.bytes_done;
        last = p;
    }
    int stop_requested() override { return stop_at && calls >= stop_at; }
};

JournalHeader header_for(uint64_t size, uint64_t salt) {
    JournalHeader h = {};
    h.salt = salt;
    h.device_bytes = size;
    h.created = {2026, 12, 10, 12, 0, 0};
    wcscpy(h.device_path, L"/dev/sdz");
    strcpy(h.identity, "FAKE-SERIAL-1");
    return h;
}

// A probe run with its journal; the device and the journal stay for the caller.
struct Probe {
    ProbePlan plan = {};
    Journal journal;
    ProbeResult result = {};
    int outcome = -1;
    ~Probe() { probe_plan_release(&plan); }
};

void run_probe(FakeDevice* d, Probe* p, ProbeObserver* observer = nullptr) {
    ASSERT_TRUE(probe_plan_make(d->announced, &p->plan));
    JournalHeader h = header_for(d->announced, d->salt);
    ASSERT_TRUE(journal_create(JOURNAL, &h, &p->journal));
    ProbeIo io = fake_device_io(d);
    p->outcome = probe_run(&io, &p->plan, &p->journal, observer, &p->result);
}

void expect_restored(FakeDevice* d, Journal* journal) {
    ProbeIo io = fake_device_io(d);
    ProbeRestore rr;
    EXPECT_EQ(probe_restore(&io, journal, nullptr, &rr), 1);
    EXPECT_EQ(rr.sectors_differing, 0u);
    EXPECT_EQ(rr.records, journal->record_count);
    // Reverse replay alone leaves the original; only a cache that still
    // answers with this run's blocks needs records written again.
    if (d->cache_bytes == 0) {
        EXPECT_EQ(rr.records_rewritten, 0u);
    }
    std::vector<uint64_t> listed;
    EXPECT_EQ(fake_device_changed(*d, &listed, 4), 0u)
        << "first changed sector " << (listed.empty() ? 0 : listed[0]);
    // And once a write-back cache has given everything to the medium.
    fake_device_drain(d);
    EXPECT_EQ(fake_device_changed(*d, &listed, 4), 0u)
        << "first changed sector after the drain " << (listed.empty() ? 0 : listed[0]);
}

struct Row {
    const char* name;
    std::function<void(FakeDevice&)> make;
    int verdict;
    uint64_t wrap;  // exact
    uint64_t drop;  // within 1 % below
};

void check_rows(const std::vector<Row>& rows) {
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fake_reset_with_card();
        FakeDevice d;
        d.salt = 0x0123456789ABCDEFull ^ (uint64_t)strlen(row.name);
        row.make(d);
        // Nothing below 1 MiB is ever written, restore included.
        uint64_t low_writes = 0;
        d.on_write = [&](uint64_t, uint64_t offset, uint32_t) { low_writes += offset < MiB; };
        Probe p;
        Observer o;
        run_probe(&d, &p, &o);
        ASSERT_EQ(p.outcome, PROBE_DONE);
        // Progress runs forwards to its total, never past it.
        EXPECT_FALSE(o.past_total);
        EXPECT_FALSE(o.backwards);
        EXPECT_EQ(o.last.phase, PROBE_PHASE_READ);
        EXPECT_EQ(o.last.spots_done, p.plan.spot_count);
        if (d.error_sectors.empty()) {
            EXPECT_EQ(o.last.bytes_done, o.last.bytes_total);
        }
        const ProbeResult& r = p.result;
        EXPECT_EQ(r.verdict, row.verdict) << probe_verdict_name(r.verdict);
        EXPECT_EQ(r.positions, p.plan.spot_count);
        EXPECT_EQ(r.announced_bytes, d.announced);
        if (row.verdict == PROBE_NO_FAKE_FOUND) {
            EXPECT_EQ(r.usable_bytes, d.announced);
            EXPECT_EQ(r.bad_positions, 0u);
        }
        if (row.verdict == PROBE_WRAPS) {
            EXPECT_EQ(r.wrap_bytes, row.wrap);
            EXPECT_EQ(r.usable_bytes, row.wrap);
            EXPECT_GT(r.window_blocks, 0u);
        } else {
            EXPECT_EQ(r.wrap_bytes, 0u);
        }
        if (row.verdict == PROBE_DROPS) {
            EXPECT_LE(r.drop_bytes, row.drop);
            EXPECT_GE(r.drop_bytes * 101, row.drop * 100) << r.drop_bytes;
            EXPECT_EQ(r.usable_bytes, r.drop_bytes);
        }
        if (row.verdict == PROBE_FAILING) {
            EXPECT_GT(r.bad_positions, 0u);
        }
        if (d.announced >= TiB) {
            EXPECT_LE(r.bytes_written, 512 * MiB);
        }
        expect_restored(&d, &p.journal);
        EXPECT_EQ(low_writes, 0u);
    }
}

TEST(QuickProbe, GenuineAndWrappingDrives)
{
    check_rows({
        {"genuine 1 TiB", [](FakeDevice& d) { d.announced = TiB; }, PROBE_NO_FAKE_FOUND, 0, 0},
        {"genuine 256 MiB", [](FakeDevice& d) { d.announced = 256 * MiB; }, PROBE_NO_FAKE_FOUND,
         0, 0},
        {"1 TiB wrapping at 32 GiB",
         [](FakeDevice& d) { d.announced = TiB; d.wrap = 32 * GiB; }, PROBE_WRAPS, 32 * GiB, 0},
        {"64 GiB wrapping at 7.3 GiB",
         [](FakeDevice& d) { d.announced = 64 * GiB; d.wrap = 7838315008ull; }, PROBE_WRAPS,
         7838315008ull, 0},
        {"8 GiB wrapping at 64 MiB",
         [](FakeDevice& d) { d.announced = 8 * GiB; d.wrap = 64 * MiB; }, PROBE_WRAPS, 64 * MiB, 0},
        {"1 TiB wrapping 512 bytes short of its end",
         [](FakeDevice& d) { d.announced = TiB; d.wrap = TiB - 512; }, PROBE_WRAPS, TiB - 512, 0},
        {"128 GiB wrapping at 8 GiB behind a 256 MiB cache",
         [](FakeDevice& d) { d.announced = 128 * GiB; d.wrap = 8 * GiB; d.cache_bytes = 256 * MiB; },
         PROBE_WRAPS, 8 * GiB, 0},
        {"1 TiB wrapping at 1 GiB behind a 256 MiB write-back cache",
         [](FakeDevice& d) { d.announced = TiB; d.wrap = GiB; d.cache_bytes = 256 * MiB; d.write_back = true; },
         PROBE_WRAPS, GiB, 0},
    });
}

TEST(QuickProbe, DrivesThatDropData)
{
    check_rows({
        {"16 GiB reading zeros past 3.7 GiB",
         [](FakeDevice& d) { d.announced = 16 * GiB; d.drop_past = 3972844032ull; d.drop_reads_zero = true; },
         PROBE_DROPS, 0, 3972844032ull},
        {"1 TiB keeping its old data past 100 GiB",
         [](FakeDevice& d) { d.announced = TiB; d.drop_past = 100 * GiB + 12345 * 512; },
         PROBE_DROPS, 0, 100 * GiB + 12345 * 512},
        {"1 TiB losing data past 40 MiB",
         [](FakeDevice& d) { d.announced = TiB; d.drop_past = 40 * MiB; d.drop_reads_zero = true; },
         PROBE_DROPS, 0, 40 * MiB},
        {"32 GiB losing data past 5 GiB behind a 256 MiB cache",
         [](FakeDevice& d) { d.announced = 32 * GiB; d.drop_past = 5 * GiB + 4096 * 7; d.cache_bytes = 256 * MiB; },
         PROBE_DROPS, 0, 5 * GiB + 4096 * 7},
        {"1 TiB losing data past 4 GiB behind a 256 MiB write-back cache",
         [](FakeDevice& d) { d.announced = TiB; d.drop_past = 4 * GiB; d.drop_reads_zero = true; d.cache_bytes = 256 * MiB; d.write_back = true; },
         PROBE_DROPS, 0, 4 * GiB},
    });
}

// A sound drive with damage the verdicts do not name: failing or nothing
// found, never a wrap or a drop.
TEST(QuickProbe, SoundDrivesWithDamage)
{
    // Sectors of two spots of a plan for 64 GiB, to damage on a sound drive.
    ProbePlan p64;
    ASSERT_TRUE(probe_plan_make(64 * GiB, &p64));
    const uint64_t spot_a = p64.spots[37] + 1024, spot_b = p64.spots[400];
    const uint64_t far_spot = p64.spots[p64.spot_count - 300];
    // A window sector no spot covers: just after the first spot.
    const uint64_t between = p64.spots[0] + PROBE_SPOT_BYTES + 512;
    ASSERT_GE(p64.spots[1], between + 512);
    probe_plan_release(&p64);
    check_rows({
        {"64 GiB sound with two bad sectors in spots",
         [&](FakeDevice& d) { d.announced = 64 * GiB; d.bad_sectors = {spot_a, spot_b}; },
         PROBE_FAILING, 0, 0},
        {"64 GiB sound, a window sector misread as a far spot's",
         [&](FakeDevice& d) { d.announced = 64 * GiB; d.misread = {{between, far_spot}}; },
         PROBE_NO_FAKE_FOUND, 0, 0},
        {"64 GiB sound, a spot's sector misread as a far spot's",
         [&](FakeDevice& d) { d.announced = 64 * GiB; d.misread = {{spot_b + 1024, far_spot + 512}}; },
         PROBE_FAILING, 0, 0},
        {"64 GiB sound with an unreadable sector in a spot",
         [&](FakeDevice& d) { d.announced = 64 * GiB; d.error_sectors = {spot_b + 512}; },
         PROBE_FAILING, 0, 0},
    });
}

} // namespace
