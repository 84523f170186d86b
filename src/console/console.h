// Console control and the one cross-thread signal, the stop flag.
#pragma once

#include <atomic>
#include <stdint.h>

extern intptr_t g_console;                    // standard output handle
extern std::atomic<int32_t> g_stop_requested; // 1 = stop requested

int console_clear(void);
void console_cursor_visible(int visible);
int console_ctrl_handler(uint32_t event);
int check_stop_key(void);
// The driver's one reset of the flag, before verification.
void reset_stop_request(void);
