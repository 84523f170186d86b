// Windows: whether standard output is a console.
#include "platform/disk.h"

#include <windows.h>

int plat_stdout_is_terminal(void) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ? 1 : 0;
}
