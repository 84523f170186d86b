// The quick probe of a whole device: is it fake, and how much does it hold?
//
// Call sequence (the command in run/ does the guards, the confirmation and
// the screen; the engine does the I/O through ProbeIo):
//   ProbePlan plan;     probe_plan_make(announced, &plan)          (probe_plan.h)
//   JournalHeader h = {salt = probe_new_salt(), device_bytes, path, identity,
//                      created};
//   Journal journal;    journal_create(journal_path, &h, &journal)  (probe_journal.h)
//                       -> failure: exit 2, nothing written
//   ProbeResult result; probe_run(&io, &plan, &journal, &observer, &result)
//                       -> PROBE_DONE, or PROBE_STOPPED when observer asked
//                          (result then partial), PROBE_JOURNAL_FAILED,
//                          PROBE_NO_MEMORY; restore in every case:
//   ProbeRestore rr;    probe_restore(&io, &journal, &observer, &rr)
//                       -> 1: every sector reads back as journaled; then
//                          journal_delete(&journal, journal_path)
// --restore JOURNAL:
//   Journal journal;    journal_open(path, &journal) == JOURNAL_OPENED
//   journal_matches_device(&journal.header, size, identity) or refuse
//   probe_restore(&io, &journal, &observer, &rr), journal_delete when it returns 1.
#pragma once

#include <stdint.h>

#include "engine/damage_map.h"
#include "engine/probe_io.h"
#include "engine/probe_journal.h"
#include "engine/probe_plan.h"

enum ProbeVerdict {
    PROBE_NO_FAKE_FOUND = 0, // says nothing more: only the full test proves the capacity
    PROBE_WRAPS = 1,         // writes past W land over the start: holds at most W
    PROBE_DROPS = 2,         // data past X is lost
    PROBE_FAILING = 3,       // bad spots scattered, read or write errors
};
// "no_fake_found", "wraps", "drops", "failing".
const char* probe_verdict_name(int verdict);

enum ProbePhase {
    PROBE_PHASE_SPOTS = 0,   // backing up and writing the spots
    PROBE_PHASE_FLUSH = 1,   // backing up and writing the cache flush
    PROBE_PHASE_READ = 2,    // reading back the window and the spots
    PROBE_PHASE_BISECT = 3,  // unused: the plan's ladder locates a drop without a second round
    PROBE_PHASE_RESTORE = 4, // writing the original content back
    PROBE_PHASE_CHECK = 5,   // reading it back against the journal
};

struct ProbeProgress {
    int phase;
    uint32_t spots_done;   // spots written (SPOTS) or checked (READ)
    uint32_t spot_count;
    // Device bytes read and written so far and in all, by this call: probe_run
    // (backups, writes, read-back) or probe_restore (replay, check) on its own.
    uint64_t bytes_done;
    uint64_t bytes_total;
};

struct ProbeObserver {
    // After each device request.
    virtual void progress(const ProbeProgress& progress) = 0;
    // Polled before each device request of probe_run (never during restore):
    // 1 stops the probe.
    virtual int stop_requested() = 0;

protected:
    ~ProbeObserver() = default;
};

enum ProbeOutcome {
    PROBE_DONE = 0,
    PROBE_STOPPED = 1,
    PROBE_JOURNAL_FAILED = 2, // an append or flush failed: nothing more written
    PROBE_NO_MEMORY = 3,
};

struct ProbeResult {
    int verdict;
    uint64_t announced_bytes;
    uint64_t wrap_bytes;     // W for PROBE_WRAPS, else 0
    uint64_t drop_bytes;     // X for PROBE_DROPS: the good prefix, within 1 % below the truth
    uint64_t usable_bytes;   // announced, W or X; for failing the announced size
    uint32_t positions;      // spots checked
    uint32_t bad_positions;  // spots with any sector not intact, or unreadable/unwritable
    uint64_t sector_kinds[SECTOR_KIND_COUNT]; // the spots' sectors by kind
    uint32_t read_errors;    // device requests that failed
    uint32_t write_errors;
    uint32_t first_error;    // Windows code of the first failed request, 0 when none
    uint64_t first_bad_offset; // offset of the first bad spot (when bad_positions > 0)
    uint64_t window_blocks;  // this run's sectors found displaced in the window
    uint64_t bytes_written;  // to the device, restore excluded
    uint64_t bytes_read;
    uint32_t journal_error;  // PROBE_JOURNAL_FAILED: the Windows code
};

// Writes the plan, reads it back and judges; every write is
// journaled first. Never writes below PROBE_KEEP_OUT.
int probe_run(const ProbeIo* io, const ProbePlan* plan, Journal* journal,
              ProbeObserver* observer, ProbeResult* out);

struct ProbeRestore {
    uint32_t records;         // replayed
    uint64_t bytes_restored;
    uint32_t write_errors;
    uint32_t read_errors;
    uint32_t first_error;
    uint64_t sectors_checked;
    uint64_t sectors_differing; // read back unlike the journal's original
    // Records written a second time, with the originals their backups stand
    // for, because the drive still answered with this run's blocks (a cache).
    uint32_t records_rewritten;
    int journal_unreadable;     // a record failed to read or its checksum
};

// Replays every record of the journal in reverse order of writing (on a
// wrapping drive two records share a cell: only this order leaves the
// original), then reads each record's range back and compares it sector by
// sector with its original; an original that is itself one of this run's
// blocks (an alias or an overlap of an earlier write) is checked through the
// record that wrote that block. Idempotent: an interrupted restore is run
// again. 1 when every sector reads back as it was.
int probe_restore(const ProbeIo* io, Journal* journal, ProbeObserver* observer,
                  ProbeRestore* out);
