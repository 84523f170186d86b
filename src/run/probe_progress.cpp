// The probe's status line: phase, spots done of N, bytes, time left; redrawn in
// place at most ten times a second, and never written to a pipe or a file.
#include "run/probe_progress.h"

#include <stdio.h>

#include "console/console.h"
#include "console/output.h"
#include "console/text.h"
#include "platform/disk.h"
#include "platform/platform.h"

namespace {

const char* phase_name(int phase) {
    switch (phase) {
    case PROBE_PHASE_SPOTS: return "Writing spots";
    case PROBE_PHASE_FLUSH: return "Pushing out the drive cache";
    case PROBE_PHASE_READ: return "Reading back";
    case PROBE_PHASE_BISECT: return "Locating the loss";
    case PROBE_PHASE_RESTORE: return "Restoring";
    default: return "Checking the restore";
    }
}

} // namespace

void probe_screen_start(ProbeScreen* screen, int quiet) {
    screen->draw = !quiet && plat_stdout_is_terminal();
    screen->started = plat_perf_counter();
    screen->last = 0;
}

void ProbeScreen::progress(const ProbeProgress& p) {
    if (!draw) return;
    int64_t now = plat_perf_counter();
    if (drawn && now - last < plat_perf_frequency() / 10) return;
    last = now;
    char done[64], total[64], left[32];
    format_bytes(p.bytes_done, done);
    format_bytes(p.bytes_total, total);
    double elapsed = (double)(now - started) / (double)plat_perf_frequency();
    double rest = p.bytes_done > 0 && p.bytes_total > p.bytes_done
                      ? elapsed * (double)(p.bytes_total - p.bytes_done) / (double)p.bytes_done
                      : 0.0;
    format_duration(p.bytes_done > 0 ? rest : -1.0, left);
    out_printf("\r%s: spot %lu of %lu, %s of %s, %s left", phase_name(p.phase),
               (unsigned long)p.spots_done, (unsigned long)p.spot_count, done, total, left);
    plat_console_erase_line(g_console);
    out_flush();
    drawn = 1;
}

int ProbeScreen::stop_requested() {
    return g_stop_requested.load() != 0;
}

void ProbeScreen::finish() {
    if (drawn) out_printf("\n");
    drawn = 0;
    out_flush();
}
