// Linux: the identity of the disk behind a directory or a device, read from a
// sysfs tree, and the list of disks a user could test.
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
#include "platform/utf8.h"
#include "platform/posix/posix_internal.h"

namespace {

// Sysfs attributes are short; anything longer is not one we read.
const size_t ATTR_BYTES = 512;

// Copies what fits, always terminated.
void copy_text(char* out, size_t cap, const char* in) {
    size_t n = strlen(in);
    if (n >= cap) n = cap - 1;
    memcpy(out, in, n);
    out[n] = 0;
}

// Reads dir/name into out: surrounding blanks dropped, control bytes shown as
// '?'. 1 when something is left.
int read_attr(const char* dir, const char* name, char* out, size_t cap) {
    char path[PATH_MAX];
    out[0] = 0;
    if (snprintf(path, sizeof path, "%s/%s", dir, name) >= (int)sizeof path) return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char raw[ATTR_BYTES];
    ssize_t n = read(fd, raw, sizeof raw - 1);
    close(fd);
    if (n <= 0) return 0;
    size_t begin = 0, end = (size_t)n;
    while (begin < end && (raw[begin] == ' ' || raw[begin] == '\t' || raw[begin] == '\n')) begin++;
    while (end > begin && (raw[end - 1] == ' ' || raw[end - 1] == '\t' || raw[end - 1] == '\n' ||
                           raw[end - 1] == 0))
        end--;
    // Valid UTF-8 only, so every later writer (JSON, SVG, terminal) can trust the text.
    size_t used = 0, seq_start = begin;
    Utf8Decoder d = {};
    for (size_t i = begin; i < end; i++) {
        uint32_t cp = 0;
        int r = utf8_decode_byte(&d, (unsigned char)raw[i], &cp);
        if (r == UTF8_MORE) continue;
        size_t len = r == UTF8_DONE && cp >= 0x20 && (cp < 0x7f || cp >= 0xa0) ? i + 1 - seq_start : 0;
        if (used + (len ? len : 1) >= cap) break;
        if (len) {
            memcpy(out + used, raw + seq_start, len);
            used += len;
        } else {
            out[used++] = '?';
        }
        seq_start = i + 1;
    }
    if (seq_start < end && used + 1 < cap) out[used++] = '?'; // a sequence cut short
    out[used] = 0;
    return used > 0;
}

int read_u64(const char* dir, const char* name, uint64_t* value) {
    char text[64];
    if (!read_attr(dir, name, text, sizeof text)) return 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text, &end, 10);
    if (end == text || *end) return 0;
    *value = v;
    return 1;
}

int exists(const char* dir, const char* name) {
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/%s", dir, name) >= (int)sizeof path) return 0;
    return access(path, F_OK) == 0;
}

