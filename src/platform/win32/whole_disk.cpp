// Windows: the whole disk behind a directory, from its volume's disk extents.
#include "platform/platform.h"

#include <windows.h>
#include <winioctl.h>

#include <string.h>

// A volume on no disk (a RAM disk, a network share) stands for itself: a number
// from its GUID name, marked so that no disk number equals it.
static int volume_alone(const wchar_t* name, uint64_t* disk) {
    uint64_t h = 1469598103934665603ull;
    for (const wchar_t* p = name; *p; p++) h = (h ^ (uint64_t)*p) * 1099511628211ull;
    *disk = (1ull << 63) | h;
    return 1;
}

int plat_whole_disk_id(const wchar_t* dir, uint64_t* disk) {
    static wchar_t root[32768];
    wchar_t name[64];
    if (!GetVolumePathNameW(dir, root, 32768)) return 0;
    // No GUID name (a drive letter Wine maps to a directory): nothing tells its disk.
    if (!GetVolumeNameForVolumeMountPointW(root, name, 64)) return 0;
    // "\\?\Volume{GUID}\" opens the volume itself without its last separator.
    size_t n = wcslen(name);
    if (n > 0 && name[n - 1] == L'\\') name[n - 1] = 0;
    HANDLE volume = CreateFileW(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                0, NULL);
    if (volume == INVALID_HANDLE_VALUE) return volume_alone(name, disk);
    // Room for a volume that spans several disks; the first one names it.
    union {
        VOLUME_DISK_EXTENTS extents;
        char room[sizeof(VOLUME_DISK_EXTENTS) + 31 * sizeof(DISK_EXTENT)];
    } out;
    DWORD got = 0;
    BOOL ok = DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, NULL, 0, &out,
                              sizeof out, &got, NULL);
    CloseHandle(volume);
    if (!ok || out.extents.NumberOfDiskExtents == 0) return volume_alone(name, disk);
    *disk = out.extents.Extents[0].DiskNumber;
    return 1;
}
