// Linux: a whole disk or an image opened unbuffered, write-through and
// exclusive; transfers on it are plat_read_at / plat_write_at.
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
