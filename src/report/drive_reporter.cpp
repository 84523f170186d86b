// One drive's observer while several drives are tested side by side.
#include "report/drive_reporter.h"

#include "console/console.h"
#include "report/csv_log.h"

void DriveReporter::timed_part_started(PhaseKind phase) {
    status->phase.store(phase == PHASE_WRITE ? DRIVE_WRITING : DRIVE_VERIFYING);
    status->current_mbps.store(0.0);
    status->median_mbps.store(0.0);
    if (phase == PHASE_VERIFY) status->done.store(0);
}

void DriveReporter::sample_closed(const PhaseSample& s) {
    csv_sample(log, s.phase == PHASE_WRITE ? "write" : "verify", s.summary, s.elapsed_s,
               s.total_bytes, s.sample_bytes, s.duration_s, s.threshold_mbps, s.error_count);
    status->done.store(s.total_bytes);
    status->target.store(s.target_bytes);
    status->current_mbps.store(s.speed_mbps);
    status->median_mbps.store(s.summary.median);
    if (s.phase == PHASE_WRITE) {
        status->below.store(s.summary.below);
        status->errors.store(s.error_count);
    } else {
        status->mismatches.store(s.mismatch_blocks);
        status->errors.store(write_errors + s.error_count);
    }
}

void DriveReporter::event(const char* name, uint32_t code, uint64_t offset) {
    csv_event(log, name, code, offset);
    if (events) event_list_add(events, name, code, offset);
}

void DriveReporter::phase_error(PhaseKind phase, uint32_t code) {
    phase_errors[phase == PHASE_WRITE ? 0 : 1] = code;
}

int DriveReporter::stop_requested() {
    return end_requested() || stops->load() != stops_seen;
}
