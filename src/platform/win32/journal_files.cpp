// Windows: the probe's journal, plain cached I/O at explicit offsets; durability
// comes from plat_flush (FlushFileBuffers) before each guarded write.
#include <windows.h>

#include "platform/platform.h"

// CREATE_NEW refuses anything at the path; a reparse point there is opened as
// itself, never followed.
int plat_journal_create(const wchar_t* path, plat_file* out) {
    *out = PLAT_NO_FILE;
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    *out = (plat_file)h;
    return 1;
}

int plat_journal_open_read(const wchar_t* path, plat_file* out) {
    *out = PLAT_NO_FILE;
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(h);
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    *out = (plat_file)h;
    return 1;
}

static OVERLAPPED at(uint64_t offset) {
    OVERLAPPED o;
    ZeroMemory(&o, sizeof o);
    o.Offset = (DWORD)offset;
    o.OffsetHigh = (DWORD)(offset >> 32);
    return o;
}

int plat_write_at(plat_file f, uint64_t offset, const void* buffer, uint32_t length,
                  uint32_t* moved) {
    OVERLAPPED o = at(offset);
    DWORD count = 0;
    BOOL ok = WriteFile((HANDLE)f, buffer, length, &count, &o);
    *moved = count;
    return ok ? 1 : 0;
}

// A read at or past the end is a count of 0, as on POSIX.
int plat_read_at(plat_file f, uint64_t offset, void* buffer, uint32_t length, uint32_t* moved) {
    OVERLAPPED o = at(offset);
    DWORD count = 0;
    BOOL ok = ReadFile((HANDLE)f, buffer, length, &count, &o);
    *moved = count;
    if (!ok && GetLastError() == ERROR_HANDLE_EOF) return 1;
    return ok ? 1 : 0;
}
