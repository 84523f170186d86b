// Console control: clearing, the cursor, and the stop flag set by keys and console signals.
#include "console/console.h"

#include "platform/platform.h"

intptr_t g_console = 0;
std::atomic<int32_t> g_stop_requested{0};

int console_clear(void) {
    return plat_console_clear(g_console);
}

void console_cursor_visible(int visible) {
    if (g_console == 0) return;
    plat_console_cursor_visible(g_console, visible);
}

// A stop never weakens a pending end request.
static void request_phase_stop(void) {
    int32_t none = 0;
    g_stop_requested.compare_exchange_strong(none, STOP_PHASE, std::memory_order_seq_cst);
}

// Runs on a signal (or system) context: atomic operations are all it does.
// The keys stop the running phase; the session going away ends the run, since
// whatever is not saved before the system's deadline is lost.
int console_ctrl_handler(uint32_t event) {
    if (event == PLAT_CTRL_C || event == PLAT_CTRL_BREAK) {
        request_phase_stop();
        return 1;
    }
    if (event == PLAT_CTRL_CLOSE || event == PLAT_CTRL_LOGOFF || event == PLAT_CTRL_SHUTDOWN) {
        g_stop_requested.exchange(STOP_END, std::memory_order_seq_cst);
        // A question still waiting for its answer is given up: nothing more is asked.
        plat_end_waits();
        return 1;
    }
    return 0;
}

int check_stop_key(void) {
    // A compare-exchange of 0 with 0 reads with a full barrier and never changes the flag.
    int32_t seen = 0;
    if (!g_stop_requested.compare_exchange_strong(seen, 0, std::memory_order_seq_cst)) return 1;
    if (!plat_key_waiting()) return 0;
    int key = plat_key_read();
    if (key == 81 || key == 113 || key == 3) {
        request_phase_stop();
        return 1;
    }
    return 0;
}

void reset_stop_request(void) {
    int32_t stop = STOP_PHASE;
    g_stop_requested.compare_exchange_strong(stop, 0, std::memory_order_seq_cst);
}

int end_requested(void) {
    int32_t seen = 0;
    g_stop_requested.compare_exchange_strong(seen, 0, std::memory_order_seq_cst);
    return seen == STOP_END;
}
