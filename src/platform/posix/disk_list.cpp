// Linux: the disks a user could test, each with the mount points of its
// partitions and of the devices mapped over them.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

// Memory and compressed-memory disks hold no user data; a loop device with no
// file behind it and a mapped device (listed through its disk) are not disks to test.
int listable(const char* sys_block, const char* name) {
    if (name[0] == '.' || posix_starts_with(name, "ram") || posix_starts_with(name, "zram") ||
        posix_starts_with(name, "dm-"))
        return 0;
    char dir[PATH_MAX];
    if (snprintf(dir, sizeof dir, "%s/%s", sys_block, name) >= (int)sizeof dir) return 0;
    uint64_t size = 0;
    return posix_read_u64(dir, "size", &size) && size > 0;
}

struct Numbers {
    unsigned major_id[64];
    unsigned minor_id[64];
    int count;
};

void add_number(const char* dir, Numbers* n) {
    char text[32];
    unsigned a = 0, b = 0;
    if (n->count < 64 && posix_read_attr(dir, "dev", text, sizeof text) &&
        sscanf(text, "%u:%u", &a, &b) == 2) {
        n->major_id[n->count] = a;
        n->minor_id[n->count++] = b;
    }
}

// The holders (mapped devices) above a disk or partition: their mounts are its mounts.
void add_holders(const char* dir, Numbers* n) {
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/holders", dir);
    DIR* d = opendir(path);
    if (!d) return;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char holder[PATH_MAX];
        if (snprintf(holder, sizeof holder, "%s/%s", path, e->d_name) < (int)sizeof holder)
            add_number(holder, n);
    }
    closedir(d);
}

// The device numbers of a disk, its partitions and their holders.
void numbers_of_disk(const char* disk, Numbers* n) {
    n->count = 0;
    add_number(disk, n);
    add_holders(disk, n);
    DIR* d = opendir(disk);
    if (!d) return;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char part[PATH_MAX];
        if (snprintf(part, sizeof part, "%s/%s", disk, e->d_name) >= (int)sizeof part ||
            !posix_attr_exists(part, "partition"))
            continue;
        add_number(part, n);
        add_holders(part, n);
    }
    closedir(d);
}

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
void unescape(char* text) {
    char* out = text;
    for (char* p = text; *p; p++) {
        if (p[0] == '\\' && p[1] >= '0' && p[1] <= '3' && p[2] >= '0' && p[2] <= '7' &&
            p[3] >= '0' && p[3] <= '7') {
            *out++ = (char)((p[1] - '0') << 6 | (p[2] - '0') << 3 | (p[3] - '0'));
            p += 3;
        } else {
            *out++ = *p;
        }
    }
    *out = 0;
}

void add_mounts(const char* mountinfo, const Numbers* n, PlatDiskEntry* e) {
    FILE* f = fopen(mountinfo, "re");
    if (!f) return;
    static char line[3 * PATH_MAX];
    while (fgets(line, sizeof line, f)) {
        char number[32], point[2 * PATH_MAX];
        if (sscanf(line, "%*s %*s %31s %*s %1023s", number, point) != 2) continue;
        unsigned a = 0, b = 0;
        if (sscanf(number, "%u:%u", &a, &b) != 2) continue;
        int mine = 0;
        for (int i = 0; i < n->count; i++) mine |= n->major_id[i] == a && n->minor_id[i] == b;
        if (!mine) {
            // An anonymous device number: its source names the device.
            char* dash = strstr(line, " - ");
            char* source = dash ? strchr(dash + 3, ' ') : nullptr;
            struct stat st;
            if (source) {
                source++;
                source[strcspn(source, " \n")] = 0;
                if (source[0] == '/' && stat(source, &st) == 0 && S_ISBLK(st.st_mode))
                    for (int i = 0; i < n->count; i++)
                        mine |= n->major_id[i] == major(st.st_rdev) &&
                                n->minor_id[i] == minor(st.st_rdev);
            }
        }
        if (!mine) continue;
        unescape(point);
        int seen = 0;
        for (int i = 0; i < e->mount_count; i++) seen |= strcmp(e->mounts[i], point) == 0;
        // A mount point too long to hold, or one control bytes would garble, is left out.
        int clean = strlen(point) < PLAT_ID_PATH_CHARS;
        for (const char* p = point; *p; p++) clean &= (unsigned char)*p >= 0x20;
        if (!seen && clean && e->mount_count < PLAT_DISK_MOUNTS)
            posix_copy_text(e->mounts[e->mount_count++], PLAT_ID_PATH_CHARS, point);
    }
    fclose(f);
}

} // namespace

int posix_list_disks(const char* sys_root, const char* mountinfo, PlatDiskEntry* out, int cap) {
    char sys_block[PATH_MAX];
    snprintf(sys_block, sizeof sys_block, "%s/block", sys_root);
    DIR* d = opendir(sys_block);
    if (!d) return 0;
    int count = 0;
    while (struct dirent* e = readdir(d)) {
        if (count >= cap) break;
        if (!listable(sys_block, e->d_name)) continue;
        char dir[PATH_MAX], disk[PATH_MAX];
        if (snprintf(dir, sizeof dir, "%s/%s", sys_block, e->d_name) >= (int)sizeof dir ||
            !realpath(dir, disk))
            continue;
        PlatDiskEntry* entry = &out[count++];
        memset(entry, 0, sizeof *entry);
        posix_fill_disk_identity(sys_root, disk, &entry->id);
        Numbers numbers;
        numbers_of_disk(disk, &numbers);
        add_mounts(mountinfo, &numbers, entry);
    }
    closedir(d);
    // Removable disks first, then by device name: a short list, so a plain insertion sort.
    static PlatDiskEntry moving;
    for (int i = 1; i < count; i++) {
        moving = out[i];
        int j = i;
        while (j > 0 && (out[j - 1].id.removable < moving.id.removable ||
                         (out[j - 1].id.removable == moving.id.removable &&
                          strcmp(out[j - 1].id.path, moving.id.path) > 0))) {
            out[j] = out[j - 1];
            j--;
        }
        out[j] = moving;
    }
    return count;
}

int plat_list_disks(PlatDiskEntry* out, int cap) {
    return posix_list_disks("/sys", "/proc/self/mountinfo", out, cap);
}
