// Linux: a whole disk or an image opened unbuffered, write-through and
// exclusive, and positioned transfers on it.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/disk.h"
#include "platform/posix/posix_internal.h"

int plat_disk_open(const wchar_t* device, plat_file* out) {
    *out = PLAT_NO_FILE;
    char path[PATH_MAX];
    if (!posix_path_to_utf8(device, path)) return 0;
    struct stat st;
    if (stat(path, &st) != 0) {
        posix_set_path_error(errno, path, 0);
        return 0;
    }
    // O_EXCL on a block device fails while it is mounted or opened so by anyone
    // else. An image on a file system without direct I/O still writes through.
    int flags = O_RDWR | O_DSYNC | O_CLOEXEC | O_NOFOLLOW;
    if (S_ISBLK(st.st_mode)) flags |= O_EXCL;
    int fd;
    do {
        fd = open(path, flags | O_DIRECT);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == EINVAL && S_ISREG(st.st_mode)) fd = open(path, flags);
    if (fd < 0) {
        posix_set_path_error(errno, path, 0);
        return 0;
    }
    *out = (plat_file)fd;
    return 1;
}

void plat_disk_close(plat_file f) {
    plat_close(f);
}

int plat_read_at(plat_file f, uint64_t offset, void* buffer, uint32_t length, uint32_t* moved) {
    *moved = 0;
    ssize_t n;
    do {
        n = pread((int)f, buffer, length, (off_t)offset);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        plat_posix_set_error(errno, 0);
        return 0;
    }
    *moved = (uint32_t)n;
    return 1;
}

int plat_write_at(plat_file f, uint64_t offset, const void* buffer, uint32_t length,
                  uint32_t* moved) {
    *moved = 0;
    ssize_t n;
    do {
        n = pwrite((int)f, buffer, length, (off_t)offset);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        plat_posix_set_error(errno, 0);
        return 0;
    }
    *moved = (uint32_t)n;
    return 1;
}
