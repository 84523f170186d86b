// Windows: the identity of the disk behind a directory or a device, from the
// volume's disk extents and the storage device property, and the list of disks.
#include "platform/platform.h"

#include <windows.h>
#include <winioctl.h>

#include <stddef.h>
#include <stdio.h>
#include <string.h>

namespace {

const DWORD MAX_DISKS = 64;

struct Handle {
    HANDLE h;
    explicit Handle(HANDLE handle) : h(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

// Opened for queries only: no access right is needed to ask for properties.
HANDLE open_for_query(const wchar_t* path) {
    return CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                       OPEN_EXISTING, 0, NULL);
}

// A text the descriptor holds at offset: printable ASCII, blanks trimmed.
void take_text(const BYTE* base, DWORD size, DWORD offset, char* out, size_t cap) {
    out[0] = 0;
    if (offset == 0 || offset >= size) return;
    DWORD end = offset;
    while (end < size && base[end]) end++;
    while (offset < end && base[offset] == ' ') offset++;
    while (end > offset && base[end - 1] == ' ') end--;
    size_t used = 0;
    for (DWORD i = offset; i < end && used + 1 < cap; i++)
        out[used++] = base[i] >= 0x20 && base[i] < 0x7f ? (char)base[i] : '?';
    out[used] = 0;
}

const char* bus_name(STORAGE_BUS_TYPE type) {
    switch (type) {
    case BusTypeUsb: return "usb";
    case BusTypeSd:
    case BusTypeMmc: return "mmc";
    case BusTypeNvme: return "nvme";
    case BusTypeAta:
    case BusTypeSata: return "sata";
    case BusTypeScsi:
    case BusTypeSas:
    case BusTypeiScsi: return "scsi";
    case BusTypeFileBackedVirtual: return "loop"; // a disk backed by a file (VHD)
    default: return "other";
    }
}

// Whatever the disk's handle answers; every query may fail on its own.
void query_disk(HANDLE h, PlatDeviceIdentity* id) {
    STORAGE_PROPERTY_QUERY query;
    memset(&query, 0, sizeof query);
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    static BYTE buffer[4096];
    DWORD returned = 0;
    if (DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buffer,
                        sizeof buffer, &returned, NULL) &&
        returned >= offsetof(STORAGE_DEVICE_DESCRIPTOR, RawPropertiesLength)) {
        const STORAGE_DEVICE_DESCRIPTOR* d = (const STORAGE_DEVICE_DESCRIPTOR*)buffer;
        DWORD size = d->Size < returned ? d->Size : returned;
        take_text(buffer, size, d->VendorIdOffset, id->vendor, sizeof id->vendor);
        take_text(buffer, size, d->ProductIdOffset, id->model, sizeof id->model);
        take_text(buffer, size, d->ProductRevisionOffset, id->revision, sizeof id->revision);
        // No serial: the offset is 0, or (some drivers) all ones.
        if (d->SerialNumberOffset != 0xFFFFFFFFu)
            take_text(buffer, size, d->SerialNumberOffset, id->serial, sizeof id->serial);
        id->removable_known = 1;
        id->removable = d->RemovableMedia ? 1 : 0;
        snprintf(id->bus, sizeof id->bus, "%s", bus_name(d->BusType));
        if (d->BusType == BusTypeUsb) id->usb.known = 1;
    }
    memset(&query, 0, sizeof query);
    query.PropertyId = StorageDeviceSeekPenaltyProperty;
    query.QueryType = PropertyStandardQuery;
    DEVICE_SEEK_PENALTY_DESCRIPTOR seek;
    memset(&seek, 0, sizeof seek);
    if (DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &seek, sizeof seek,
                        &returned, NULL) &&
        returned >= sizeof seek) {
        id->rotational_known = 1;
        id->rotational = seek.IncursSeekPenalty ? 1 : 0;
    }
    GET_LENGTH_INFORMATION length;
    if (DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, NULL, 0, &length, sizeof length, &returned,
                        NULL) &&
        returned >= sizeof length) {
        id->size_known = 1;
        id->size_bytes = (uint64_t)length.Length.QuadPart;
    }
}

