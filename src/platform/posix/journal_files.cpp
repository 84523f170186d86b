// Linux: the probe's journal, plain cached I/O at explicit offsets; durability
// comes from plat_flush, which the journal calls before each guarded write.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

// A new name survives a power cut only once its directory is synced too.
static int sync_parent(const char* path) {
    char dir[PATH_MAX];
    size_t n = strlen(path);
    memcpy(dir, path, n + 1);
    char* slash = strrchr(dir, '/');
    if (slash == nullptr) strcpy(dir, ".");
    else if (slash == dir) dir[1] = 0;
    else *slash = 0;
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int r;
    do {
        r = fsync(fd);
    } while (r != 0 && errno == EINTR);
    int err = r != 0 && errno != EINVAL ? errno : 0; // some file systems cannot sync a directory
    close(fd);
    return err;
}

// O_EXCL with O_CREAT also refuses a symbolic link in the journal's place.
int plat_journal_create(const wchar_t* path, plat_file* out) {
    *out = PLAT_NO_FILE;
    char bytes[PATH_MAX];
    if (!posix_path_to_utf8(path, bytes)) return 0;
    int fd;
    do {
        fd = open(bytes, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        posix_set_path_error(errno, bytes, 0);
        return 0;
    }
    int err = sync_parent(bytes);
    if (err != 0) {
        close(fd);
        unlink(bytes);
        plat_posix_set_error(err, 0);
        return 0;
    }
    *out = (plat_file)fd;
    return 1;
}

int plat_journal_open_read(const wchar_t* path, plat_file* out) {
    return posix_open_regular(path, O_RDONLY | O_CLOEXEC, out);
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
