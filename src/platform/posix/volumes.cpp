// Linux: the mount that holds a path, its free space, sectors and type.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform/utf8.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

// ---- volumes ----

typedef struct MountEntry {
    char point[PATH_MAX];
    char source[PATH_MAX];
    char fstype[64];
    unsigned major_id;
    unsigned minor_id;
} MountEntry;

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
static void unescape_field(const char* in, size_t n, char* out, size_t cap) {
    size_t used = 0;
    for (size_t i = 0; i < n && used + 1 < cap; ++i) {
        if (in[i] == '\\' && i + 3 < n && in[i + 1] >= '0' && in[i + 1] <= '3' &&
            in[i + 2] >= '0' && in[i + 2] <= '7' && in[i + 3] >= '0' && in[i + 3] <= '7') {
            out[used++] =
                (char)(((in[i + 1] - '0') << 6) | ((in[i + 2] - '0') << 3) | (in[i + 3] - '0'));
            i += 3;
        } else {
            out[used++] = in[i];
        }
    }
    out[used] = 0;
}

// Splits one mountinfo line; 0 when it does not have the expected shape.
static int parse_mount_line(char* line, MountEntry* e) {
    const char* field[6];
    size_t length[6];
    char* p = line;
    for (int k = 0; k < 6; ++k) {
        while (*p == ' ') ++p;
        if (!*p) return 0;
        field[k] = p;
        while (*p && *p != ' ') ++p;
        length[k] = (size_t)(p - field[k]);
    }
    // Optional fields run up to a lone "-"; file-system type and source follow.
    char* dash = strstr(p, " - ");
    if (!dash) return 0;
    char* type = dash + 3;
    char* type_end = strchr(type, ' ');
    if (!type_end) return 0;
    char* source = type_end + 1;
    char* source_end = strchr(source, ' ');
    size_t source_len = source_end ? (size_t)(source_end - source) : strlen(source);
    if (sscanf(field[2], "%u:%u", &e->major_id, &e->minor_id) != 2) return 0;
    unescape_field(field[4], length[4], e->point, sizeof e->point);
    unescape_field(type, (size_t)(type_end - type), e->fstype, sizeof e->fstype);
    unescape_field(source, source_len, e->source, sizeof e->source);
    return e->point[0] == '/';
}

static int is_path_prefix(const char* prefix, const char* path) {
    size_t n = strlen(prefix);
    if (n == 1 && prefix[0] == '/') return 1;
    return strncmp(prefix, path, n) == 0 && (path[n] == 0 || path[n] == '/');
}

static char g_mountinfo_chunk[65536];

// Finds the mount holding the existing path `resolved` on device `dev`: the
// longest mount point that is a prefix of it and holds the same device (any
// device when same_device is 0).
static int match_mount(const char* resolved, dev_t dev, int same_device, MountEntry* found) {
    int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    MountEntry candidate;
    size_t best = 0;
    int have = 0;
    size_t filled = 0;
    int at_end = 0;
    while (!at_end || filled > 0) {
        if (!at_end && filled < sizeof g_mountinfo_chunk - 1) {
            ssize_t n = read(fd, g_mountinfo_chunk + filled, sizeof g_mountinfo_chunk - 1 - filled);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0)
                at_end = 1;
            else
                filled += (size_t)n;
        }
        char* newline = (char*)memchr(g_mountinfo_chunk, '\n', filled);
        size_t line_len;
        if (newline) {
            line_len = (size_t)(newline - g_mountinfo_chunk) + 1;
            *newline = 0;
        } else if (at_end || filled == sizeof g_mountinfo_chunk - 1) {
            line_len = filled; // last line, or one too long to hold: judged as it is
            g_mountinfo_chunk[filled] = 0;
        } else {
            continue;
        }
        if (parse_mount_line(g_mountinfo_chunk, &candidate) &&
            is_path_prefix(candidate.point, resolved)) {
            size_t len = strlen(candidate.point);
            struct stat st;
            // Later lines stack on earlier ones at the same point, so >= keeps the top one.
            if (len >= best &&
                (!same_device || (stat(candidate.point, &st) == 0 && st.st_dev == dev))) {
                *found = candidate;
                best = len;
                have = 1;
            }
        }
        memmove(g_mountinfo_chunk, g_mountinfo_chunk + line_len, filled - line_len);
        filled -= line_len;
    }
    close(fd);
    return have;
}

