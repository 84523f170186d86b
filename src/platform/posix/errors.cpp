// Linux: errors as Windows codes, with the errno behind each kept for its text;
// paths crossing to the kernel as UTF-8.
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
#include "platform/error_codes.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

// ---- errors ----

// Per thread, as on Windows: drives tested side by side fail on their own.
static thread_local uint32_t g_last_error = 0;
static thread_local int g_last_errno = 0;          // errno behind g_last_error
static thread_local int g_last_direct_refused = 0; // EINVAL from an O_DIRECT open

uint32_t plat_posix_error_code(int err) {
    switch (err) {
    case ENOENT: return WINERR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return WINERR_ACCESS_DENIED;
    case ENOMEM: return WINERR_NOT_ENOUGH_MEMORY;
    case EROFS: return WINERR_WRITE_PROTECT;
    case ENXIO:
    case ENODEV: return WINERR_NOT_READY;
    case EOPNOTSUPP: return WINERR_NOT_SUPPORTED;
    case EINVAL: return WINERR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT: return WINERR_DISK_FULL;
    case EBUSY: return WINERR_BUSY;
    case ENAMETOOLONG: return WINERR_FILENAME_TOO_LONG;
    case EFBIG: return WINERR_FILE_TOO_LARGE;
    case ENOTDIR: return WINERR_DIRECTORY;
    case EIO: return WINERR_IO_DEVICE;
    case EEXIST: return WINERR_FILE_EXISTS;
    default: return WINERR_GEN_FAILURE;
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
    if (stat(parent, &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) g_last_error = WINERR_PATH_NOT_FOUND;
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
    char composed[512];
    // The errno behind this process's own last failure beats the generic one of its code.
    const char* text = (code == g_last_error && g_last_errno != 0 && !posix_program_code_text(code))
                           ? strerror(g_last_errno)
                           : posix_code_text(code);
    if (text && code == WINERR_INVALID_PARAMETER && code == g_last_error && g_last_direct_refused) {
        snprintf(composed, sizeof composed, "%s (direct I/O is not supported on this file system)",
                 text);
        text = composed;
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
