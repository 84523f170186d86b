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
        FILE_ATTRIBUTE_TAG_INFO info;
        if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof info) ||
            (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
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

// A junction needs no privilege to create: the same guard as the log's.
FILE* plat_open_report(const wchar_t* path) {
    return plat_open_log(path);
}

FILE* plat_open_read_text(const wchar_t* path) {
    return _wfopen(path, L"rb");
}


// The volume serial number and file index of what path names, followed as the
// test file's open follows it.
static int file_id(const wchar_t* path, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE h = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    BOOL ok = GetFileInformationByHandle(h, info);
    CloseHandle(h);
    return ok ? 1 : 0;
}

enum { IDENTITY_PATH_CHARS = 32768 };

// What a path names: the file's ID when it exists, else its directory's ID
// and its final name.
struct PathIdentity {
    DWORD volume, index_high, index_low;
    int exists;
    const wchar_t* name;
    wchar_t dir[IDENTITY_PATH_CHARS];
};

static int path_identity(const wchar_t* path, PathIdentity* id) {
    BY_HANDLE_FILE_INFORMATION info;
    id->exists = file_id(path, &info);
    id->name = L"";
    if (!id->exists) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND) return 0;
        size_t len = wcslen(path);
        size_t cut = len;
        while (cut > 0 && path[cut - 1] != L'\\' && path[cut - 1] != L'/') --cut;
        if (cut == 0 || cut == len || cut >= IDENTITY_PATH_CHARS) return 0;
        id->name = path + cut;
        // A drive root keeps its separator: "C:" alone is a current directory.
        size_t dir_len = cut == 3 && path[1] == L':' ? cut : cut - 1;
        wmemcpy(id->dir, path, dir_len);
        id->dir[dir_len] = 0;
        if (!file_id(id->dir, &info)) return 0;
    }
    id->volume = info.dwVolumeSerialNumber;
    id->index_high = info.nFileIndexHigh;
    id->index_low = info.nFileIndexLow;
    return 1;
}

int plat_same_file(const wchar_t* a, const wchar_t* b) {
    static PathIdentity x, y;
    if (!path_identity(a, &x) || !path_identity(b, &y)) return 0;
    if (x.exists != y.exists || x.volume != y.volume || x.index_high != y.index_high ||
        x.index_low != y.index_low) {
        return 0;
    }
    // In one directory, names compare the way the file system compares them.
    return x.exists || CompareStringOrdinal(x.name, -1, y.name, -1, TRUE) == CSTR_EQUAL;
}
