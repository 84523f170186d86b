// Windows: the program's state folder, %LOCALAPPDATA%\drive-test.
#include "platform/disk.h"

#include <windows.h>

#include <wchar.h>

int plat_state_dir(wchar_t* out, uint32_t cap) {
    wchar_t base[32768];
    DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", base, 32768);
    if (n == 0 || n >= 32768) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    if ((size_t)n + 12 > cap) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    swprintf(out, cap, L"%ls\\drive-test", base);
    if (!CreateDirectoryW(out, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) return 0;
    return 1;
}