// The mount holding path; a path that does not exist yet counts as its
// nearest existing parent.
static int find_mount(const char* path, MountEntry* out) {
    char existing[PATH_MAX];
    size_t n = strlen(path);
    memcpy(existing, path, n + 1);
    struct stat st;
    while (stat(existing, &st) != 0) {
        int err = errno;
        if (err != ENOENT && err != ENOTDIR) {
            plat_posix_set_error(err, 0);
            return 0;
        }
        while (n > 1 && existing[n - 1] == '/') existing[--n] = 0;
        char* slash = strrchr(existing, '/');
        if (!slash) {
            strcpy(existing, ".");
        } else if (slash == existing) {
            existing[1] = 0;
        } else {
            *slash = 0;
        }
        n = strlen(existing);
    }
    char resolved[PATH_MAX];
    if (!realpath(existing, resolved)) {
        plat_posix_set_error(errno, 0);
        return 0;
    }
    if (stat(resolved, &st) != 0) {
        plat_posix_set_error(errno, 0);
        return 0;
    }
    if (match_mount(resolved, st.st_dev, 1, out)) return 1;

    // No mount table to consult: climb while the device stays the same.
    memset(out, 0, sizeof *out);
    out->major_id = major(st.st_dev);
    out->minor_id = minor(st.st_dev);
    strcpy(out->point, resolved);
    for (;;) {
        char parent[PATH_MAX];
        strcpy(parent, out->point);
        char* slash = strrchr(parent, '/');
        if (!slash || strcmp(out->point, "/") == 0) break;
        if (slash == parent)
            parent[1] = 0;
        else
            *slash = 0;
        struct stat up;
        if (stat(parent, &up) != 0 || up.st_dev != st.st_dev) break;
        strcpy(out->point, parent);
    }
    return 1;
}

int posix_mount_source(const char* resolved, dev_t dev, char* source, size_t cap) {
    MountEntry m;
    // A btrfs subvolume has a device number of its own that no mount shows.
    if (!match_mount(resolved, dev, 1, &m) && !match_mount(resolved, dev, 0, &m)) return 0;
    size_t n = strlen(m.source);
    if (n + 1 > cap) return 0;
    memcpy(source, m.source, n + 1);
    return 1;
}

static int mount_of_root(const wchar_t* root, MountEntry* m) {
    char bytes[PATH_MAX];
    if (!posix_path_to_utf8(root, bytes)) return 0;
    return find_mount(bytes, m);
}

int plat_volume_root(const wchar_t* path, wchar_t* root, uint32_t cap) {
    wchar_t full[PATH_MAX];
    uint32_t len = plat_full_path(path, full, PATH_MAX);
    if (len == 0) return 0;
    if (len >= PATH_MAX) {
        plat_posix_set_error(ENAMETOOLONG, 0);
        return 0;
    }
    MountEntry m;
    if (!mount_of_root(full, &m)) return 0;
    size_t n = strlen(m.point);
    if ((n == 0 || m.point[n - 1] != '/') && n + 1 < sizeof m.point) {
        m.point[n] = '/';
        m.point[n + 1] = 0;
    }
    wchar_t wide[PATH_MAX + 1];
    if (!posix_utf8_to_wide(m.point, wide, PATH_MAX + 1)) {
        plat_posix_set_error(EILSEQ, 0);
        return 0;
    }
    size_t wide_len = wcslen(wide);
    if (wide_len + 1 > cap) {
        plat_posix_set_error(ENAMETOOLONG, 0);
        return 0;
    }
    wmemcpy(root, wide, wide_len + 1);
    return 1;
}

