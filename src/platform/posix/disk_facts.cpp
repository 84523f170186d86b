// Linux: what a device name stands for: a whole disk, a partition (and its
// disk), or a disk image; its size, sector, write protection and identity.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/disk.h"
#include "platform/posix/posix_internal.h"

// The first line of a small sysfs file, without its newline; 0 when unreadable.
int posix_read_line(const char* path, char* out, size_t cap) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t n;
    do {
        n = read(fd, out, cap - 1);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n < 0) return 0;
    out[n] = 0;
    char* newline = strchr(out, '\n');
    if (newline) *newline = 0;
    return 1;
}

int posix_block_dir(const char* sysfs, dev_t dev, char out[PATH_MAX]) {
    char link[PATH_MAX];
    snprintf(link, sizeof link, "%s/dev/block/%u:%u", sysfs, major(dev), minor(dev));
    if (!realpath(link, out)) {
        plat_posix_set_error(errno, 0);
        return 0;
    }
    return 1;
}

int posix_is_partition_dir(const char* dir) {
    char path[PATH_MAX + 16];
    snprintf(path, sizeof path, "%s/partition", dir);
    return access(path, F_OK) == 0;
}

// A sysfs block name as its /dev path: '!' stands for '/' (cciss!c0d0).
void posix_dev_path(const char* name, char out[PATH_MAX]) {
    snprintf(out, PATH_MAX, "/dev/%s", name);
    for (char* p = out + 5; *p; ++p)
        if (*p == '!') *p = '/';
}

static void append_attribute(char* identity, size_t cap, const char* dir, const char* name) {
    char path[PATH_MAX + 64];
    char value[256];
    snprintf(path, sizeof path, "%s/%s", dir, name);
    if (!posix_read_line(path, value, sizeof value) || !value[0]) return;
    size_t used = strlen(identity);
    snprintf(identity + used, cap - used, " %s=%s", name, value);
}

static int wide_out(const char* text, wchar_t* out) {
    if (posix_utf8_to_wide(text, out, PLAT_DISK_NAME_CHARS)) return 1;
    plat_posix_set_error(ENAMETOOLONG, 0);
    return 0;
}

// Size, sector and write protection as the block layer tells them.
static int block_numbers(const char* path, PlatDiskFacts* out) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        plat_posix_set_error(errno, 0);
        return 0;
    }
    uint64_t bytes = 0;
    int sector = 0;
    int ro = 0;
    int ok = ioctl(fd, BLKGETSIZE64, &bytes) == 0 && ioctl(fd, BLKSSZGET, &sector) == 0 &&
             ioctl(fd, BLKROGET, &ro) == 0;
    int err = errno;
    close(fd);
    if (!ok) {
        plat_posix_set_error(err, 0);
        return 0;
    }
    out->bytes = bytes;
    out->sector_bytes = sector > 0 ? (uint32_t)sector : 512;
    out->read_only = ro != 0;
    return 1;
}

static int sysfs_number(const char* dir, const char* name, uint64_t* value) {
    char path[PATH_MAX + 64];
    char text[64];
    snprintf(path, sizeof path, "%s/%s", dir, name);
    if (!posix_read_line(path, text, sizeof text)) return 0;
    char* end = nullptr;
    *value = strtoull(text, &end, 10);
    return end != text;
}

// The same from sysfs, where the device node cannot be opened (a container's
// device rules): its size in 512-byte units, its read-only flag, its disk's queue.
static int sysfs_numbers(const char* dir, const char* disk_dir, PlatDiskFacts* out) {
    uint64_t units = 0, ro = 0, sector = 512;
    if (!sysfs_number(dir, "size", &units) || !sysfs_number(dir, "ro", &ro)) return 0;
    sysfs_number(disk_dir, "queue/logical_block_size", &sector);
    out->bytes = units * 512;
    out->sector_bytes = sector ? (uint32_t)sector : 512;
    out->read_only = ro != 0;
    return 1;
}

int posix_disk_facts(const char* sysfs, const wchar_t* name, PlatDiskFacts* out) {
    memset(out, 0, sizeof *out);
    char path[PATH_MAX];
    if (!posix_path_to_utf8(name, path)) return 0;
    struct stat st;
    if (stat(path, &st) != 0) {
        posix_set_path_error(errno, path, 0);
        return 0;
    }
    char full[PATH_MAX];
    if (!realpath(path, full)) {
        plat_posix_set_error(errno, 0);
        return 0;
    }
    if (!wide_out(full, out->device)) return 0;
    if (S_ISREG(st.st_mode)) {
        out->kind = PLAT_DISK_IMAGE;
        out->bytes = (uint64_t)st.st_size;
        out->sector_bytes = 512;
        out->read_only = access(full, W_OK) != 0;
        size_t n = strlen(full);
        if (n > sizeof out->identity - 7) n = sizeof out->identity - 7;
        memcpy(out->identity, "image ", 6);
        memcpy(out->identity + 6, full, n);
        out->identity[6 + n] = 0;
        return 1;
    }
    if (!S_ISBLK(st.st_mode)) {
        plat_posix_set_error(EINVAL, 0);
        return 0;
    }
    char dir[PATH_MAX];
    if (!posix_block_dir(sysfs, st.st_rdev, dir)) return 0;
    out->kind = posix_is_partition_dir(dir) ? PLAT_DISK_PARTITION : PLAT_DISK_WHOLE;
    char disk_dir[PATH_MAX];
    strcpy(disk_dir, dir);
    if (out->kind == PLAT_DISK_PARTITION) *strrchr(disk_dir, '/') = 0;
    char disk_path[PATH_MAX];
    posix_dev_path(strrchr(disk_dir, '/') + 1, disk_path);
    if (!wide_out(disk_path, out->disk)) return 0;
    if (!block_numbers(full, out) && !sysfs_numbers(dir, disk_dir, out)) return 0;
    // The kernel's name and the serial numbers the device gives; a loop
    // device is known by the file behind it.
    snprintf(out->identity, sizeof out->identity, "block %s", strrchr(dir, '/') + 1);
    append_attribute(out->identity, sizeof out->identity, disk_dir, "device/wwid");
    append_attribute(out->identity, sizeof out->identity, disk_dir, "device/serial");
    append_attribute(out->identity, sizeof out->identity, disk_dir, "serial");
    append_attribute(out->identity, sizeof out->identity, disk_dir, "loop/backing_file");
    return 1;
}

int plat_disk_facts(const wchar_t* name, PlatDiskFacts* out) {
    return posix_disk_facts("/sys", name, out);
}
