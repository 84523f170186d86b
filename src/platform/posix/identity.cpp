// Linux: the identity of the disk behind a directory or a device, read from a
// sysfs tree: a partition's disk, the disk under a mapped or RAID device, the
// device a mount with an anonymous number names.
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

const char* base_name(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// path without its last component; 0 at the top.
int parent_of(char* path) {
    char* slash = strrchr(path, '/');
    if (!slash || slash == path) return 0;
    *slash = 0;
    return 1;
}

// The USB device nearest above the disk in the device tree, if any.
void read_usb(const char* sys_root, const char* disk_dir, PlatDeviceIdentity* id) {
    char dir[PATH_MAX];
    posix_copy_text(dir, sizeof dir, disk_dir);
    size_t root_len = strlen(sys_root);
    while (parent_of(dir) && strlen(dir) > root_len) {
        if (!posix_attr_exists(dir, "idVendor")) continue;
        PlatUsbIdentity* u = &id->usb;
        u->known = 1;
        char text[32];
        char *end_v = nullptr, *end_p = nullptr;
        char product[32];
        if (posix_read_attr(dir, "idVendor", text, sizeof text) &&
            posix_read_attr(dir, "idProduct", product, sizeof product)) {
            unsigned long v = strtoul(text, &end_v, 16), p = strtoul(product, &end_p, 16);
            if (!*end_v && !*end_p && v <= 0xFFFF && p <= 0xFFFF) {
                u->ids_known = 1;
                u->vendor_id = (uint16_t)v;
                u->product_id = (uint16_t)p;
            }
        }
        posix_read_attr(dir, "manufacturer", u->manufacturer, sizeof u->manufacturer);
        posix_read_attr(dir, "product", u->product, sizeof u->product);
        posix_read_attr(dir, "serial", u->serial, sizeof u->serial);
        posix_read_attr(dir, "version", u->version, sizeof u->version);
        if (posix_read_attr(dir, "speed", text, sizeof text)) {
            char* end = nullptr;
            double mbps = strtod(text, &end);
            if (end != text && !*end && mbps > 0) u->speed_mbps = mbps;
        }
        return;
    }
}

// The unit serial number page of a SCSI disk (VPD page 0x80), when sysfs has it.
void read_scsi_serial(const char* dev, char* out, size_t cap) {
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/vpd_pg80", dev) >= (int)sizeof path) return;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    unsigned char page[260];
    ssize_t n = read(fd, page, sizeof page);
    close(fd);
    if (n < 4 || page[1] != 0x80) return;
    size_t length = page[3];
    if (length > (size_t)n - 4) length = (size_t)n - 4;
    size_t begin = 4, end = 4 + length, used = 0;
    while (begin < end && page[begin] == ' ') begin++;
    while (end > begin && (page[end - 1] == ' ' || page[end - 1] == 0)) end--;
    for (size_t i = begin; i < end && used + 1 < cap; i++)
        out[used++] = page[i] < 0x20 || page[i] >= 0x7f ? '?' : (char)page[i];
    out[used] = 0;
}

} // namespace

// Everything the disk's directory in the device tree tells.
void posix_fill_disk_identity(const char* sys_root, const char* disk, PlatDeviceIdentity* id) {
    const char* name = base_name(disk);
    char dev[PATH_MAX];
    snprintf(dev, sizeof dev, "%s/device", disk);
    char devname[PLAT_ID_CHARS] = "";
    char uevent[POSIX_ATTR_BYTES];
    if (posix_read_attr(disk, "uevent", uevent, sizeof uevent)) {
        // Lines come through as '?'-joined text: DEVNAME=sdb?DEVTYPE=disk...
        char* at = strstr(uevent, "DEVNAME=");
        if (at && (at == uevent || at[-1] == '?')) {
            at += 8;
            size_t n = strcspn(at, "?");
            if (n < sizeof devname) {
                memcpy(devname, at, n);
                devname[n] = 0;
            }
        }
    }
    snprintf(id->path, sizeof id->path, "/dev/%s", devname[0] ? devname : name);
    uint64_t value = 0;
    if (posix_read_u64(disk, "size", &value)) {
        id->size_known = 1;
        id->size_bytes = value * 512; // sysfs counts 512-byte units whatever the sector size
    }
    if (posix_read_u64(disk, "removable", &value)) {
        id->removable_known = 1;
        id->removable = value != 0;
    }
    if (posix_read_u64(disk, "queue/rotational", &value)) {
        id->rotational_known = 1;
        id->rotational = value != 0;
    }

    const char* bus = "other";
    if (posix_starts_with(name, "loop")) {
        bus = "loop";
        posix_read_attr(disk, "loop/backing_file", id->model, sizeof id->model);
    } else if (posix_starts_with(name, "nvme")) {
        bus = "nvme";
        posix_read_attr(dev, "model", id->model, sizeof id->model);
        posix_read_attr(dev, "serial", id->serial, sizeof id->serial);
        posix_read_attr(dev, "firmware_rev", id->revision, sizeof id->revision);
    } else if (posix_starts_with(name, "mmcblk")) {
        bus = "mmc";
        posix_read_attr(dev, "name", id->model, sizeof id->model);
        posix_read_attr(dev, "serial", id->serial, sizeof id->serial);
        char type[16];
        if (!posix_read_attr(dev, "type", type, sizeof type) || strcmp(type, "SD") == 0)
            posix_read_sd_card(dev, &id->card);
    } else if (posix_starts_with(name, "vd")) {
        bus = "virtio";
        posix_read_attr(disk, "serial", id->serial, sizeof id->serial);
    } else {
        posix_read_attr(dev, "vendor", id->vendor, sizeof id->vendor);
        posix_read_attr(dev, "model", id->model, sizeof id->model);
        posix_read_attr(dev, "rev", id->revision, sizeof id->revision);
        read_scsi_serial(dev, id->serial, sizeof id->serial);
        if (posix_starts_with(name, "sd") || posix_starts_with(name, "sr"))
            bus = strstr(disk, "/ata") ? "sata" : "scsi";
    }
    read_usb(sys_root, disk, id);
    if (id->usb.known) {
        bus = "usb";
        if (!id->serial[0]) posix_copy_text(id->serial, sizeof id->serial, id->usb.serial);
    }
    posix_copy_text(id->bus, sizeof id->bus, bus);
}

