// Linux: the test file with O_DIRECT, the log, and lexical full paths.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <wctype.h>

#include <atomic>

#include "platform/error_codes.h"
#include "platform/utf8.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

// ---- files ----

#ifdef FS_CASEFOLD_FL
#define CASEFOLD_FLAG FS_CASEFOLD_FL
#else
#define CASEFOLD_FLAG 0x40000000
#endif

int posix_open_regular(const wchar_t* path, int flags, plat_file* out) {
    *out = PLAT_NO_FILE;
    char bytes[PATH_MAX];
    if (!posix_path_to_utf8(path, bytes)) return 0;
    // O_NONBLOCK: a FIFO or device in the file's place would hold the open
    // until another process came; it is refused at once instead.
    int fd;
    do {
        fd = open(bytes, flags | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        posix_set_path_error(errno, bytes, (flags & O_DIRECT) != 0);
        return 0;
    }
    struct stat st;
    int err = fstat(fd, &st) != 0 ? errno : !S_ISREG(st.st_mode) ? EINVAL : 0;
    int mode = err ? -1 : fcntl(fd, F_GETFL);
    if (!err && (mode < 0 || fcntl(fd, F_SETFL, mode & ~O_NONBLOCK) != 0)) err = errno;
    if (err) {
        close(fd);
        plat_posix_set_error(err, 0);
        return 0;
    }
    *out = (plat_file)fd;
    return 1;
}

// O_NOFOLLOW: a symbolic link in the test file's place would send the test's
// writes to whatever it points at, maybe a file on another volume.
int plat_open_write_through(const wchar_t* path, plat_file* out) {
    return posix_open_regular(path, O_WRONLY | O_CREAT | O_TRUNC | O_DIRECT | O_DSYNC | O_NOFOLLOW | O_CLOEXEC,
                     out);
}

// Reads follow a symbolic link, as the size taken before the open does.
int plat_open_read_sequential(const wchar_t* path, plat_file* out) {
    if (!posix_open_regular(path, O_RDONLY | O_DIRECT | O_CLOEXEC, out)) return 0;
    posix_fadvise((int)*out, 0, 0, POSIX_FADV_SEQUENTIAL);
    return 1;
}

// One transfer; a signal restarts it, a short count is the caller's to judge.
int plat_write(plat_file f, const void* buffer, uint32_t length, uint32_t* moved) {
    *moved = 0;
    ssize_t n;
    do {
        n = write((int)f, buffer, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        plat_posix_set_error(errno, 0);
        return 0;
    }
    *moved = (uint32_t)n;
    return 1;
}

int plat_read(plat_file f, void* buffer, uint32_t length, uint32_t* moved) {
    *moved = 0;
    ssize_t n;
    do {
        n = read((int)f, buffer, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        plat_posix_set_error(errno, 0);
        return 0;
    }
    *moved = (uint32_t)n;
    return 1;
}

int plat_flush(plat_file f) {
    int r;
    do {
        r = fsync((int)f);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        plat_posix_set_error(errno, 0);
        return 0;
    }
    return 1;
}

void plat_close(plat_file f) {
    if (f != PLAT_NO_FILE) close((int)f);
}

int plat_delete_file(const wchar_t* path) {
    char bytes[PATH_MAX];
    if (!posix_path_to_utf8(path, bytes)) return 0;
    if (unlink(bytes) != 0) {
        posix_set_path_error(errno, bytes, 0);
        return 0;
    }
    return 1;
}

int plat_file_attributes(const wchar_t* path, int* is_dir) {
    char bytes[PATH_MAX];
    if (!posix_path_to_utf8(path, bytes)) return 0;
    struct stat st;
    if (stat(bytes, &st) != 0) {
        posix_set_path_error(errno, bytes, 0);
        return 0;
    }
    if (is_dir) *is_dir = S_ISDIR(st.st_mode) ? 1 : 0;
    return 1;
}

int plat_file_size(const wchar_t* path, uint64_t* bytes) {
    char utf8[PATH_MAX];
    if (!posix_path_to_utf8(path, utf8)) return 0;
    struct stat st;
    if (stat(utf8, &st) != 0) {
        posix_set_path_error(errno, utf8, 0);
        return 0;
    }
    if (!S_ISREG(st.st_mode)) {
        // A FIFO or a device has no size to go by, and a read of it may wait for ever.
        plat_posix_set_error(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, 0);
        return 0;
    }
    *bytes = (uint64_t)st.st_size;
    return 1;
}

// Appends path's components to the absolute path in work (length len), folding
// "." and ".." by text alone; returns the new length.
static size_t fold_components(wchar_t* work, size_t len, const wchar_t* path) {
    const wchar_t* p = path;
    while (*p) {
        while (*p == L'/') ++p;
        if (!*p) break;
        const wchar_t* start = p;
        while (*p && *p != L'/') ++p;
        size_t n = (size_t)(p - start);
        if (n == 1 && start[0] == L'.') continue;
        if (n == 2 && start[0] == L'.' && start[1] == L'.') {
            while (len > 1 && work[len - 1] != L'/') --len;
            if (len > 1) --len;
            continue;
        }
        if (len > 1) work[len++] = L'/';
        wmemcpy(work + len, start, n);
        len += n;
    }
    return len;
}

static wchar_t g_full_work[PATH_MAX + 32768 + 4];

uint32_t plat_full_path(const wchar_t* path, wchar_t* out, uint32_t cap) {
    size_t path_len = path ? wcslen(path) : 0;
    if (path_len == 0) {
        plat_posix_set_error(EINVAL, 0);
        return 0;
    }
    wchar_t cwd_wide[PATH_MAX];
    cwd_wide[0] = 0;
    if (path[0] != L'/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) {
            plat_posix_set_error(errno, 0);
            return 0;
        }
        if (!posix_utf8_to_wide(cwd, cwd_wide, PATH_MAX)) {
            plat_posix_set_error(EILSEQ, 0);
            return 0;
        }
    }
    if (wcslen(cwd_wide) + path_len + 3 > sizeof g_full_work / sizeof g_full_work[0]) {
        plat_posix_set_error(ENAMETOOLONG, 0);
        return 0;
    }
    g_full_work[0] = L'/';
    size_t len = fold_components(g_full_work, 1, cwd_wide);
    len = fold_components(g_full_work, len, path);
    if (path[path_len - 1] == L'/' && len > 1) g_full_work[len++] = L'/';
    g_full_work[len] = 0;
    if ((uint64_t)len + 1 > cap) return (uint32_t)(len + 1);
    wmemcpy(out, g_full_work, len + 1);
    return (uint32_t)len;
}

// User-space drivers of file systems that fold case, as "fuse.<name>" or
// "fuseblk.<name>"; a bare "fuseblk" serves a disk (NTFS, exFAT), so it folds too.
static int fuse_type_folds(const char* dir) {
    static const wchar_t* const names[] = {L"vfat",  L"msdos", L"fat",      L"fusefat",
                                           L"exfat", L"ntfs",  L"ntfs-3g", L"lowntfs-3g",
                                           L"ntfs3"};
    wchar_t wide[PATH_MAX];
    wchar_t fs[64];
    if (!posix_utf8_to_wide(dir, wide, PATH_MAX) || !plat_filesystem_name(wide, fs, 64)) return 0;
    if (wcscmp(fs, L"fuseblk") == 0) return 1;
    const wchar_t* sub = wcsncmp(fs, L"fuse.", 5) == 0      ? fs + 5
                         : wcsncmp(fs, L"fuseblk.", 8) == 0 ? fs + 8
                                                            : nullptr;
    if (!sub) return 0;
    for (const wchar_t* name : names) {
        const wchar_t* a = sub;
        const wchar_t* b = name;
        while (*a && towlower((wint_t)*a) == (wint_t)*b) a++, b++;
        if (!*a && !*b) return 1;
    }
    return 0;
}

// File systems that find a name whatever its letter case: the FAT family,
// exFAT, NTFS, HFS+, SMB shares, and their user-space drivers.
static int folds_case(const char* dir) {
    static const unsigned long folding[] = {0x4d44,     0x2011BAB0, 0x5346544e, 0x482b,
                                            0xFF534D42, 0xFE534D42};
    static const unsigned long fuse = 0x65735546;
    struct statfs fs;
    if (statfs(dir, &fs) == 0) {
        for (unsigned long magic : folding)
            if ((unsigned long)fs.f_type == magic) return 1;
        if ((unsigned long)fs.f_type == fuse) return fuse_type_folds(dir);
    }
    // ext4 and f2fs fold case in directories created with the casefold flag.
    int folded = 0;
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        int flags = 0;
        folded = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & CASEFOLD_FLAG) != 0;
        close(fd);
    }
    return folded;
}

