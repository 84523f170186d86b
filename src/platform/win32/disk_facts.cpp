// Windows: what a device name stands for: \\.\PhysicalDriveN, a drive letter
// (the disk that holds it) or a disk image; size, sector, write protection, identity.
#include "platform/disk.h"

#include <windows.h>
#include <winioctl.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "platform/utf8.h"

// The one disk a volume lies on; 0 when it spans several or is on none.
int win32_volume_disk(const wchar_t* volume, DWORD* disk) {
    HANDLE h = CreateFileW(volume, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                           NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    VOLUME_DISK_EXTENTS extents;
    DWORD got = 0;
    BOOL ok = DeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, NULL, 0, &extents,
                              sizeof extents, &got, NULL);
    DWORD err = GetLastError();
    CloseHandle(h);
    if (!ok || extents.NumberOfDiskExtents != 1) {
        SetLastError(ok ? ERROR_INVALID_PARAMETER : err);
        return 0;
    }
    *disk = extents.Extents[0].DiskNumber;
    return 1;
}

static int is_drive_letter(const wchar_t* name) {
    return ((name[0] >= L'A' && name[0] <= L'Z') || (name[0] >= L'a' && name[0] <= L'z')) &&
           name[1] == L':' && (name[2] == 0 || (name[2] == L'\\' && name[3] == 0));
}

static int is_physical_drive(const wchar_t* name) {
    static const wchar_t prefix[] = L"\\\\.\\PhysicalDrive";
    size_t n = wcslen(prefix);
    if (_wcsnicmp(name, prefix, n) != 0 || !name[n]) return 0;
    for (const wchar_t* p = name + n; *p; ++p)
        if (*p < L'0' || *p > L'9') return 0;
    return 1;
}

static void to_utf8(const wchar_t* text, char* out, size_t cap) {
    size_t used = 0;
    size_t i = 0;
    while (text[i] && used + 5 < cap) {
        uint32_t cp = wide_next_code_point(text, &i);
        used += (size_t)utf8_encode(cp, out + used);
    }
    out[used] = 0;
}

// Vendor, product and serial number as the storage driver reports them.
static void append_descriptor(HANDLE h, char* identity, size_t cap) {
    STORAGE_PROPERTY_QUERY query;
    memset(&query, 0, sizeof query);
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    static char buffer[4096];
    DWORD got = 0;
    if (!DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buffer,
                         sizeof buffer - 1, &got, NULL) ||
        got < sizeof(STORAGE_DEVICE_DESCRIPTOR))
        return;
    buffer[got] = 0;
    const STORAGE_DEVICE_DESCRIPTOR* d = (const STORAGE_DEVICE_DESCRIPTOR*)buffer;
    const DWORD fields[] = {d->VendorIdOffset, d->ProductIdOffset, d->SerialNumberOffset};
    for (DWORD offset : fields) {
        if (offset == 0 || offset >= got) continue;
        size_t used = strlen(identity);
        snprintf(identity + used, cap - used, " %s", buffer + offset);
    }
}

static int disk_numbers(const wchar_t* device, PlatDiskFacts* out) {
    HANDLE h = CreateFileW(device, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                           NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    GET_LENGTH_INFORMATION length;
    DISK_GEOMETRY geometry;
    DWORD got = 0;
    if (!DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, NULL, 0, &length, sizeof length, &got,
                         NULL) ||
        !DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, NULL, 0, &geometry, sizeof geometry,
                         &got, NULL)) {
        DWORD err = GetLastError();
        CloseHandle(h);
        SetLastError(err);
        return 0;
    }
    out->bytes = (uint64_t)length.Length.QuadPart;
    out->sector_bytes = geometry.BytesPerSector ? geometry.BytesPerSector : 512;
    out->read_only = !DeviceIoControl(h, IOCTL_DISK_IS_WRITABLE, NULL, 0, NULL, 0, &got, NULL) &&
                     GetLastError() == ERROR_WRITE_PROTECT;
    char name[PLAT_DISK_NAME_CHARS];
    to_utf8(device, name, sizeof name);
    snprintf(out->identity, sizeof out->identity, "disk %s", name + 4);
    append_descriptor(h, out->identity, sizeof out->identity);
    CloseHandle(h);
    return 1;
}

int plat_disk_facts(const wchar_t* name, PlatDiskFacts* out) {
    memset(out, 0, sizeof *out);
    if (is_drive_letter(name)) {
        wchar_t volume[8] = {L'\\', L'\\', L'.', L'\\', name[0], L':', 0};
        DWORD disk = 0;
        if (!win32_volume_disk(volume, &disk)) return 0;
        swprintf(out->device, PLAT_DISK_NAME_CHARS, L"\\\\.\\PhysicalDrive%lu",
                 (unsigned long)disk);
    } else if (is_physical_drive(name)) {
        wcsncpy(out->device, name, PLAT_DISK_NAME_CHARS - 1);
    } else {
        WIN32_FILE_ATTRIBUTE_DATA data;
        DWORD n = GetFullPathNameW(name, PLAT_DISK_NAME_CHARS, out->device, NULL);
        if (n == 0 || n >= PLAT_DISK_NAME_CHARS) {
            if (n) SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        if (!GetFileAttributesExW(out->device, GetFileExInfoStandard, &data)) return 0;
        if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        out->kind = PLAT_DISK_IMAGE;
        out->bytes = ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
        out->sector_bytes = 512;
        out->read_only = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
        memcpy(out->identity, "image ", 6);
        to_utf8(out->device, out->identity + 6, sizeof out->identity - 6);
        return 1;
    }
    out->kind = PLAT_DISK_WHOLE;
    wcscpy(out->disk, out->device);
    return disk_numbers(out->device, out);
}