void identity_of_disk(DWORD number, PlatDeviceIdentity* id) {
    wchar_t path[64];
    swprintf(path, 64, L"\\\\.\\PhysicalDrive%lu", (unsigned long)number);
    Handle disk(open_for_query(path));
    if (disk.h == INVALID_HANDLE_VALUE) return;
    snprintf(id->path, sizeof id->path, "\\\\.\\PhysicalDrive%lu", (unsigned long)number);
    query_disk(disk.h, id);
}

// The one disk a volume lies on; 0 for a volume that spans disks or cannot say.
int disk_of_volume_root(const wchar_t* root, DWORD* number) {
    wchar_t name[64];
    if (!GetVolumeNameForVolumeMountPointW(root, name, 64)) return 0;
    // Without its final separator the name opens the volume, not its root directory.
    size_t len = wcslen(name);
    while (len > 0 && name[len - 1] == L'\\') name[--len] = 0;
    Handle volume(open_for_query(name));
    if (volume.h == INVALID_HANDLE_VALUE) return 0;
    union {
        VOLUME_DISK_EXTENTS extents;
        BYTE room[sizeof(VOLUME_DISK_EXTENTS) + 8 * sizeof(DISK_EXTENT)];
    } answer;
    DWORD returned = 0;
    if (!DeviceIoControl(volume.h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, NULL, 0, &answer,
                         sizeof answer, &returned, NULL) ||
        returned < sizeof(VOLUME_DISK_EXTENTS) || answer.extents.NumberOfDiskExtents != 1)
        return 0;
    *number = answer.extents.Extents[0].DiskNumber;
    return 1;
}

} // namespace

void plat_directory_identity(const wchar_t* dir, PlatDeviceIdentity* out) {
    memset(out, 0, sizeof *out);
    static wchar_t root[32768];
    DWORD number = 0;
    if (GetVolumePathNameW(dir, root, 32768) && disk_of_volume_root(root, &number))
        identity_of_disk(number, out);
}

void plat_device_identity(const wchar_t* device_path, PlatDeviceIdentity* out) {
    memset(out, 0, sizeof *out);
    Handle device(open_for_query(device_path));
    if (device.h == INVALID_HANDLE_VALUE) return;
    // A partition or a volume names its disk by number; a disk names itself.
    STORAGE_DEVICE_NUMBER number;
    DWORD returned = 0;
    if (DeviceIoControl(device.h, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &number, sizeof number,
                        &returned, NULL) &&
        returned >= sizeof number && number.DeviceType == FILE_DEVICE_DISK) {
        identity_of_disk(number.DeviceNumber, out);
        return;
    }
    query_disk(device.h, out);
}

int plat_list_disks(PlatDiskEntry* out, int cap) {
    int count = 0;
    DWORD letters = GetLogicalDrives();
    for (DWORD n = 0; n < MAX_DISKS && count < cap; n++) {
        PlatDiskEntry* e = &out[count];
        memset(e, 0, sizeof *e);
        identity_of_disk(n, &e->id);
        if (!e->id.path[0]) continue;
        count++;
        for (int l = 0; l < 26 && e->mount_count < PLAT_DISK_MOUNTS; l++) {
            if (!(letters & (1u << l))) continue;
            wchar_t root[4] = {(wchar_t)(L'A' + l), L':', L'\\', 0};
            DWORD disk = 0;
            if (disk_of_volume_root(root, &disk) && disk == n)
                snprintf(e->mounts[e->mount_count++], PLAT_ID_PATH_CHARS, "%c:\\", 'A' + l);
        }
    }
    // Removable disks first, in the order of their numbers otherwise.
    static PlatDiskEntry moving;
    for (int i = 1; i < count; i++) {
        moving = out[i];
        int j = i;
        while (j > 0 && out[j - 1].id.removable < moving.id.removable) {
            out[j] = out[j - 1];
            j--;
        }
        out[j] = moving;
    }
    return count;
}
