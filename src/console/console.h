// Console control and the one cross-thread signal, the stop flag.
#pragma once

#include <atomic>
#include <stdint.h>

extern intptr_t g_console;                    // standard output handle
// 0 = none, STOP_PHASE = stop the running phase, STOP_END = end the run now
extern std::atomic<int32_t> g_stop_requested;
enum { STOP_PHASE = 1, STOP_END = 2 };

int console_clear(void);
void console_cursor_visible(int visible);
int console_ctrl_handler(uint32_t event);
int check_stop_key(void);
// The driver's one reset of the flag, before verification; an end request stays.
void reset_stop_request(void);
// 1 after a terminate, hang-up, window close, log-off or shutdown.
int end_requested(void);