namespace {

// The first entry of a slaves/ directory, by name, so the answer does not vary.
int first_slave(const char* dir, char* out, size_t cap) {
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/slaves", dir) >= (int)sizeof path) return 0;
    DIR* d = opendir(path);
    if (!d) return 0;
    char best[256] = "";
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        if (!best[0] || strcmp(e->d_name, best) < 0) posix_copy_text(best, sizeof best, e->d_name);
    }
    closedir(d);
    if (!best[0]) return 0;
    return snprintf(out, cap, "%s/%s", path, best) < (int)cap;
}

// From a block device's directory to the disk that holds its data: a partition
// to its disk, a mapped or RAID device through its first underlying device.
int disk_of(const char* block_dir, char* disk, size_t cap) {
    char at[PATH_MAX];
    if (!realpath(block_dir, at)) return 0;
    for (int depth = 0; depth < 16; depth++) {
        char next[PATH_MAX];
        if (posix_attr_exists(at, "partition")) {
            if (!parent_of(at)) return 0;
            continue;
        }
        if (!first_slave(at, next, sizeof next)) break;
        if (!realpath(next, at)) return 0;
    }
    return snprintf(disk, cap, "%s", at) < (int)cap;
}

// The device numbers mountinfo gives a mount, and its source when that is a
// block device: a file system with an anonymous number (btrfs) names its device.
int mount_source_number(const char* mountinfo, unsigned major_id, unsigned minor_id,
                        unsigned* out_major, unsigned* out_minor) {
    FILE* f = fopen(mountinfo, "re");
    if (!f) return 0;
    static char line[3 * PATH_MAX];
    int found = 0;
    while (!found && fgets(line, sizeof line, f)) {
        unsigned a = 0, b = 0;
        char* p = line;
        for (int k = 0; k < 2 && p; k++) p = strchr(p + 1, ' ');
        if (!p || sscanf(p, " %u:%u", &a, &b) != 2 || a != major_id || b != minor_id) continue;
        char* dash = strstr(p, " - ");
        if (!dash) continue;
        char* source = strchr(dash + 3, ' ');
        if (!source) continue;
        source++;
        source[strcspn(source, " \n")] = 0;
        struct stat st;
        if (source[0] == '/' && stat(source, &st) == 0 && S_ISBLK(st.st_mode)) {
            *out_major = major(st.st_rdev);
            *out_minor = minor(st.st_rdev);
            found = 1;
        }
    }
    fclose(f);
    return found;
}

int block_dir_of(const char* sys_root, unsigned major_id, unsigned minor_id, char* out,
                 size_t cap) {
    snprintf(out, cap, "%s/dev/block/%u:%u", sys_root, major_id, minor_id);
    return access(out, F_OK) == 0;
}

} // namespace

void posix_identity_of_number(const char* sys_root, const char* mountinfo, unsigned major_id,
                              unsigned minor_id, PlatDeviceIdentity* out) {
    memset(out, 0, sizeof *out);
    char block[PATH_MAX];
    if (!block_dir_of(sys_root, major_id, minor_id, block, sizeof block)) {
        unsigned a = 0, b = 0;
        if (!mount_source_number(mountinfo, major_id, minor_id, &a, &b) ||
            !block_dir_of(sys_root, a, b, block, sizeof block))
            return;
    }
    char disk[PATH_MAX];
    if (disk_of(block, disk, sizeof disk)) posix_fill_disk_identity(sys_root, disk, out);
}

void posix_identity_of_path(const char* sys_root, const char* mountinfo, const char* path,
                            PlatDeviceIdentity* out) {
    memset(out, 0, sizeof *out);
    struct stat st;
    // A character device is no disk; the disk that holds its node is not the one meant.
    if (stat(path, &st) != 0 || S_ISCHR(st.st_mode)) return;
    dev_t number = S_ISBLK(st.st_mode) ? st.st_rdev : st.st_dev;
    posix_identity_of_number(sys_root, mountinfo, major(number), minor(number), out);
}

void plat_directory_identity(const wchar_t* dir, PlatDeviceIdentity* out) {
    char path[PATH_MAX];
    memset(out, 0, sizeof *out);
    if (posix_path_to_utf8(dir, path)) posix_identity_of_path("/sys", "/proc/self/mountinfo", path, out);
}

void plat_device_identity(const wchar_t* device_path, PlatDeviceIdentity* out) {
    char path[PATH_MAX];
    struct stat st;
    memset(out, 0, sizeof *out);
    // Only a block device names a disk; a file or directory is not a device.
    if (posix_path_to_utf8(device_path, path) && stat(path, &st) == 0 && S_ISBLK(st.st_mode))
        posix_identity_of_path("/sys", "/proc/self/mountinfo", path, out);
}
