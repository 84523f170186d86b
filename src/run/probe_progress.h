// The probe's one-line status, redrawn on a terminal only, and its stop test.
#pragma once

#include <stdint.h>

#include "engine/probe.h"

struct ProbeScreen : ProbeObserver {
    int draw = 0;        // a terminal and not --quiet
    int drawn = 0;       // a line is on the screen
    int64_t started = 0; // perf counter at the start
    int64_t last = 0;    // of the last redraw

    void progress(const ProbeProgress& p) override;
    int stop_requested() override;
    // Ends the status line, so that what follows starts on a line of its own.
    void finish();
};

// A ProbeScreen that draws when standard output is a terminal and quiet is 0.
void probe_screen_start(ProbeScreen* screen, int quiet);
