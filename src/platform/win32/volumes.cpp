// Windows: volume root, free space, sector sizes and file-system name.
#include "platform/platform.h"

#include <windows.h>
#include <winioctl.h>

#include <string.h>


int plat_volume_root(const wchar_t* path, wchar_t* root, uint32_t cap) {
    return GetVolumePathNameW(path, root, cap) ? 1 : 0;
}

// The volume's GUID name when the system gives one (two drive letters or
// mounted folders of one volume share it), else the roots themselves.
int plat_same_volume(const wchar_t* dir_a, const wchar_t* dir_b) {
    static wchar_t root_a[32768], root_b[32768], name_a[64], name_b[64];
    if (!GetVolumePathNameW(dir_a, root_a, 32768) || !GetVolumePathNameW(dir_b, root_b, 32768))
        return 0;
    if (GetVolumeNameForVolumeMountPointW(root_a, name_a, 64) &&
        GetVolumeNameForVolumeMountPointW(root_b, name_b, 64))
        return wcscmp(name_a, name_b) == 0;
    return plat_same_volume_root(root_a, root_b);
}

int plat_free_bytes_available(const wchar_t* root, uint64_t* bytes) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(root, &available, NULL, NULL)) return 0;
    *bytes = available.QuadPart;
    return 1;
}

int plat_logical_sector_bytes(const wchar_t* root, uint32_t* bytes) {
    DWORD sectors_per_cluster = 0, bytes_per_sector = 0, free_clusters = 0, total_clusters = 0;
    if (!GetDiskFreeSpaceW(root, &sectors_per_cluster, &bytes_per_sector, &free_clusters,
                           &total_clusters)) {
        return 0;
    }
    *bytes = bytes_per_sector;
    return 1;
}

static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12, "12-byte property query");
static_assert(sizeof(STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR) == 28, "28-byte alignment descriptor");

int plat_physical_sector_bytes(const wchar_t* root, uint32_t* bytes) {
    wchar_t volume_name[32768];
    if (!GetVolumeNameForVolumeMountPointW(root, volume_name, 32768)) return 0;
    // "\\?\Volume{...}\" names the root directory; without the separator it
    // names the volume device, which is what answers the storage query.
    size_t len = wcslen(volume_name);
    while (len > 0 && (volume_name[len - 1] == L'\\' || volume_name[len - 1] == L'/')) {
        volume_name[--len] = 0;
    }
    HANDLE h = CreateFileW(volume_name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                           0, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    STORAGE_PROPERTY_QUERY query;
    memset(&query, 0, sizeof query);
    query.PropertyId = StorageAccessAlignmentProperty;
    query.QueryType = PropertyStandardQuery;
    query.AdditionalParameters[0] = 0;
    STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR descriptor;
    memset(&descriptor, 0, sizeof descriptor);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &descriptor,
                              sizeof descriptor, &returned, NULL);
    CloseHandle(h);
    if (!ok || returned < sizeof descriptor || descriptor.BytesPerPhysicalSector == 0) return 0;
    *bytes = descriptor.BytesPerPhysicalSector;
    return 1;
}

int plat_filesystem_name(const wchar_t* root, wchar_t* name, uint32_t cap) {
    wchar_t fs[64];
    if (!GetVolumeInformationW(root, NULL, 0, NULL, NULL, NULL, fs, 64)) return 0;
    if (cap == 0) return 1;
    fs[63] = 0;
    size_t len = wcslen(fs);
    if (len > cap - 1) len = cap - 1;
    memcpy(name, fs, len * sizeof(wchar_t));
    name[len] = 0;
    return 1;
}

