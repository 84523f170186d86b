// What the user sees and the log keeps of a running phase: the CSV rows and
// events, the dashboards and the error lines, wired to the loops' observer.
#pragma once

#include <stdio.h>

#include "engine/phase_observer.h"
#include "report/event_list.h"

struct PhaseReporter final : PhaseObserver {
    FILE* log = nullptr;
    int quiet = 0; // no dashboard frames; the log and error lines stay
    EventList* events = nullptr; // when set, every event is also kept here

    explicit PhaseReporter(FILE* log_stream) : log(log_stream) {}
    void timed_part_started(PhaseKind phase) override;
    void sample_closed(const PhaseSample& sample) override;
    void event(const char* name, uint32_t code, uint64_t offset) override;
    void phase_error(PhaseKind phase, uint32_t code) override;
    int stop_requested() override;
};
