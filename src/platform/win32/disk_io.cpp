// Windows: a whole disk opened unbuffered and write-through after every volume
// on it is locked and dismounted (refused when a lock fails: the system or
// page-file volume, an open file); an image opened the same way.
#include "platform/disk.h"

#include <windows.h>
#include <winioctl.h>

#include <string.h>
#include <wchar.h>

int win32_volume_disk(const wchar_t* volume, DWORD* disk);

namespace {

enum { MAX_LOCKS = 64 };
HANDLE g_locks[MAX_LOCKS];
int g_lock_count = 0;

void release_locks(void) {
    DWORD got = 0;
    for (int i = 0; i < g_lock_count; i++) {
        DeviceIoControl(g_locks[i], FSCTL_UNLOCK_VOLUME, NULL, 0, NULL, 0, &got, NULL);
        CloseHandle(g_locks[i]);
    }
    g_lock_count = 0;
}

// Locks and dismounts every volume whose one extent lies on disk.
int lock_volumes(DWORD disk) {
    wchar_t name[MAX_PATH];
    HANDLE find = FindFirstVolumeW(name, MAX_PATH);
    if (find == INVALID_HANDLE_VALUE) return 1; // no volumes to mind
    int ok = 1;
    DWORD err = 0;
    do {
        size_t len = wcslen(name);
        if (len > 0 && name[len - 1] == L'\\') name[len - 1] = 0;
        DWORD on = 0;
        if (!win32_volume_disk(name, &on) || on != disk) continue;
        HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
        DWORD got = 0;
        if (h == INVALID_HANDLE_VALUE || g_lock_count == MAX_LOCKS ||
            !DeviceIoControl(h, FSCTL_LOCK_VOLUME, NULL, 0, NULL, 0, &got, NULL)) {
            err = h == INVALID_HANDLE_VALUE ? GetLastError()
                  : g_lock_count == MAX_LOCKS ? ERROR_TOO_MANY_OPEN_FILES
                                              : GetLastError();
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
            ok = 0;
            break;
        }
        g_locks[g_lock_count++] = h;
        DeviceIoControl(h, FSCTL_DISMOUNT_VOLUME, NULL, 0, NULL, 0, &got, NULL);
    } while (FindNextVolumeW(find, name, MAX_PATH));
    FindVolumeClose(find);
    if (!ok) {
        release_locks();
        SetLastError(err ? err : ERROR_ACCESS_DENIED);
    }
    return ok;
}

int disk_number(const wchar_t* device, DWORD* out) {
    static const wchar_t prefix[] = L"\\\\.\\PhysicalDrive";
    size_t n = wcslen(prefix);
    if (_wcsnicmp(device, prefix, n) != 0 || !device[n]) return 0;
    *out = (DWORD)wcstoul(device + n, NULL, 10);
    return 1;
}

} // namespace

int plat_disk_open(const wchar_t* device, plat_file* out) {
    *out = PLAT_NO_FILE;
    DWORD disk = 0;
    int whole = disk_number(device, &disk);
    if (whole && !lock_volumes(disk)) return 0;
    // An image is shared with no writer; a disk's volumes are locked already.
    DWORD share = whole ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    HANDLE h = CreateFileW(device, GENERIC_READ | GENERIC_WRITE, share, NULL, OPEN_EXISTING,
                           FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        release_locks();
        SetLastError(err);
        return 0;
    }
    *out = (plat_file)h;
    return 1;
}

void plat_disk_close(plat_file f) {
    if (f != PLAT_NO_FILE) CloseHandle((HANDLE)f);
    release_locks();
}
