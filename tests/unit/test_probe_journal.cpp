// The quick probe's journal: a crash at any write, a torn last record, an
// interrupted restore run again, reverse replay against forward replay on a
// wrapping drive, a journal that fails, a stop; and the journal's header.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <functional>
#include <vector>

#include "engine/probe.h"
#include "engine/probe_block.h"
#include "fake/fake_device.h"
#include "fake/fake_platform.h"

namespace {

const uint64_t MiB = 1ull << 20;
const uint64_t GiB = 1ull << 30;
const wchar_t* const JOURNAL = L"/home/user/probe.journal";
const wchar_t* const CRASHED = L"/home/user/crashed.journal";

struct Observer : ProbeObserver {
    uint64_t calls = 0;
    uint64_t stop_at = 0;
    void progress(const ProbeProgress&) override { calls++; }
    int stop_requested() override { return stop_at && calls >= stop_at; }
};

JournalHeader header_for(uint64_t size, uint64_t salt) {
    JournalHeader h = {};
    h.salt = salt;
    h.device_bytes = size;
    h.created = {2026, 12, 10, 12, 30, 59};
    wcscpy(h.device_path, L"/dev/disk/by-id/usb-\u00c9t\u00e9_stick");
    strcpy(h.identity, "usb:0781:5581:4C530001230913117035");
    return h;
}

// A 16 GiB drive that wraps at 4 GiB: two spots or a spot and the flush
// share cells, and the flush lands over the window.
void wrapping(FakeDevice* d) {
    d->announced = 16 * GiB;
    d->wrap = 4 * GiB;
    d->salt = 0xFEEDFACE12345678ull;
}

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

int restore(FakeDevice* d, Journal* j, ProbeRestore* rr) {
    ProbeIo io = fake_device_io(d);
    return probe_restore(&io, j, nullptr, rr);
}

// What a crash leaves of the journal: the bytes flushed to its medium.
void keep_durable(const wchar_t* from, const wchar_t* to, size_t cut) {
    const FakeFile& f = g_fake.files[from];
    FakeFile copy;
    copy.data.assign(f.data.begin(), f.data.begin() + (long)(f.durable - cut));
    copy.durable = copy.data.size();
    g_fake.files[to] = copy;
}

uint64_t changed(const FakeDevice& d) { return fake_device_changed(d, nullptr, 0); }

TEST(ProbeJournal, CrashAtAnyWriteThenRestoreFromWhatWasFlushed)
{
    // The plan writes its spots in batches of 64, then the flush: the first
    // and last writes of batches, the first flush write, the last of all.
    ProbePlan plan;
    ASSERT_TRUE(probe_plan_make(16 * GiB, &plan));
    const uint64_t spots = plan.spot_count, all = plan.spot_count + plan.flush_count;
    probe_plan_release(&plan);
    ASSERT_GT(spots, 200u);
    for (uint64_t crash_at : std::vector<uint64_t>{1, 64, 65, 200, spots, spots + 1, all}) {
        SCOPED_TRACE(crash_at);
        fake_reset_with_card();
        FakeDevice d;
        wrapping(&d);
        // Write crash_at happens; the process dies before the next one.
        d.on_write = [&](uint64_t call, uint64_t, uint32_t) {
            if (call == crash_at) keep_durable(JOURNAL, CRASHED, 0);
            if (call == crash_at + 1) d.frozen = true;
        };
        Probe p;
        run_probe(&d, &p);
        d.frozen = false;
        d.on_write = nullptr;
        ASSERT_GT(changed(d), 0u);
        Journal j;
        ASSERT_EQ(journal_open(CRASHED, &j), JOURNAL_OPENED);
        EXPECT_FALSE(j.torn_tail);
        ProbeRestore rr;
        EXPECT_EQ(restore(&d, &j, &rr), 1);
        EXPECT_EQ(changed(d), 0u);
        EXPECT_EQ(rr.sectors_differing, 0u);
        EXPECT_EQ(rr.records_rewritten, 0u);
    }
}

TEST(ProbeJournal, TornOrDamagedRecords)
{
    // The crash comes while batch 2 is journaled: 64 spots written, 128
    // records flushed, the last of them cut by a crash mid-append.
    const uint32_t last_record = 24 + 4096 + 8;
    const struct {
        const char* name;
        size_t cut;          // bytes lost at the end
        int64_t flip;        // >= 0: a byte flipped at this offset of the journal
        uint32_t records;
        int torn, damaged, restored;
    } rows[] = {
        {"whole", 0, -1, 128, 0, 0, 1},
        {"checksum missing", 8, -1, 127, 1, 0, 1},
        {"data cut", 2000, -1, 127, 1, 0, 1},
        {"head cut", last_record - 10, -1, 127, 1, 0, 1},
        {"last record's data damaged", 0, -1 - 100, 127, 1, 0, 1},
        {"a record in the middle damaged", 0, 4096 * 10, 9, 1, 1, 0},
        // Record 0's device offset (at 16 in its head) moved to sector 0.
        {"a record aimed below 1 MiB", 0, -2, 0, 1, 1, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fake_reset_with_card();
        FakeDevice d;
        wrapping(&d);
        d.on_write = [&](uint64_t call, uint64_t, uint32_t) {
            if (call == 65) {
                keep_durable(JOURNAL, CRASHED, row.cut);
                d.frozen = true;
            }
        };
        Probe p;
        run_probe(&d, &p);
        d.frozen = false;
        d.on_write = nullptr;
        std::vector<uint8_t>& bytes = g_fake.files[CRASHED].data;
        if (row.flip >= 0) bytes[(size_t)row.flip] ^= 0x40;
        if (row.flip == -2) {
            // Past the header: the first record's offset, zeroed with its checksum mended.
            JournalHeader h;
            ASSERT_EQ(journal_read_header(CRASHED, &h), JOURNAL_OPENED);
            size_t head = bytes.size();
            for (size_t at = 48; at + 8 <= bytes.size(); at++) {
                if (memcmp(&bytes[at], "djRecord", 8) == 0) { head = at; break; }
            }
            ASSERT_LT(head, bytes.size());
            memset(&bytes[head + 16], 0, 8);
            uint32_t length;
            memcpy(&length, &bytes[head + 12], 4);
            uint64_t sum = probe_checksum(&bytes[head + 24], length,
                                          probe_checksum(&bytes[head], 24, h.salt));
            memcpy(&bytes[head + 24 + length], &sum, 8);
        }
        if (row.flip < -1) bytes[bytes.size() + (size_t)(row.flip + 1)] ^= 0x40;
        Journal j;
        ASSERT_EQ(journal_open(CRASHED, &j), JOURNAL_OPENED);
        EXPECT_EQ(j.record_count, row.records);
        EXPECT_EQ(j.torn_tail, row.torn);
        EXPECT_EQ(j.damaged, row.damaged);
        ProbeRestore rr;
        EXPECT_EQ(restore(&d, &j, &rr), row.restored);
        if (row.restored) {
            EXPECT_EQ(changed(d), 0u);
        }
    }
}

TEST(ProbeJournal, InterruptedRestoreRunsAgain)
{
    for (uint64_t stop_after : {1u, 300u, 543u}) {
        SCOPED_TRACE(stop_after);
        fake_reset_with_card();
        FakeDevice d;
        wrapping(&d);
        Probe p;
        run_probe(&d, &p);
        ASSERT_EQ(p.outcome, PROBE_DONE);
        EXPECT_EQ(p.result.verdict, PROBE_WRAPS);
        uint64_t before = d.writes;
        d.on_write = [&](uint64_t call, uint64_t, uint32_t) {
            if (call > before + stop_after) d.frozen = true;
        };
        ProbeRestore rr;
        EXPECT_EQ(restore(&d, &p.journal, &rr), 0);
        d.frozen = false;
        d.on_write = nullptr;
        // A new process: the journal as the file holds it.
        Journal j;
        ASSERT_EQ(journal_open(JOURNAL, &j), JOURNAL_OPENED);
        EXPECT_EQ(j.record_count, p.journal.record_count);
        EXPECT_EQ(restore(&d, &j, &rr), 1);
        EXPECT_EQ(changed(d), 0u);
    }
}

TEST(ProbeJournal, ReverseReplayRestoresWhereForwardWouldNot)
{
    fake_reset_with_card();
    FakeDevice d;
    wrapping(&d);
    Probe p;
    run_probe(&d, &p);
    ASSERT_EQ(p.outcome, PROBE_DONE);
    // In write order, the record of a later write over a shared cell goes
    // back last and leaves this run's block there.
    FakeDevice forward = d;
    ProbeIo io = fake_device_io(&forward);
    std::vector<uint8_t> buffer(8 * MiB);
    for (uint32_t i = 0; i < p.journal.record_count; i++) {
        ASSERT_TRUE(journal_read_record(&p.journal, i, buffer.data()));
        uint32_t code;
        const JournalRecord& r = p.journal.records[i];
        ASSERT_TRUE(io.write_at(io.context, r.device_offset, buffer.data(), r.length, &code));
    }
    EXPECT_GT(changed(forward), 0u);
    ProbeRestore rr;
    EXPECT_EQ(restore(&d, &p.journal, &rr), 1);
    EXPECT_EQ(changed(d), 0u);
    EXPECT_EQ(rr.records_rewritten, 0u);
}

TEST(ProbeJournal, AFailingJournalOrAStopEndsTheProbeAndRestoreUndoesIt)
{
    ProbePlan plan;
    ASSERT_TRUE(probe_plan_make(16 * GiB, &plan));
    // Each spot tells its backup read and its write.
    const uint64_t in_flush = 2ull * plan.spot_count + 20;
    const uint64_t spots = plan.spot_count;
    probe_plan_release(&plan);
    const struct {
        const char* name;
        uint64_t fail_write_at; // the journal's Nth positioned write fails
        uint64_t stop_at;       // progress calls before a stop
        int outcome;
        uint64_t device_writes_at_least;
        uint64_t device_writes_at_most;
    } rows[] = {
        {"first record", 2, 0, PROBE_JOURNAL_FAILED, 0, 0},
        {"a record of batch 2", 1 + 3 * 70, 0, PROBE_JOURNAL_FAILED, 64, 64},
        {"stop at once", 0, 1, PROBE_STOPPED, 0, 0},
        {"stop among the spots", 0, 150, PROBE_STOPPED, 1, 150},
        {"stop in the flush", 0, in_flush, PROBE_STOPPED, spots + 1, spots + 20},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fake_reset_with_card();
        FakeDevice d;
        wrapping(&d);
        Observer o;
        o.stop_at = row.stop_at;
        Probe p;
        ASSERT_TRUE(probe_plan_make(d.announced, &p.plan));
        JournalHeader h = header_for(d.announced, d.salt);
        ASSERT_TRUE(journal_create(JOURNAL, &h, &p.journal));
        g_fake.fail_write_at_call = row.fail_write_at;
        ProbeIo io = fake_device_io(&d);
        EXPECT_EQ(probe_run(&io, &p.plan, &p.journal, &o, &p.result), row.outcome);
        EXPECT_LE(d.writes, row.device_writes_at_most);
        EXPECT_GE(d.writes, row.device_writes_at_least);
        if (row.outcome == PROBE_JOURNAL_FAILED) {
            EXPECT_EQ(p.result.journal_error, 29u);
        }
        g_fake.fail_write_at_call = 0;
        ProbeRestore rr;
        EXPECT_EQ(restore(&d, &p.journal, &rr), 1);
        EXPECT_EQ(changed(d), 0u);
    }
}

TEST(ProbeJournal, HeaderAndItsDevice)
{
    fake_reset_with_card();
    JournalHeader h = header_for(16 * GiB, 42);
    {
        Journal j;
        ASSERT_TRUE(journal_create(JOURNAL, &h, &j));
        Journal again;
        EXPECT_FALSE(journal_create(JOURNAL, &h, &again)); // never over an existing file
    }
    JournalHeader read;
    ASSERT_EQ(journal_read_header(JOURNAL, &read), JOURNAL_OPENED);
    EXPECT_EQ(read.salt, 42u);
    EXPECT_EQ(read.device_bytes, 16 * GiB);
    EXPECT_STREQ(read.device_path, h.device_path);
    EXPECT_STREQ(read.identity, h.identity);
    EXPECT_EQ(read.created.year, 2026);
    EXPECT_EQ(read.created.second, 59);
    const struct {
        uint64_t size;
        const char* identity;
        int matches;
    } devices[] = {
        {16 * GiB, "usb:0781:5581:4C530001230913117035", 1},
        {16 * GiB - 512, "usb:0781:5581:4C530001230913117035", 0},
        {16 * GiB, "usb:0781:5581:4C530001230913117036", 0},
        {16 * GiB, "", 0},
    };
    for (const auto& dev : devices)
        EXPECT_EQ(journal_matches_device(&read, dev.size, dev.identity), dev.matches) << dev.identity;
    // Not a journal, a damaged header, a newer version.
    std::vector<uint8_t> good = g_fake.files[JOURNAL].data;
    g_fake.files[L"/home/user/text"].data.assign(100, 'x');
    EXPECT_EQ(journal_read_header(L"/home/user/text", &read), JOURNAL_NOT_A_JOURNAL);
    g_fake.files[JOURNAL].data[60] ^= 1;
    EXPECT_EQ(journal_read_header(JOURNAL, &read), JOURNAL_NOT_A_JOURNAL);
    g_fake.files[JOURNAL].data = good;
    g_fake.files[JOURNAL].data[8] = 2;
    EXPECT_EQ(journal_read_header(JOURNAL, &read), JOURNAL_NEWER_VERSION);
    EXPECT_EQ(journal_read_header(L"/home/user/none", &read), JOURNAL_UNREADABLE);
}

TEST(ProbeBlock, WhatASectorReadBackIs)
{
    const uint64_t salt = 0x1122334455667788ull, at = 5 * MiB;
    auto block = [&](uint64_t s, uint64_t offset) {
        std::vector<uint8_t> b(512);
        probe_fill(b.data(), s, offset, 512);
        return b;
    };
    const struct {
        const char* name;
        std::function<std::vector<uint8_t>()> make;
        int ours;
        uint64_t source;
        SectorKind kind;
    } rows[] = {
        {"its own block", [&] { return block(salt, at); }, 1, at, SECTOR_INTACT},
        {"the block for 4 GiB on", [&] { return block(salt, at + 4 * GiB); }, 1, at + 4 * GiB,
         SECTOR_MISPLACED},
        {"another run's block", [&] { return block(salt + 1, at); }, 0, 0, SECTOR_CORRUPTED},
        {"one bit flipped", [&] { auto b = block(salt, at); b[300] ^= 4; return b; }, 0, 0,
         SECTOR_FLIPPED},
        {"a moved block with a bit flipped",
         [&] { auto b = block(salt, at + 4096); b[100] ^= 1; return b; }, 0, 0, SECTOR_CORRUPTED},
        {"zeros", [] { return std::vector<uint8_t>(512, 0); }, 0, 0, SECTOR_ZERO},
        {"erased", [] { return std::vector<uint8_t>(512, 0xFF); }, 0, 0, SECTOR_ERASED},
        {"user data", [] { std::vector<uint8_t> b(512); for (int k = 0; k < 512; k++) b[k] = (uint8_t)(k * 13); return b; },
         0, 0, SECTOR_CORRUPTED},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> b = row.make();
        uint64_t source = 0;
        EXPECT_EQ(probe_decode(b.data(), salt, &source), row.ours);
        if (row.ours) {
            EXPECT_EQ(source, row.source);
        }
        SectorClass c = probe_classify(b.data(), salt, at);
        EXPECT_EQ(c.kind, row.kind) << sector_kind_name(c.kind);
        if (row.kind == SECTOR_MISPLACED) {
            EXPECT_EQ(c.displacement, (int64_t)(row.source - at));
        }
    }
}

} // namespace
