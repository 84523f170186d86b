// What the user sees and the log keeps of a running phase.
#include "report/phase_reporter.h"

#include "console/console.h"
#include "console/text.h"
#include "report/csv_log.h"
#include "report/dashboard.h"

void PhaseReporter::timed_part_started(PhaseKind phase) {
    // Quiet runs keep the settings on screen: nothing is drawn over them.
    if (quiet) return;
    console_clear();
    if (phase == PHASE_WRITE) {
        console_cursor_visible(0);
    }
}

void PhaseReporter::sample_closed(const PhaseSample& s) {
    csv_sample(log, s.phase == PHASE_WRITE ? "write" : "verify", s.summary, s.elapsed_s,
               s.total_bytes, s.sample_bytes, s.duration_s, s.threshold_mbps, s.error_count);
    if (s.closing || quiet) {
        return;
    }
    if (s.phase == PHASE_WRITE) {
        draw_write_dashboard(s.total_bytes, s.target_bytes, s.elapsed_s, s.active_s, s.speed_mbps,
                             s.set, s.summary, s.threshold_mbps, s.error_count);
    } else {
        draw_verify_dashboard(s.total_bytes, s.target_bytes, s.elapsed_s, s.speed_mbps, s.summary,
                              s.mismatch_blocks, s.error_count);
    }
}

void PhaseReporter::event(const char* name, uint32_t code, uint64_t offset) {
    csv_event(log, name, code, offset);
    if (events) event_list_add(events, name, code, offset);
}

void PhaseReporter::phase_error(PhaseKind phase, uint32_t code) {
    console_cursor_visible(1);
    print_win_error(phase == PHASE_WRITE ? L"Write test error" : L"Verification error", code);
}

int PhaseReporter::stop_requested() {
    return check_stop_key();
}