static int kind_of(mode_t mode) {
    return S_ISREG(mode)   ? PLAT_REGULAR
           : S_ISLNK(mode) ? PLAT_LINK
           : S_ISDIR(mode) ? PLAT_DIRECTORY
                           : PLAT_OTHER;
}

static void clear_identity(PlatFileId* id) {
    id->volume = id->index = 0;
    id->kind = PLAT_MISSING;
    id->named = id->fold_case = 0;
    id->dir_volume = id->dir_index = 0;
    id->name[0] = 0;
}

// The directory of bytes and its final name; bytes is cut at the last slash.
static int directory_and_name(char* bytes, PlatFileId* id, int need_dir) {
    char* slash = strrchr(bytes, '/');
    const char* name = slash ? slash + 1 : bytes;
    if (!*name || !posix_utf8_to_wide(name, id->name, PLAT_NAME_CHARS)) {
        id->name[0] = 0;
        if (!need_dir) return 1;
        plat_posix_set_error(EINVAL, 0);
        return 0;
    }
    const char* dir = ".";
    if (slash == bytes) {
        dir = "/";
    } else if (slash) {
        *slash = 0;
        dir = bytes;
    }
    struct stat st;
    if (stat(dir, &st) != 0) {
        if (!need_dir) return 1;
        posix_set_path_error(errno, dir, 0);
        return 0;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (!need_dir) return 1;
        plat_posix_set_error(ENOTDIR, 0);
        return 0;
    }
    id->fold_case = folds_case(dir);
    // A name that exists is told by its number, unless its directory folds case.
    if (!need_dir && !id->fold_case) return 1;
    id->named = 1;
    id->dir_volume = (uint64_t)st.st_dev;
    id->dir_index = (uint64_t)st.st_ino;
    return 1;
}

