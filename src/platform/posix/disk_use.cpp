// Linux: what forbids writing to a whole disk: a partition of it mounted, used
// as swap or held by another driver; the root file system, the running program
// or a given path on it.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/disk.h"
#include "platform/posix/posix_internal.h"

namespace {

enum { MAX_PARTS = 256 };

struct DiskParts {
    int count;
    dev_t dev[MAX_PARTS];
    char name[MAX_PARTS][NAME_MAX + 1];
    char dir[MAX_PARTS][PATH_MAX];
};

int parse_dev(const char* text, dev_t* out) {
    unsigned a = 0, b = 0;
    if (sscanf(text, "%u:%u", &a, &b) != 2) return 0;
    *out = makedev(a, b);
    return 1;
}

void add_part(DiskParts* p, const char* dir, const char* name) {
    if (p->count == MAX_PARTS) return;
    char path[PATH_MAX + 8];
    char text[64];
    snprintf(path, sizeof path, "%s/dev", dir);
    dev_t dev;
    if (!posix_read_line(path, text, sizeof text) || !parse_dev(text, &dev)) return;
    p->dev[p->count] = dev;
    snprintf(p->name[p->count], sizeof p->name[0], "%s", name);
    snprintf(p->dir[p->count], sizeof p->dir[0], "%s", dir);
    p->count++;
}

// The disk first, then every partition: the subfolders with a "partition" file.
int collect_parts(const char* disk_dir, DiskParts* p) {
    p->count = 0;
    add_part(p, disk_dir, strrchr(disk_dir, '/') + 1);
    DIR* d = opendir(disk_dir);
    if (!d) {
        plat_posix_set_error(errno, 0);
        return 0;
    }
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char sub[PATH_MAX];
        int n = snprintf(sub, sizeof sub, "%s/%s", disk_dir, e->d_name);
        if (n > 0 && (size_t)n < sizeof sub && posix_is_partition_dir(sub)) add_part(p, sub, e->d_name);
    }
    closedir(d);
    return p->count > 0;
}

int find_part(const DiskParts* p, dev_t dev) {
    for (int i = 0; i < p->count; i++)
        if (p->dev[i] == dev) return i;
    return -1;
}

void put(PlatDiskUse* out, int use, const char* part, const char* detail) {
    out->use = use;
    char dev[PATH_MAX];
    posix_dev_path(part, dev);
    if (!posix_utf8_to_wide(dev, out->part, PLAT_DISK_NAME_CHARS)) out->part[0] = 0;
    if (!posix_utf8_to_wide(detail, out->detail, PLAT_DISK_NAME_CHARS)) out->detail[0] = 0;
}

// mountinfo and swaps escape blanks and the like as \ooo.
void unescape(char* s) {
    char* w = s;
    for (char* r = s; *r; ++r) {
        if (r[0] == '\\' && r[1] >= '0' && r[1] <= '3' && r[2] >= '0' && r[2] <= '7' &&
            r[3] >= '0' && r[3] <= '7') {
            *w++ = (char)(((r[1] - '0') << 6) | ((r[2] - '0') << 3) | (r[3] - '0'));
            r += 3;
        } else {
            *w++ = *r;
        }
    }
    *w = 0;
}

// The block device a source names, when it is one.
int source_dev(const char* source, dev_t* out) {
    struct stat st;
    if (source[0] != '/' || stat(source, &st) != 0 || !S_ISBLK(st.st_mode)) return 0;
    *out = st.st_rdev;
    return 1;
}

// A mount of one of the parts, or of the device behind dev (an anonymous
// device number, btrfs), by the mount table.
int mount_of(const char* mountinfo, const DiskParts* p, dev_t only, int* part, char* point) {
    FILE* f = fopen(mountinfo, "re");
    if (!f) return 0;
    char* line = nullptr;
    size_t cap = 0;
    int found = 0;
    while (!found && getline(&line, &cap, f) > 0) {
        char id[64], root[PATH_MAX], at[PATH_MAX];
        if (sscanf(line, "%*s %*s %63s %4095s %4095s", id, root, at) != 3) continue;
        char* dash = strstr(line, " - ");
        char source[PATH_MAX];
        dev_t dev, from_source;
        if (!parse_dev(id, &dev)) continue;
        if (only != 0 && dev != only) continue;
        int i = find_part(p, dev);
        if (i < 0 && dash && sscanf(dash + 3, "%*s %4095s", source) == 1) {
            unescape(source);
            if (source_dev(source, &from_source)) i = find_part(p, from_source);
        }
        if (i >= 0) {
            unescape(at);
            *part = i;
            snprintf(point, PATH_MAX, "%s", at);
            found = 1;
        }
    }
    free(line);
    fclose(f);
    return found;
}

