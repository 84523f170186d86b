// Windows: unbuffered write-through test file, deletion, attributes, full paths, the log.
#include "platform/platform.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>


int plat_open_write_through(const wchar_t* path, plat_file* out) {
    HANDLE h =
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                    FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    *out = (plat_file)h;
    return 1;
}

int plat_open_read_sequential(const wchar_t* path, plat_file* out) {
    HANDLE h = CreateFileW(
        path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
        FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    *out = (plat_file)h;
    return 1;
}

static_assert((FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL) ==
                  0xA0000080,
              "write-through open flags");
static_assert((FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL) ==
                  0x28000080,
              "sequential read open flags");

int plat_write(plat_file f, const void* buffer, uint32_t length, uint32_t* moved) {
    DWORD count = 0;
    BOOL ok = WriteFile((HANDLE)f, buffer, length, &count, NULL);
    *moved = count;
    return ok ? 1 : 0;
}

int plat_read(plat_file f, void* buffer, uint32_t length, uint32_t* moved) {
    DWORD count = 0;
    BOOL ok = ReadFile((HANDLE)f, buffer, length, &count, NULL);
    *moved = count;
    return ok ? 1 : 0;
}

int plat_flush(plat_file f) {
    return FlushFileBuffers((HANDLE)f) ? 1 : 0;
}

void plat_close(plat_file f) {
    CloseHandle((HANDLE)f);
}

int plat_delete_file(const wchar_t* path) {
    return DeleteFileW(path) ? 1 : 0;
}

int plat_file_attributes(const wchar_t* path, int* is_dir) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    *is_dir = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return 1;
}

int plat_file_size(const wchar_t* path, uint64_t* bytes) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    *bytes = ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    return 1;
}

uint32_t plat_full_path(const wchar_t* path, wchar_t* out, uint32_t cap) {
    return GetFullPathNameW(path, cap, out, NULL);
}

// Opened without following a reparse point in its last component and emptied
// only once it is known not to be one: the default log name is predictable,
// and a link planted under it would have its target emptied.
FILE* plat_open_log(const wchar_t* path) {
    HANDLE h = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (h == INVALID_HANDLE_VALUE) return NULL;
    if (GetFileType(h) == FILE_TYPE_DISK) {
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(h, &info) ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            CloseHandle(h);
            SetLastError(ERROR_CANT_ACCESS_FILE);
            return NULL;
        }
        if (!SetEndOfFile(h)) {
            DWORD code = GetLastError();
            CloseHandle(h);
            SetLastError(code);
            return NULL;
        }
    }
    int fd = _open_osfhandle((intptr_t)h, _O_WRONLY | _O_BINARY);
    if (fd == -1) {
        CloseHandle(h);
        return NULL;
    }
    FILE* f = _fdopen(fd, "wb");
    if (!f) _close(fd);
    return f;
}

// Creating a symbolic link takes a privilege on Windows; nothing more to refuse here.
FILE* plat_open_report(const wchar_t* path) {
    return _wfopen(path, L"wb");
}