int starts_with(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

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

int hex_nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A 128-bit register as sysfs prints it: 32 hex digits, most significant first.
int read_register(const char* dir, const char* name, uint8_t reg[16]) {
    char text[64];
    if (!read_attr(dir, name, text, sizeof text) || strlen(text) != 32) return 0;
    for (int i = 0; i < 16; i++) {
        int hi = hex_nibble(text[2 * i]), lo = hex_nibble(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return 0;
        reg[i] = (uint8_t)(hi << 4 | lo);
    }
    return 1;
}

// Bits [high:low] of a register stored most significant byte first.
uint64_t bits(const uint8_t reg[16], int high, int low) {
    uint64_t v = 0;
    for (int b = high; b >= low; b--) v = v << 1 | ((reg[15 - b / 8] >> (b % 8)) & 1u);
    return v;
}

// The card's own identification (CID) and the capacity its CSD announces.
void read_sd_card(const char* dev, PlatCardIdentity* card) {
    uint8_t cid[16];
    if (read_register(dev, "cid", cid)) {
        card->known = 1;
        card->manufacturer_id = (uint8_t)bits(cid, 127, 120);
        card->oem_id[0] = (uint8_t)bits(cid, 119, 112);
        card->oem_id[1] = (uint8_t)bits(cid, 111, 104);
        for (int i = 0; i < 5; i++) card->name[i] = (uint8_t)bits(cid, 103 - 8 * i, 96 - 8 * i);
        card->revision = (uint8_t)bits(cid, 63, 56);
        card->serial = (uint32_t)bits(cid, 55, 24);
        card->year = 2000 + (int)bits(cid, 19, 12);
        card->month = (int)bits(cid, 11, 8);
    }
    uint8_t csd[16];
    if (!read_register(dev, "csd", csd)) return;
    switch (bits(csd, 127, 126)) {
    case 0: { // standard capacity: blocks of 2^READ_BL_LEN, times 2^(C_SIZE_MULT + 2)
        uint64_t c_size = bits(csd, 73, 62), mult = bits(csd, 49, 47), bl_len = bits(csd, 83, 80);
        card->csd_capacity_bytes = (c_size + 1) << (mult + 2 + bl_len);
        card->csd_known = 1;
        break;
    }
    case 1: // high and extended capacity: units of 512 KiB
        card->csd_capacity_bytes = (bits(csd, 69, 48) + 1) * 524288ull;
        card->csd_known = 1;
        break;
    case 2: // ultra capacity
        card->csd_capacity_bytes = (bits(csd, 75, 48) + 1) * 524288ull;
        card->csd_known = 1;
        break;
    default: break;
    }
}

// The USB device nearest above the disk in the device tree, if any.
void read_usb(const char* sys_root, const char* disk_dir, PlatDeviceIdentity* id) {
    char dir[PATH_MAX];
    copy_text(dir, sizeof dir, disk_dir);
    size_t root_len = strlen(sys_root);
    while (parent_of(dir) && strlen(dir) > root_len) {
        if (!exists(dir, "idVendor")) continue;
        PlatUsbIdentity* u = &id->usb;
        u->known = 1;
        char text[32];
        char *end_v = nullptr, *end_p = nullptr;
        char product[32];
        if (read_attr(dir, "idVendor", text, sizeof text) &&
            read_attr(dir, "idProduct", product, sizeof product)) {
            unsigned long v = strtoul(text, &end_v, 16), p = strtoul(product, &end_p, 16);
            if (!*end_v && !*end_p && v <= 0xFFFF && p <= 0xFFFF) {
                u->ids_known = 1;
                u->vendor_id = (uint16_t)v;
                u->product_id = (uint16_t)p;
            }
        }
        read_attr(dir, "manufacturer", u->manufacturer, sizeof u->manufacturer);
        read_attr(dir, "product", u->product, sizeof u->product);
        read_attr(dir, "serial", u->serial, sizeof u->serial);
        read_attr(dir, "version", u->version, sizeof u->version);
        if (read_attr(dir, "speed", text, sizeof text)) {
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

// Everything the disk's directory in the device tree tells.
void fill_from_disk(const char* sys_root, const char* disk, PlatDeviceIdentity* id) {
    const char* name = base_name(disk);
    char dev[PATH_MAX];
    snprintf(dev, sizeof dev, "%s/device", disk);
    char devname[PLAT_ID_CHARS] = "";
    char uevent[ATTR_BYTES];
    if (read_attr(disk, "uevent", uevent, sizeof uevent)) {
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
    if (read_u64(disk, "size", &value)) {
        id->size_known = 1;
        id->size_bytes = value * 512; // sysfs counts 512-byte units whatever the sector size
    }
    if (read_u64(disk, "removable", &value)) {
        id->removable_known = 1;
        id->removable = value != 0;
    }
    if (read_u64(disk, "queue/rotational", &value)) {
        id->rotational_known = 1;
        id->rotational = value != 0;
    }

    const char* bus = "other";
    if (starts_with(name, "loop")) {
        bus = "loop";
        read_attr(disk, "loop/backing_file", id->model, sizeof id->model);
    } else if (starts_with(name, "nvme")) {
        bus = "nvme";
        read_attr(dev, "model", id->model, sizeof id->model);
        read_attr(dev, "serial", id->serial, sizeof id->serial);
        read_attr(dev, "firmware_rev", id->revision, sizeof id->revision);
    } else if (starts_with(name, "mmcblk")) {
        bus = "mmc";
        read_attr(dev, "name", id->model, sizeof id->model);
        read_attr(dev, "serial", id->serial, sizeof id->serial);
        char type[16];
        if (!read_attr(dev, "type", type, sizeof type) || strcmp(type, "SD") == 0)
            read_sd_card(dev, &id->card);
    } else if (starts_with(name, "vd")) {
        bus = "virtio";
        read_attr(disk, "serial", id->serial, sizeof id->serial);
    } else {
        read_attr(dev, "vendor", id->vendor, sizeof id->vendor);
        read_attr(dev, "model", id->model, sizeof id->model);
        read_attr(dev, "rev", id->revision, sizeof id->revision);
        read_scsi_serial(dev, id->serial, sizeof id->serial);
        if (starts_with(name, "sd") || starts_with(name, "sr"))
            bus = strstr(disk, "/ata") ? "sata" : "scsi";
    }
    read_usb(sys_root, disk, id);
    if (id->usb.known) {
        bus = "usb";
        if (!id->serial[0]) copy_text(id->serial, sizeof id->serial, id->usb.serial);
    }
    copy_text(id->bus, sizeof id->bus, bus);
}

// The first entry of a slaves/ directory, by name, so the answer does not vary.
int first_slave(const char* dir, char* out, size_t cap) {
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/slaves", dir) >= (int)sizeof path) return 0;
    DIR* d = opendir(path);
    if (!d) return 0;
    char best[256] = "";
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        if (!best[0] || strcmp(e->d_name, best) < 0) copy_text(best, sizeof best, e->d_name);
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
        if (exists(at, "partition")) {
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
    if (disk_of(block, disk, sizeof disk)) fill_from_disk(sys_root, disk, out);
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

// ---- the disks a user could test ----

namespace {

// Memory and compressed-memory disks hold no user data; a loop device with no
// file behind it and a mapped device (listed through its disk) are not disks to test.
int listable(const char* sys_block, const char* name) {
    if (name[0] == '.' || starts_with(name, "ram") || starts_with(name, "zram") ||
        starts_with(name, "dm-"))
        return 0;
    char dir[PATH_MAX];
    if (snprintf(dir, sizeof dir, "%s/%s", sys_block, name) >= (int)sizeof dir) return 0;
    uint64_t size = 0;
    return read_u64(dir, "size", &size) && size > 0;
}

struct Numbers {
    unsigned major_id[64];
    unsigned minor_id[64];
    int count;
};

void add_number(const char* dir, Numbers* n) {
    char text[32];
    unsigned a = 0, b = 0;
    if (n->count < 64 && read_attr(dir, "dev", text, sizeof text) &&
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
            !exists(part, "partition"))
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
            copy_text(e->mounts[e->mount_count++], PLAT_ID_PATH_CHARS, point);
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
        fill_from_disk(sys_root, disk, &entry->id);
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
