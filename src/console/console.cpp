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

// Runs on a signal (or system) context: the atomic exchange is all it does.
int console_ctrl_handler(uint32_t event) {
    if (event <= PLAT_CTRL_CLOSE || event == PLAT_CTRL_SHUTDOWN) {
        g_stop_requested.exchange(1, std::memory_order_seq_cst);
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
        g_stop_requested.exchange(1, std::memory_order_seq_cst);
        return 1;
    }
    return 0;
}

void reset_stop_request(void) {
    g_stop_requested.exchange(0, std::memory_order_seq_cst);
}