// The device number: two mount points of one file system (a bind mount) are one volume.
int plat_same_volume(const wchar_t* dir_a, const wchar_t* dir_b) {
    char a[PATH_MAX];
    char b[PATH_MAX];
    struct stat sa;
    struct stat sb;
    if (!posix_path_to_utf8(dir_a, a) || !posix_path_to_utf8(dir_b, b)) return 0;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return 0;
    return sa.st_dev == sb.st_dev;
}

int plat_free_bytes_available(const wchar_t* root, uint64_t* bytes) {
    char path[PATH_MAX];
    if (!posix_path_to_utf8(root, path)) return 0;
    struct statvfs vfs;
    if (statvfs(path, &vfs) != 0) {
        posix_set_path_error(errno, path, 0);
        return 0;
    }
    *bytes = (uint64_t)vfs.f_bavail * (uint64_t)vfs.f_frsize;
    return 1;
}

static int read_number_file(const char* path, uint32_t* value) {
    char text[32];
    if (!posix_read_line(path, text, sizeof text)) return 0;
    char* end = nullptr;
    unsigned long v = strtoul(text, &end, 10);
    if (end == text || v == 0 || v > 0xFFFFFFFFul) return 0;
    *value = (uint32_t)v;
    return 1;
}

// A queue attribute of the block device under the mount; a partition has no
// queue of its own and uses its disk's. 0 when there is no block device.
static int block_queue_value(const MountEntry* m, const char* name, uint32_t* value) {
    unsigned major_id = m->major_id, minor_id = m->minor_id;
    char path[128];
    snprintf(path, sizeof path, "/sys/dev/block/%u:%u", major_id, minor_id);
    struct stat st;
    if (access(path, F_OK) != 0) {
        // File systems with anonymous device numbers (btrfs) still name their device.
        if (strncmp(m->source, "/dev/", 5) != 0 || stat(m->source, &st) != 0 ||
            !S_ISBLK(st.st_mode))
            return 0;
        major_id = major(st.st_rdev);
        minor_id = minor(st.st_rdev);
    }
    snprintf(path, sizeof path, "/sys/dev/block/%u:%u/queue/%s", major_id, minor_id, name);
    if (read_number_file(path, value)) return 1;
    snprintf(path, sizeof path, "/sys/dev/block/%u:%u/../queue/%s", major_id, minor_id, name);
    return read_number_file(path, value);
}

int plat_logical_sector_bytes(const wchar_t* root, uint32_t* bytes) {
    MountEntry m;
    if (!mount_of_root(root, &m)) return 0;
    uint32_t value = 0;
    *bytes = block_queue_value(&m, "logical_block_size", &value) ? value : 512;
    return 1;
}

int plat_physical_sector_bytes(const wchar_t* root, uint32_t* bytes) {
    MountEntry m;
    uint32_t value = 0;
    if (!mount_of_root(root, &m)) return 0;
    if (!block_queue_value(&m, "physical_block_size", &value)) {
        plat_posix_set_error(EOPNOTSUPP, 0);
        return 0;
    }
    *bytes = value;
    return 1;
}

int plat_filesystem_name(const wchar_t* root, wchar_t* name, uint32_t cap) {
    MountEntry m;
    if (!mount_of_root(root, &m)) return 0;
    if (m.fstype[0] == 0 || cap == 0) {
        plat_posix_set_error(EOPNOTSUPP, 0);
        return 0;
    }
    // Type names are short ASCII; a longer one is cut to the buffer.
    uint32_t i = 0;
    for (; m.fstype[i] != 0 && i + 1 < cap; ++i) name[i] = (wchar_t)(unsigned char)m.fstype[i];
    name[i] = 0;
    return 1;
}
