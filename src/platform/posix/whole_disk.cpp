// Linux: the whole disk behind a directory, from sysfs.
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

// The "MAJ:MIN" in a sysfs dev file.
static int read_dev_file(const char* dir, unsigned* major_id, unsigned* minor_id) {
    char path[PATH_MAX + 8];
    snprintf(path, sizeof path, "%s/dev", dir);
    char text[32];
    if (!posix_read_line(path, text, sizeof text)) return 0;
    return sscanf(text, "%u:%u", major_id, minor_id) == 2;
}

// Not a disk: the volume's own device number, marked so that no disk's equals it.
static int volume_alone(dev_t dev, uint64_t* disk) {
    *disk = (1ull << 63) | ((uint64_t)major(dev) << 32) | minor(dev);
    return 1;
}

int plat_whole_disk_id(const wchar_t* dir, uint64_t* disk) {
    char path[PATH_MAX];
    char resolved[PATH_MAX];
    struct stat st;
    if (!posix_path_to_utf8(dir, path) || !realpath(path, resolved) || stat(resolved, &st) != 0)
        return 0;
    char node[64];
    snprintf(node, sizeof node, "/sys/dev/block/%u:%u", major(st.st_dev), minor(st.st_dev));
    char device[PATH_MAX];
    if (!realpath(node, device)) {
        // A file system with an anonymous device number (btrfs) names its device
        // as the mount's source.
        char source[PATH_MAX];
        struct stat src;
        if (!posix_mount_source(resolved, st.st_dev, source, sizeof source) ||
            stat(source, &src) != 0 || !S_ISBLK(src.st_mode))
            return volume_alone(st.st_dev, disk);
        snprintf(node, sizeof node, "/sys/dev/block/%u:%u", major(src.st_rdev), minor(src.st_rdev));
        if (!realpath(node, device)) return volume_alone(st.st_dev, disk);
    }
    // A partition's directory lies in its disk's and holds a "partition" file.
    char probe[PATH_MAX + 16];
    snprintf(probe, sizeof probe, "%s/partition", device);
    if (access(probe, F_OK) == 0) *strrchr(device, '/') = 0;
    unsigned major_id = 0, minor_id = 0;
    if (!read_dev_file(device, &major_id, &minor_id)) return volume_alone(st.st_dev, disk);
    *disk = ((uint64_t)major_id << 32) | minor_id;
    return 1;
}
