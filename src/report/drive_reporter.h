// One drive's observer while several drives are tested side by side: the log
// and the events as a single run keeps them, and a status for the table. It
// prints nothing: the table owns the screen until every drive has finished.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <atomic>

#include "engine/phase_observer.h"
#include "report/event_list.h"

enum DrivePhase { DRIVE_WAITING = 0, DRIVE_WRITING, DRIVE_VERIFYING, DRIVE_FINISHED };

// What the table shows of one drive: written by the drive's thread, read by
// the thread that draws. Each figure is read on its own; a frame may mix two
// samples, never a torn number.
struct DriveStatus {
    std::atomic<int> phase{DRIVE_WAITING};
    std::atomic<uint64_t> done{0};
    std::atomic<uint64_t> target{0};
    std::atomic<double> current_mbps{0.0};
    std::atomic<double> median_mbps{0.0};
    std::atomic<uint64_t> below{0};
    std::atomic<uint64_t> mismatches{0};
    std::atomic<uint64_t> errors{0};
    std::atomic<int> exit_code{0};
};

struct DriveReporter final : PhaseObserver {
    FILE* log = nullptr;
    EventList* events = nullptr;
    DriveStatus* status = nullptr;
    // Stop requests so far, counted by the drawing thread for every drive.
    const std::atomic<uint32_t>* stops = nullptr;
    uint32_t stops_seen = 0;     // requests before the running phase began
    uint64_t write_errors = 0;   // of the write phase, once it is over
    uint32_t phase_errors[2] = {0, 0}; // the code each phase ended with, shown after the table

    // A phase begins: only a stop requested from now on ends it.
    void begin_phase(void) { stops_seen = stops->load(); }
    void timed_part_started(PhaseKind phase) override;
    void sample_closed(const PhaseSample& sample) override;
    void event(const char* name, uint32_t code, uint64_t offset) override;
    void phase_error(PhaseKind phase, uint32_t code) override;
    int stop_requested() override;
};
