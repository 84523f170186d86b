// The console session: UTF-8 console, the control handler that turns Ctrl+C,
// a hang-up or a closed window into a stop request, and the closing wait.
#include "run/session.h"

#include "console/console.h"
#include "console/text.h"
#include "platform/platform.h"

void session_begin(void) {
    plat_console_setup();
    g_console = plat_stdout_handle();
    plat_set_ctrl_handler(console_ctrl_handler, 1);
}

void session_end(void) {
    plat_ctrl_release();
    plat_set_ctrl_handler(console_ctrl_handler, 0);
    plat_console_restore();
    // A window opened for this program alone closes with it: keep the last
    // words readable, unless the window or the session is already going away.
    if (!end_requested() && plat_console_closes_with_process()) {
        wait_for_enter(L"\nPress Enter to close this window.");
    }
}
