// Windows: what forbids writing to a whole disk beyond what the volume locks
// find: it holds the system folder, the running program or a given path.
#include "platform/disk.h"

#include <windows.h>

#include <string.h>
#include <wchar.h>

int win32_volume_disk(const wchar_t* volume, DWORD* disk);

// The disk number of \\.\PhysicalDriveN.
static int disk_number(const wchar_t* device, DWORD* out) {
    const wchar_t* p = device + wcslen(device);
    while (p > device && p[-1] >= L'0' && p[-1] <= L'9') --p;
    if (!*p) return 0;
    *out = (DWORD)wcstoul(p, NULL, 10);
    return 1;
}

// 1 when the volume that holds path lies on disk.
static int path_on_disk(const wchar_t* path, DWORD disk) {
    static wchar_t full[32768], root[32768], volume[64];
    DWORD n = GetFullPathNameW(path, 32768, full, NULL);
    if (n == 0 || n >= 32768 || !GetVolumePathNameW(full, root, 32768) ||
        !GetVolumeNameForVolumeMountPointW(root, volume, 64))
        return 0;
    size_t len = wcslen(volume);
    if (len > 0 && volume[len - 1] == L'\\') volume[len - 1] = 0;
    DWORD on = 0;
    return win32_volume_disk(volume, &on) && on == disk;
}

static void put(PlatDiskUse* out, int use, const wchar_t* disk, const wchar_t* detail) {
    out->use = use;
    wcsncpy(out->part, disk, PLAT_DISK_NAME_CHARS - 1);
    wcsncpy(out->detail, detail, PLAT_DISK_NAME_CHARS - 1);
}

int plat_disk_use(const wchar_t* disk, const wchar_t* other_path, PlatDiskUse* out) {
    memset(out, 0, sizeof *out);
    DWORD number = 0;
    if (!disk_number(disk, &number)) return 1; // an image: nothing but itself to mind
    static wchar_t system[MAX_PATH], program[32768];
    UINT n = GetWindowsDirectoryW(system, MAX_PATH);
    DWORD m = GetModuleFileNameW(NULL, program, 32768);
    if (n > 0 && n < MAX_PATH && path_on_disk(system, number)) {
        put(out, PLAT_USE_ROOT, disk, system);
    } else if (m > 0 && m < 32768 && path_on_disk(program, number)) {
        put(out, PLAT_USE_PROGRAM, disk, program);
    } else if (other_path && path_on_disk(other_path, number)) {
        put(out, PLAT_USE_PATH, disk, other_path);
    }
    return 1;
}

// advapi32 is loaded here alone, so that a test run needs no library beyond
// kernel32 and the C runtime.
int plat_is_admin(void) {
    typedef BOOL(WINAPI * CreateSid)(WELL_KNOWN_SID_TYPE, PSID, PSID, DWORD*);
    typedef BOOL(WINAPI * CheckMember)(HANDLE, PSID, PBOOL);
    HMODULE lib = LoadLibraryW(L"advapi32.dll");
    if (!lib) return 0;
    CreateSid create = (CreateSid)(void*)GetProcAddress(lib, "CreateWellKnownSid");
    CheckMember check = (CheckMember)(void*)GetProcAddress(lib, "CheckTokenMembership");
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    BOOL member = FALSE;
    int admin = create && check && create(WinBuiltinAdministratorsSid, NULL, sid, &size) &&
                check(NULL, sid, &member) && member;
    FreeLibrary(lib);
    return admin;
}