int swap_of(const char* swaps, const DiskParts* p, int* part) {
    FILE* f = fopen(swaps, "re");
    if (!f) return 0;
    char* line = nullptr;
    size_t cap = 0;
    int found = 0;
    while (!found && getline(&line, &cap, f) > 0) {
        char name[PATH_MAX];
        dev_t dev;
        if (sscanf(line, "%4095s", name) != 1) continue;
        unescape(name);
        if (source_dev(name, &dev) && (*part = find_part(p, dev)) >= 0) found = 1;
    }
    free(line);
    fclose(f);
    return found;
}

int holder_of(const DiskParts* p, int* part, char* holder) {
    for (int i = 0; i < p->count; i++) {
        char path[PATH_MAX + 16];
        snprintf(path, sizeof path, "%s/holders", p->dir[i]);
        DIR* d = opendir(path);
        if (!d) continue;
        int found = 0;
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            posix_dev_path(e->d_name, holder);
            found = 1;
            break;
        }
        closedir(d);
        if (found) {
            *part = i;
            return 1;
        }
    }
    return 0;
}

// 1 when the file at path (or, while it does not exist, its folder) lies on the disk.
int holds_path(const char* mountinfo, const DiskParts* p, const char* path) {
    char at[PATH_MAX];
    snprintf(at, sizeof at, "%s", path);
    struct stat st;
    while (stat(at, &st) != 0) {
        if (!strcmp(at, "/") || !strcmp(at, ".")) return 0;
        char* slash = strrchr(at, '/');
        if (!slash) {
            strcpy(at, ".");
        } else if (slash == at) {
            at[1] = 0;
        } else {
            *slash = 0;
        }
    }
    if (find_part(p, st.st_dev) >= 0) return 1;
    int part;
    char point[PATH_MAX];
    return major(st.st_dev) == 0 && mount_of(mountinfo, p, st.st_dev, &part, point);
}

} // namespace

int posix_disk_use(const char* sysfs, const char* mountinfo, const char* swaps,
                   const wchar_t* disk, const wchar_t* other_path, PlatDiskUse* out) {
    memset(out, 0, sizeof *out);
    char path[PATH_MAX];
    if (!posix_path_to_utf8(disk, path)) return 0;
    struct stat st;
    if (stat(path, &st) != 0) {
        posix_set_path_error(errno, path, 0);
        return 0;
    }
    if (!S_ISBLK(st.st_mode)) return 1; // an image: nothing but itself to mind
    static DiskParts parts;
    char dir[PATH_MAX];
    if (!posix_block_dir(sysfs, st.st_rdev, dir) || !collect_parts(dir, &parts)) return 0;
    int part = 0;
    char detail[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", detail, sizeof detail - 1);
    detail[n > 0 ? n : 0] = 0;
    char other[PATH_MAX];
    if (other_path && !posix_path_to_utf8(other_path, other)) return 0;
    // What the disk holds first: the root disk is always mounted too, and
    // "holds the root file system" says more than the mount does.
    if (holds_path(mountinfo, &parts, "/")) {
        put(out, PLAT_USE_ROOT, parts.name[0], "/");
    } else if (n > 0 && holds_path(mountinfo, &parts, detail)) {
        put(out, PLAT_USE_PROGRAM, parts.name[0], detail);
    } else if (other_path && holds_path(mountinfo, &parts, other)) {
        put(out, PLAT_USE_PATH, parts.name[0], other);
    } else if (mount_of(mountinfo, &parts, 0, &part, detail)) {
        put(out, PLAT_USE_MOUNTED, parts.name[part], detail);
    } else if (swap_of(swaps, &parts, &part)) {
        put(out, PLAT_USE_SWAP, parts.name[part], "");
    } else if (holder_of(&parts, &part, detail)) {
        put(out, PLAT_USE_HELD, parts.name[part], detail);
    }
    return 1;
}

int plat_disk_use(const wchar_t* disk, const wchar_t* other_path, PlatDiskUse* out) {
    return posix_disk_use("/sys", "/proc/self/mountinfo", "/proc/swaps", disk, other_path, out);
}
