// Windows: the command line as the system keeps it, in UTF-16.
#include "platform/platform.h"

#include <windows.h>
#include <shellapi.h>

int plat_command_arguments(int, char**, int* count, wchar_t*** args) {
    int n = 0;
    wchar_t** list = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!list) return 0;
    *count = n;
    *args = list;
    return 1;
}
