// Windows: console control, cursor, control handler and key polling.
#include "platform/platform.h"

#include <windows.h>
#include <conio.h>

#include <atomic>

void plat_console_setup(void) {
    SetConsoleOutputCP(65001);
    SetConsoleCP(65001);
}

intptr_t plat_stdout_handle(void) {
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    if (h == INVALID_HANDLE_VALUE) return 0;
    return (intptr_t)h;
}

int plat_console_clear(intptr_t console) {
    HANDLE h = (HANDLE)console;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(h, &info)) return 0;
    // The whole buffer, scroll-back included, not just the visible window.
    DWORD cells = (DWORD)info.dwSize.X * (DWORD)info.dwSize.Y;
    COORD origin = {0, 0};
    DWORD done = 0;
    FillConsoleOutputCharacterA(h, ' ', cells, origin, &done);
    FillConsoleOutputAttribute(h, info.wAttributes, cells, origin, &done);
    return SetConsoleCursorPosition(h, origin) ? 1 : 0;
}

void plat_console_home(intptr_t console) {
    COORD origin = {0, 0};
    SetConsoleCursorPosition((HANDLE)console, origin);
}

void plat_console_cursor_visible(intptr_t console, int visible) {
    if (console == 0) return;
    CONSOLE_CURSOR_INFO info;
    if (!GetConsoleCursorInfo((HANDLE)console, &info)) return;
    info.bVisible = visible ? TRUE : FALSE;
    SetConsoleCursorInfo((HANDLE)console, &info);
}

void plat_console_restore(void) {
    // The console keeps no mode of ours that needs undoing; the code pages
    // are deliberately left at UTF-8.
}

static std::atomic<plat_ctrl_handler> g_ctrl_handler{nullptr};

// The system calls this on a thread of its own for each console event.
static BOOL WINAPI ctrl_handler_thunk(DWORD event) {
    plat_ctrl_handler handler = g_ctrl_handler.load();
    if (handler == nullptr) return FALSE;
    return handler((uint32_t)event) ? TRUE : FALSE;
}

void plat_set_ctrl_handler(plat_ctrl_handler handler, int add) {
    if (add) {
        g_ctrl_handler.store(handler);
        SetConsoleCtrlHandler(ctrl_handler_thunk, TRUE);
    } else {
        SetConsoleCtrlHandler(ctrl_handler_thunk, FALSE);
    }
}

int plat_key_waiting(void) {
    return _kbhit();
}

int plat_key_read(void) {
    return _getch();
}

