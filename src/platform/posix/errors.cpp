// Linux: errors as Windows codes, with the errno behind each kept for its text;
// the texts that differ by platform; paths crossing to the kernel as UTF-8.
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

#include "console/utf8.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

// ---- texts that differ by platform ----

const char plat_banner_second_line[] = "Native Linux sustained storage write test\n\n";
const wchar_t plat_directory_prompt[] = L"Target directory (example /media/usb/): ";
const char plat_io_mode_line[] = "# io_mode=O_DIRECT|O_DSYNC\n";
const wchar_t plat_separator = L'/';

int plat_is_separator(wchar_t c) {
    return c == L'/';
}

int plat_same_volume_root(const wchar_t* a, const wchar_t* b) {
    return wcscmp(a, b) == 0;
}

// ---- errors ----

static uint32_t g_last_error = 0;
static int g_last_errno = 0;          // errno behind g_last_error
static int g_last_direct_refused = 0; // EINVAL from an O_DIRECT open

uint32_t plat_posix_error_code(int err) {
    switch (err) {
    case ENOENT: return 2;
    case EACCES:
    case EPERM:
    case EISDIR: return 5;
    case ENOMEM: return 8;
    case EROFS: return 19;
    case ENXIO:
    case ENODEV: return 21;
    case EOPNOTSUPP: return 50;
    case EINVAL: return 87;
    case ENOSPC:
    case EDQUOT: return 112;
    case EBUSY: return 170;
    case ENAMETOOLONG: return 206;
    case EFBIG: return 223;
    case ENOTDIR: return 267;
    case EIO: return 1117;
    default: return 31;
    }
}

// The errno a code stands for when no failure of this process is behind it.
static int errno_for_code(uint32_t code) {
    switch (code) {
    case 2:
    case 3: return ENOENT;
    case 5: return EACCES;
    case 19: return EROFS;
    case 21: return ENODEV;
    case 50: return EOPNOTSUPP;
    case 87: return EINVAL;
    case 112: return ENOSPC;
    case 170: return EBUSY;
    case 206: return ENAMETOOLONG;
    case 223: return EFBIG;
    case 267: return ENOTDIR;
    case 1117: return EIO;
    default: return 0;
    }
}

void plat_posix_set_error(int err, int from_direct_open) {
    g_last_error = plat_posix_error_code(err);
    g_last_errno = err;
    g_last_direct_refused = from_direct_open && err == EINVAL;
}

// ENOENT says "path not found" (3) rather than "file not found" (2) when the
// directory that should hold the last component is missing.
void posix_set_path_error(int err, const char* path, int from_direct_open) {
    plat_posix_set_error(err, from_direct_open);
    if (err != ENOENT || !path) return;
    char parent[PATH_MAX];
    size_t n = strlen(path);
    if (n >= sizeof parent) return;
    memcpy(parent, path, n + 1);
    while (n > 1 && parent[n - 1] == '/') parent[--n] = 0;
    char* slash = strrchr(parent, '/');
    if (!slash) return; // relative name: its directory is the current one
    if (slash == parent)
        slash[1] = 0;
    else
        *slash = 0;
    struct stat st;
    if (stat(parent, &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) g_last_error = 3;
}

uint32_t plat_last_error(void) {
    return g_last_error;
}

int posix_utf8_to_wide(const char* text, wchar_t* out, size_t cap) {
    Utf8Decoder d = {0, 0, 0};
    size_t used = 0;
    for (const unsigned char* p = (const unsigned char*)text; *p; ++p) {
        uint32_t cp = 0;
        int step = utf8_decode_byte(&d, *p, &cp);
        if (step == UTF8_BAD) return 0;
        if (step == UTF8_MORE) continue;
        wchar_t units[2];
        int count = wide_put_code_point(cp, units);
        if (used + (size_t)count >= cap) return 0;
        for (int k = 0; k < count; ++k) out[used++] = units[k];
    }
    if (d.remaining != 0 || cap == 0) return 0;
    out[used] = 0;
    return 1;
}

int plat_error_message(uint32_t code, wchar_t* out, size_t cap) {
    const char* text = nullptr;
    char composed[512];
    switch (code) {
    case 8: text = "Not enough memory resources are available to process this command."; break;
    case 23: text = "Data error (cyclic redundancy check)."; break;
    case 29: text = "The system cannot write to the specified device."; break;
    case 30: text = "The system cannot read from the specified device."; break;
    default: {
        int err = (code == g_last_error && g_last_errno != 0) ? g_last_errno : errno_for_code(code);
        if (err == 0 && code == 31) {
            text = "A device attached to the system is not functioning.";
        } else if (err != 0) {
            text = strerror(err);
            if (code == 87 && code == g_last_error && g_last_direct_refused) {
                snprintf(composed, sizeof composed,
                         "%s (direct I/O is not supported on this file system)", text);
                text = composed;
            }
        }
    }
    }
    if (!text || !out || cap == 0) return 0;
    return posix_utf8_to_wide(text, out, cap);
}

// Paths cross to the kernel as UTF-8 (wchar_t is UTF-32 here); one that
// cannot be encoded is refused as the kernel would refuse a bad name.
int posix_path_to_utf8(const wchar_t* path, char out[PATH_MAX]) {
    size_t used = 0;
    for (size_t i = 0; path[i] != 0; ++i) {
        uint32_t cp = (uint32_t)path[i];
        if (cp > 0x10FFFFu || (cp >= 0xD800u && cp <= 0xDFFFu)) {
            plat_posix_set_error(EILSEQ, 0);
            return 0;
        }
        char bytes[4];
        int n = utf8_encode(cp, bytes);
        if (used + (size_t)n >= PATH_MAX) {
            plat_posix_set_error(ENAMETOOLONG, 0);
            return 0;
        }
        memcpy(out + used, bytes, (size_t)n);
        used += (size_t)n;
    }
    out[used] = 0;
    return 1;
}
