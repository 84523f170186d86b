// Windows: unbuffered write-through test file, deletion, attributes, full paths, the log.
#include "platform/platform.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>


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

FILE* plat_open_read_text(const wchar_t* path) {
    return _wfopen(path, L"rb");
}


static int kind_of(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? PLAT_LINK
           : (attributes & FILE_ATTRIBUTE_DIRECTORY)   ? PLAT_DIRECTORY
                                                       : PLAT_REGULAR;
}

static void clear_identity(PlatFileId* id) {
    id->volume = id->index = 0;
    id->kind = PLAT_MISSING;
    id->named = id->fold_case = 0;
    id->dir_volume = id->dir_index = 0;
    id->name[0] = 0;
}

// The volume serial number, file index and kind of an open handle.
static int handle_id(HANDLE h, PlatFileId* id) {
    BY_HANDLE_FILE_INFORMATION info;
    memset(&info, 0, sizeof info);
    // A pipe or a device has no file index: it is no regular file either way.
    int disk = GetFileType(h) == FILE_TYPE_DISK;
    if (disk && !GetFileInformationByHandle(h, &info)) return 0;
    id->volume = info.dwVolumeSerialNumber;
    id->index = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    id->kind = disk ? kind_of(info.dwFileAttributes) : PLAT_OTHER;
    return 1;
}

// What path names; a reparse point in the last place is followed only when asked.
static int file_id(const wchar_t* path, int follow, PlatFileId* id) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE h = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, flags, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    int ok = handle_id(h, id);
    DWORD code = GetLastError();
    CloseHandle(h);
    if (!ok) SetLastError(code);
    return ok;
}

enum { IDENTITY_PATH_CHARS = 32768 };
static wchar_t g_identity_path[IDENTITY_PATH_CHARS];

// The directory's ID and the final name, from the full path so that a bare
// name has a directory too; names there compare ignoring case.
static int directory_and_name(const wchar_t* path, PlatFileId* id) {
    DWORD len = GetFullPathNameW(path, IDENTITY_PATH_CHARS, g_identity_path, NULL);
    if (len == 0 || len >= IDENTITY_PATH_CHARS) return 0;
    wchar_t* dir = g_identity_path;
    size_t cut = len;
    while (cut > 0 && dir[cut - 1] != L'\\' && dir[cut - 1] != L'/') --cut;
    if (cut == 0 || cut == len || len - cut >= PLAT_NAME_CHARS) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    // A drive root keeps its separator: "C:" alone is a current directory.
    wchar_t name[PLAT_NAME_CHARS];
    wcscpy(name, dir + cut);
    dir[cut == 3 && dir[1] == L':' ? cut : cut - 1] = 0;
    PlatFileId parent;
    clear_identity(&parent);
    if (!file_id(dir, 1, &parent)) return 0;
    if (parent.kind != PLAT_DIRECTORY) {
        SetLastError(ERROR_DIRECTORY);
        return 0;
    }
    id->named = 1;
    id->fold_case = 1;
    id->dir_volume = parent.volume;
    id->dir_index = parent.index;
    wcscpy(id->name, name);
    return 1;
}

int plat_file_identity(const wchar_t* path, int follow, PlatFileId* id) {
    clear_identity(id);
    if (file_id(path, follow, id)) {
        // Followed through a link, the final name is the link's, not the file's.
        DWORD attributes = GetFileAttributesW(path);
        int linked = follow && attributes != INVALID_FILE_ATTRIBUTES &&
                     (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (!linked && !directory_and_name(path, id)) id->named = 0;
        return 1;
    }
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return 0;
    id->kind = PLAT_MISSING;
    return directory_and_name(path, id);
}

int plat_handle_identity(plat_file f, PlatFileId* id) {
    clear_identity(id);
    return handle_id((HANDLE)f, id);
}

int plat_stream_identity(FILE* f, PlatFileId* id) {
    clear_identity(id);
    intptr_t h = _get_osfhandle(_fileno(f));
    if (h == -1) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return handle_id((HANDLE)h, id);
}

int plat_same_identity(const PlatFileId* a, const PlatFileId* b) {
    if (a->kind != PLAT_MISSING && a->kind == b->kind && a->volume == b->volume &&
        a->index == b->index)
        return 1;
    return a->named && b->named && a->dir_volume == b->dir_volume &&
           a->dir_index == b->dir_index &&
           CompareStringOrdinal(a->name, -1, b->name, -1,
                                a->fold_case || b->fold_case ? TRUE : FALSE) == CSTR_EQUAL;
}

int plat_same_file(const wchar_t* a, const wchar_t* b) {
    static PlatFileId x, y;
    return plat_file_identity(a, 1, &x) && plat_file_identity(b, 1, &y) &&
           plat_same_identity(&x, &y);
}

// Opened without following a reparse point in its last place, and refused when
// one is there: a junction needs no privilege to create. CREATE_NEW first, so
// that *created is known.
int plat_open_output(const wchar_t* path, int exclusive, plat_file* out, int* created) {
    *created = 0;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    for (int tries = 0; tries < 8; tries++) {
        HANDLE h = CreateFileW(path, GENERIC_WRITE, share, NULL, CREATE_NEW, flags, NULL);
        if (h != INVALID_HANDLE_VALUE) {
            *created = 1;
            *out = (plat_file)h;
            return 1;
        }
        DWORD code = GetLastError();
        if (code != ERROR_FILE_EXISTS || exclusive) {
            SetLastError(code);
            return 0;
        }
        h = CreateFileW(path, GENERIC_WRITE, share, NULL, OPEN_EXISTING, flags, NULL);
        if (h == INVALID_HANDLE_VALUE) {
            // Deleted between the two opens: make it again.
            if (GetLastError() == ERROR_FILE_NOT_FOUND) continue;
            return 0;
        }
        FILE_ATTRIBUTE_TAG_INFO info;
        if (GetFileType(h) != FILE_TYPE_DISK ||
            !GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof info) ||
            (info.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
            CloseHandle(h);
            SetLastError(ERROR_CANT_ACCESS_FILE);
            return 0;
        }
        *out = (plat_file)h;
        return 1;
    }
    return 0;
}

int plat_empty_file(plat_file f) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return SetFilePointerEx((HANDLE)f, zero, NULL, FILE_BEGIN) && SetEndOfFile((HANDLE)f) ? 1 : 0;
}

FILE* plat_output_stream(plat_file f) {
    int fd = _open_osfhandle((intptr_t)f, _O_WRONLY | _O_BINARY);
    if (fd == -1) {
        CloseHandle((HANDLE)f);
        return NULL;
    }
    FILE* stream = _fdopen(fd, "wb");
    if (!stream) _close(fd);
    return stream;
}