int plat_file_identity(const wchar_t* path, int follow, PlatFileId* id) {
    char bytes[PATH_MAX];
    clear_identity(id);
    if (!posix_path_to_utf8(path, bytes)) return 0;
    struct stat st;
    if ((follow ? stat(bytes, &st) : lstat(bytes, &st)) == 0) {
        id->kind = kind_of(st.st_mode);
        id->volume = (uint64_t)st.st_dev;
        id->index = (uint64_t)st.st_ino;
        // Through a link the final name is the link's, not the file's.
        int linked = follow && lstat(bytes, &st) == 0 && S_ISLNK(st.st_mode);
        if (!linked) directory_and_name(bytes, id, 0);
        if (!id->named) id->name[0] = 0;
        return 1;
    }
    if (errno != ENOENT) {
        posix_set_path_error(errno, bytes, 0);
        return 0;
    }
    return directory_and_name(bytes, id, 1);
}

int plat_handle_identity(plat_file f, PlatFileId* id) {
    clear_identity(id);
    struct stat st;
    if (fstat((int)f, &st) != 0) {
        plat_posix_set_error(errno, 0);
        return 0;
    }
    id->kind = kind_of(st.st_mode);
    id->volume = (uint64_t)st.st_dev;
    id->index = (uint64_t)st.st_ino;
    return 1;
}

int plat_stream_identity(FILE* f, PlatFileId* id) {
    int fd = fileno(f);
    if (fd < 0) {
        clear_identity(id);
        plat_posix_set_error(EBADF, 0);
        return 0;
    }
    return plat_handle_identity((plat_file)fd, id);
}

static int same_name(const PlatFileId* a, const PlatFileId* b) {
    if (!a->fold_case && !b->fold_case) return wcscmp(a->name, b->name) == 0;
    const wchar_t* x = a->name;
    const wchar_t* y = b->name;
    while (*x && towlower((wint_t)*x) == towlower((wint_t)*y)) x++, y++;
    return towlower((wint_t)*x) == towlower((wint_t)*y);
}

int plat_same_identity(const PlatFileId* a, const PlatFileId* b) {
    if (a->kind != PLAT_MISSING && a->kind == b->kind && a->volume == b->volume &&
        a->index == b->index)
        return 1;
    return a->named && b->named && a->dir_volume == b->dir_volume &&
           a->dir_index == b->dir_index && same_name(a, b);
}

int plat_same_file(const wchar_t* a, const wchar_t* b) {
    static PlatFileId x, y;
    return plat_file_identity(a, 1, &x) && plat_file_identity(b, 1, &y) &&
           plat_same_identity(&x, &y);
}

// O_EXCL first, so that *created is known; an existing file is opened as it is.
int plat_open_output(const wchar_t* path, int exclusive, plat_file* out, int* created) {
    *created = 0;
    const int flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC;
    for (int tries = 0; tries < 8; tries++) {
        if (posix_open_regular(path, flags | O_CREAT | O_EXCL, out)) {
            *created = 1;
            return 1;
        }
        if (plat_last_error() != WINERR_FILE_EXISTS || exclusive) return 0;
        if (posix_open_regular(path, flags, out)) return 1;
        // Deleted between the two opens: make it again.
        if (plat_last_error() != WINERR_FILE_NOT_FOUND) return 0;
    }
    return 0;
}

int plat_empty_file(plat_file f) {
    if (ftruncate((int)f, 0) != 0 || lseek((int)f, 0, SEEK_SET) != 0) {
        plat_posix_set_error(errno, 0);
        return 0;
    }
    return 1;
}

FILE* plat_output_stream(plat_file f) {
    FILE* stream = fdopen((int)f, "wb");
    if (!stream) {
        plat_posix_set_error(errno, 0);
        close((int)f);
    }
    return stream;
}

FILE* plat_open_read_text(const wchar_t* path) {
    char bytes[PATH_MAX];
    if (!posix_path_to_utf8(path, bytes)) return nullptr;
    FILE* f = fopen(bytes, "rbe");
    if (!f) posix_set_path_error(errno, bytes, 0);
    return f;
}
