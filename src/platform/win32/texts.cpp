// Windows: the texts that differ by platform.
#include "platform/platform.h"

#include <windows.h>
#include <wchar.h>

const char plat_banner_second_line[] = "Native Windows 10/11 sustained storage write test\n\n";
const wchar_t plat_directory_prompt[] = L"Target directory (example E:\\): ";
const char plat_io_mode_line[] = "# io_mode=FILE_FLAG_NO_BUFFERING|FILE_FLAG_WRITE_THROUGH\n";
const wchar_t plat_separator = L'\\';

int plat_is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

int plat_same_volume_root(const wchar_t* a, const wchar_t* b) {
    // Volume roots compare the way the file system compares names: ignoring case.
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

