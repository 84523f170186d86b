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

void plat_console_erase_line(intptr_t console) {
    HANDLE h = (HANDLE)console;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(h, &info)) return;
    DWORD cells = (DWORD)(info.dwSize.X - info.dwCursorPosition.X);
    DWORD done = 0;
    FillConsoleOutputCharacterA(h, ' ', cells, info.dwCursorPosition, &done);
    FillConsoleOutputAttribute(h, info.wAttributes, cells, info.dwCursorPosition, &done);
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
static std::atomic<int> g_ctrl_released{0};

// The system calls this on a thread of its own for each console event.
static BOOL WINAPI ctrl_handler_thunk(DWORD event) {
    plat_ctrl_handler handler = g_ctrl_handler.load();
    if (handler == nullptr) return FALSE;
    if (!handler((uint32_t)event)) return FALSE;
    // For these the process ends as soon as this returns, and the system ends
    // it anyway after 5 seconds: wait for the summary and report until shortly before.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        for (int waited = 0; waited < 4500 && !g_ctrl_released.load(); waited += 50) {
            plat_end_waits(); // a question that waits for input is given up
            Sleep(50);
        }
    }
    return TRUE;
}

void plat_ctrl_release(void) {
    g_ctrl_released.store(1);
}

int plat_console_closes_with_process(void) {
    DWORD mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) return 0; // input redirected
    DWORD ids[2];
    return GetConsoleProcessList(ids, 2) == 1;
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

