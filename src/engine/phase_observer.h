// What the two measuring loops tell the rest of the program. The loops only
// measure; whoever runs them decides what is logged, drawn or printed.
#pragma once

#include <stdint.h>

#include "engine/samples.h"

enum PhaseKind { PHASE_WRITE = 0, PHASE_VERIFY = 1 };

// One closed speed sample with every figure a reader shows of it.
struct PhaseSample {
    PhaseKind phase;
    const SampleSet* set;    // this sample already added
    SampleSummary summary;   // of set, computed once for all readers
    double elapsed_s;        // since the phase's timed part began
    uint64_t total_bytes;    // written or verified so far, this sample included
    uint64_t target_bytes;   // to write or to verify
    uint64_t sample_bytes;
    double duration_s;       // write: time inside the calls; verify: wall time
    double speed_mbps;
    double threshold_mbps;   // write: the required minimum; verify: 0
    double active_s;         // write: time inside all write calls so far
    uint64_t error_count;    // write_errors or verification_errors
    uint64_t mismatch_blocks;
    int closing;             // the last, partial sample: logged but not drawn
};

struct PhaseObserver {
    // The timed part begins (after the file and buffer were obtained).
    virtual void timed_part_started(PhaseKind phase) = 0;
    virtual void sample_closed(const PhaseSample& sample) = 0;
    // A failure or limit with its Windows error code and byte offset.
    virtual void event(const char* name, uint32_t code, uint64_t offset) = 0;
    // The phase did not pass and recorded this error code (shown once, at its end).
    virtual void phase_error(PhaseKind phase, uint32_t code) = 0;
    // Polled once per block: 1 when the running phase should stop.
    virtual int stop_requested() = 0;

protected:
    ~PhaseObserver() = default;
};
