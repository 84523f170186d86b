// The platform layer for Linux. Every failure is recorded as a Windows error
// code so logs read the same on both targets; the errno behind it is kept for
// the message text.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
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
#include "platform/platform_posix_internal.h"

// ---- texts that differ by platform ----

const char plat_banner_second_line[] = "Native Linux sustained storage write test\n\n";
const wchar_t plat_directory_prompt[] = L"Target directory (example /media/usb/): ";
const char plat_io_mode_line[] = "# io_mode=O_DIRECT|O_DSYNC\n";
const wchar_t plat_separator = L'/';

int plat_is_separator(wchar_t c)
{
    return c == L'/';
}

int plat_same_volume_root(const wchar_t* a, const wchar_t* b)
{
    return wcscmp(a, b) == 0;
}

// ---- errors ----

static uint32_t g_last_error = 0;
static int g_last_errno = 0;            // errno behind g_last_error
static int g_last_direct_refused = 0;   // EINVAL from an O_DIRECT open

uint32_t plat_posix_error_code(int err)
{
    switch (err) {
    case ENOENT: return 2;
    case EACCES: case EPERM: case EISDIR: return 5;
    case ENOMEM: return 8;
    case EROFS: return 19;
    case ENXIO: case ENODEV: return 21;
    case EOPNOTSUPP: return 50;
    case EINVAL: return 87;
    case ENOSPC: case EDQUOT: return 112;
    case EBUSY: return 170;
    case ENAMETOOLONG: return 206;
    case EFBIG: return 223;
    case ENOTDIR: return 267;
    case EIO: return 1117;
    default: return 31;
    }
}

// The errno a code stands for when no failure of this process is behind it.
static int errno_for_code(uint32_t code)
{
    switch (code) {
    case 2: case 3: return ENOENT;
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

void plat_posix_set_error(int err, int from_direct_open)
{
    g_last_error = plat_posix_error_code(err);
    g_last_errno = err;
    g_last_direct_refused = from_direct_open && err == EINVAL;
}

// ENOENT says "path not found" (3) rather than "file not found" (2) when the
// directory that should hold the last component is missing.
static void set_path_error(int err, const char* path, int from_direct_open)
{
    plat_posix_set_error(err, from_direct_open);
    if (err != ENOENT || !path) return;
    char parent[PATH_MAX];
    size_t n = strlen(path);
    if (n >= sizeof parent) return;
    memcpy(parent, path, n + 1);
    while (n > 1 && parent[n - 1] == '/') parent[--n] = 0;
    char* slash = strrchr(parent, '/');
    if (!slash) return;  // relative name: its directory is the current one
    if (slash == parent) slash[1] = 0; else *slash = 0;
    struct stat st;
    if (stat(parent, &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) g_last_error = 3;
}

uint32_t plat_last_error(void)
{
    return g_last_error;
}

static int utf8_to_wide(const char* text, wchar_t* out, size_t cap)
{
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

int plat_error_message(uint32_t code, wchar_t* out, size_t cap)
{
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
    return utf8_to_wide(text, out, cap);
}

// Paths cross to the kernel as UTF-8 (wchar_t is UTF-32 here); one that
// cannot be encoded is refused as the kernel would refuse a bad name.
static int path_to_utf8(const wchar_t* path, char out[PATH_MAX])
{
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

// ---- console and process ----

static int g_cursor_hidden = 0;
static int g_terminal_changed = 0;
static struct termios g_saved_terminal;
static int g_key_mode_tried = 0;
static int g_key_mode = 0;
static int g_restore_registered = 0;

static void register_restore(void)
{
    if (g_restore_registered) return;
    g_restore_registered = 1;
    atexit(plat_console_restore);
}

static void write_stdout_text(const char* text)
{
    plat_write_stdout(text, strlen(text));
}

void plat_console_setup(void)
{
    // Text is encoded as UTF-8 by the program itself; what remains is to put the
    // terminal back however the process ends.
    register_restore();
}

intptr_t plat_stdout_handle(void)
{
    return STDOUT_FILENO;  // 1: never 0, so callers always see an output
}

int plat_console_clear(intptr_t console)
{
    if (console == 0 || !isatty(STDOUT_FILENO)) return 0;
    write_stdout_text("\x1b[H\x1b[2J\x1b[3J");
    return 1;
}

void plat_console_home(intptr_t console)
{
    if (console == 0 || !isatty(STDOUT_FILENO)) return;
    write_stdout_text("\x1b[H");
}

void plat_console_cursor_visible(intptr_t console, int visible)
{
    if (console == 0 || !isatty(STDOUT_FILENO)) return;
    write_stdout_text(visible ? "\x1b[?25h" : "\x1b[?25l");
    g_cursor_hidden = !visible;
}

void plat_console_restore(void)
{
    if (g_terminal_changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_terminal);
        g_terminal_changed = 0;
        g_key_mode = 0;
        g_key_mode_tried = 0;
    }
    if (g_cursor_hidden) {
        write_stdout_text("\x1b[?25h");
        plat_flush_stdout();
        g_cursor_hidden = 0;
    }
}

// Single keys without Enter and without echo; ISIG stays so Ctrl+C still
// arrives as a signal. Only for a terminal this process owns the foreground of.
static void enter_key_mode(void)
{
    g_key_mode_tried = 1;
    if (!isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) != getpgrp()) return;
    struct termios mode;
    if (tcgetattr(STDIN_FILENO, &g_saved_terminal) != 0) return;
    mode = g_saved_terminal;
    mode.c_lflag &= (tcflag_t)~(ICANON | ECHO);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    register_restore();
    if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0) return;
    g_terminal_changed = 1;
    g_key_mode = 1;
}

int plat_key_waiting(void)
{
    if (!g_key_mode_tried) enter_key_mode();
    if (!g_key_mode) return 0;
    struct pollfd p = {STDIN_FILENO, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

int plat_key_read(void)
{
    unsigned char key = 0;
    ssize_t n;
    do {
        n = read(STDIN_FILENO, &key, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? (int)key : -1;
}

// ---- signals: the console control events of this platform ----

static const int k_signals[4] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};
static const uint32_t k_events[4] = {PLAT_CTRL_C, PLAT_CTRL_BREAK, PLAT_CTRL_CLOSE, PLAT_CTRL_SHUTDOWN};
static std::atomic<plat_ctrl_handler> g_ctrl_handler{nullptr};
static struct sigaction g_previous[4];
static int g_installed[4];

static void on_signal(int signo)
{
    int saved_errno = errno;
    plat_ctrl_handler handler = g_ctrl_handler.load();
    for (int i = 0; i < 4; ++i) {
        if (k_signals[i] != signo) continue;
        if (handler && handler(k_events[i])) break;
        // Not handled: the signal does what it would have done without us.
        struct sigaction fallback;
        memset(&fallback, 0, sizeof fallback);
        fallback.sa_handler = SIG_DFL;
        sigaction(signo, &fallback, nullptr);
        raise(signo);
        break;
    }
    errno = saved_errno;
}

void plat_set_ctrl_handler(plat_ctrl_handler handler, int add)
{
    if (add) {
        g_ctrl_handler.store(handler);
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = on_signal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < 4; ++i) {
            if (g_installed[i]) continue;
            if (sigaction(k_signals[i], nullptr, &g_previous[i]) != 0) continue;
            // A hang-up ignored by whoever started us (nohup) stays ignored.
            if (k_signals[i] == SIGHUP && g_previous[i].sa_handler == SIG_IGN) continue;
            if (sigaction(k_signals[i], &action, nullptr) == 0) g_installed[i] = 1;
        }
        // A closed pipe on stdout must not kill a run that is writing its log.
        signal(SIGPIPE, SIG_IGN);
        return;
    }
    if (g_ctrl_handler.load() != handler) return;
    for (int i = 0; i < 4; ++i) {
        if (!g_installed[i]) continue;
        sigaction(k_signals[i], &g_previous[i], nullptr);
        g_installed[i] = 0;
    }
    g_ctrl_handler.store(nullptr);
}

// ---- standard streams ----

void plat_write_stdout(const char* bytes, size_t count)
{
    if (count > 0) fwrite(bytes, 1, count, stdout);
}

void plat_flush_stdout(void)
{
    fflush(stdout);
}

void plat_write_stderr(const char* bytes, size_t count)
{
    // Pending standard output goes first, so both streams keep their order on a terminal.
    fflush(stdout);
    while (count > 0) {
        ssize_t n = write(STDERR_FILENO, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes += n;
        count -= (size_t)n;
    }
}

long plat_read_stdin(char* buffer, size_t cap)
{
    ssize_t n;
    do {
        n = read(STDIN_FILENO, buffer, cap);
    } while (n < 0 && errno == EINTR);
    return (long)n;
}

// ---- files ----

static int open_path(const wchar_t* path, int flags, plat_file* out)
{
    *out = PLAT_NO_FILE;
    char bytes[PATH_MAX];
    if (!path_to_utf8(path, bytes)) return 0;
    int fd;
    do {
        fd = open(bytes, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        set_path_error(errno, bytes, (flags & O_DIRECT) != 0);
        return 0;
    }
    *out = (plat_file)fd;
    return 1;
}

int plat_open_write_through(const wchar_t* path, plat_file* out)
{
    return open_path(path, O_WRONLY | O_CREAT | O_TRUNC | O_DIRECT | O_DSYNC | O_CLOEXEC, out);
}

int plat_open_read_sequential(const wchar_t* path, plat_file* out)
{
    if (!open_path(path, O_RDONLY | O_DIRECT | O_CLOEXEC, out)) return 0;
    posix_fadvise((int)*out, 0, 0, POSIX_FADV_SEQUENTIAL);
    return 1;
}

// One transfer; a signal restarts it, a short count is the caller's to judge.
int plat_write(plat_file f, const void* buffer, uint32_t length, uint32_t* moved)
{
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

int plat_read(plat_file f, void* buffer, uint32_t length, uint32_t* moved)
{
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

int plat_flush(plat_file f)
{
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

void plat_close(plat_file f)
{
    if (f != PLAT_NO_FILE) close((int)f);
}

int plat_delete_file(const wchar_t* path)
{
    char bytes[PATH_MAX];
    if (!path_to_utf8(path, bytes)) return 0;
    if (unlink(bytes) != 0) {
        set_path_error(errno, bytes, 0);
        return 0;
    }
    return 1;
}

int plat_file_attributes(const wchar_t* path, int* is_dir)
{
    char bytes[PATH_MAX];
    if (!path_to_utf8(path, bytes)) return 0;
    struct stat st;
    if (stat(bytes, &st) != 0) {
        set_path_error(errno, bytes, 0);
        return 0;
    }
    if (is_dir) *is_dir = S_ISDIR(st.st_mode) ? 1 : 0;
    return 1;
}

// Appends path's components to the absolute path in work (length len), folding
// "." and ".." by text alone; returns the new length.
static size_t fold_components(wchar_t* work, size_t len, const wchar_t* path)
{
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

uint32_t plat_full_path(const wchar_t* path, wchar_t* out, uint32_t cap)
{
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
        if (!utf8_to_wide(cwd, cwd_wide, PATH_MAX)) {
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

FILE* plat_open_log(const wchar_t* path)
{
    char bytes[PATH_MAX];
    if (!path_to_utf8(path, bytes)) return nullptr;
    FILE* f = fopen(bytes, "wbe");
    if (!f) set_path_error(errno, bytes, 0);
    return f;
}

// ---- volumes ----

typedef struct MountEntry {
    char point[PATH_MAX];
    char source[PATH_MAX];
    char fstype[64];
    unsigned major_id;
    unsigned minor_id;
} MountEntry;

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
static void unescape_field(const char* in, size_t n, char* out, size_t cap)
{
    size_t used = 0;
    for (size_t i = 0; i < n && used + 1 < cap; ++i) {
        if (in[i] == '\\' && i + 3 < n && in[i + 1] >= '0' && in[i + 1] <= '3' &&
            in[i + 2] >= '0' && in[i + 2] <= '7' && in[i + 3] >= '0' && in[i + 3] <= '7') {
            out[used++] = (char)(((in[i + 1] - '0') << 6) | ((in[i + 2] - '0') << 3) | (in[i + 3] - '0'));
            i += 3;
        } else {
            out[used++] = in[i];
        }
    }
    out[used] = 0;
}

// Splits one mountinfo line; 0 when it does not have the expected shape.
static int parse_mount_line(char* line, MountEntry* e)
{
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

static int is_path_prefix(const char* prefix, const char* path)
{
    size_t n = strlen(prefix);
    if (n == 1 && prefix[0] == '/') return 1;
    return strncmp(prefix, path, n) == 0 && (path[n] == 0 || path[n] == '/');
}

static char g_mountinfo_chunk[65536];

// Finds the mount holding the existing path `resolved` on device `dev`: the
// longest mount point that is a prefix of it and holds the same device.
static int match_mount(const char* resolved, dev_t dev, MountEntry* found)
{
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
            if (n <= 0) at_end = 1; else filled += (size_t)n;
        }
        char* newline = (char*)memchr(g_mountinfo_chunk, '\n', filled);
        size_t line_len;
        if (newline) {
            line_len = (size_t)(newline - g_mountinfo_chunk) + 1;
            *newline = 0;
        } else if (at_end || filled == sizeof g_mountinfo_chunk - 1) {
            line_len = filled;  // last line, or one too long to hold: judged as it is
            g_mountinfo_chunk[filled] = 0;
        } else {
            continue;
        }
        if (parse_mount_line(g_mountinfo_chunk, &candidate) && is_path_prefix(candidate.point, resolved)) {
            size_t len = strlen(candidate.point);
            struct stat st;
            // Later lines stack on earlier ones at the same point, so >= keeps the top one.
            if (len >= best && stat(candidate.point, &st) == 0 && st.st_dev == dev) {
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
static int find_mount(const char* path, MountEntry* out)
{
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
    if (match_mount(resolved, st.st_dev, out)) return 1;

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
        if (slash == parent) parent[1] = 0; else *slash = 0;
        struct stat up;
        if (stat(parent, &up) != 0 || up.st_dev != st.st_dev) break;
        strcpy(out->point, parent);
    }
    return 1;
}

static int mount_of_root(const wchar_t* root, MountEntry* m)
{
    char bytes[PATH_MAX];
    if (!path_to_utf8(root, bytes)) return 0;
    return find_mount(bytes, m);
}

int plat_volume_root(const wchar_t* path, wchar_t* root, uint32_t cap)
{
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
    if (!utf8_to_wide(m.point, wide, PATH_MAX + 1)) {
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

int plat_free_bytes_available(const wchar_t* root, uint64_t* bytes)
{
    char path[PATH_MAX];
    if (!path_to_utf8(root, path)) return 0;
    struct statvfs vfs;
    if (statvfs(path, &vfs) != 0) {
        set_path_error(errno, path, 0);
        return 0;
    }
    *bytes = (uint64_t)vfs.f_bavail * (uint64_t)vfs.f_frsize;
    return 1;
}

static int read_number_file(const char* path, uint32_t* value)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[32];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    text[n] = 0;
    char* end = nullptr;
    unsigned long v = strtoul(text, &end, 10);
    if (end == text || v == 0 || v > 0xFFFFFFFFul) return 0;
    *value = (uint32_t)v;
    return 1;
}

// A queue attribute of the block device under the mount; a partition has no
// queue of its own and uses its disk's. 0 when there is no block device.
static int block_queue_value(const MountEntry* m, const char* name, uint32_t* value)
{
    unsigned major_id = m->major_id, minor_id = m->minor_id;
    char path[128];
    snprintf(path, sizeof path, "/sys/dev/block/%u:%u", major_id, minor_id);
    struct stat st;
    if (access(path, F_OK) != 0) {
        // File systems with anonymous device numbers (btrfs) still name their device.
        if (strncmp(m->source, "/dev/", 5) != 0 || stat(m->source, &st) != 0 || !S_ISBLK(st.st_mode))
            return 0;
        major_id = major(st.st_rdev);
        minor_id = minor(st.st_rdev);
    }
    snprintf(path, sizeof path, "/sys/dev/block/%u:%u/queue/%s", major_id, minor_id, name);
    if (read_number_file(path, value)) return 1;
    snprintf(path, sizeof path, "/sys/dev/block/%u:%u/../queue/%s", major_id, minor_id, name);
    return read_number_file(path, value);
}

int plat_logical_sector_bytes(const wchar_t* root, uint32_t* bytes)
{
    MountEntry m;
    if (!mount_of_root(root, &m)) return 0;
    uint32_t value = 0;
    *bytes = block_queue_value(&m, "logical_block_size", &value) ? value : 512;
    return 1;
}

int plat_physical_sector_bytes(const wchar_t* root, uint32_t* bytes)
{
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

int plat_filesystem_name(const wchar_t* root, wchar_t* name, uint32_t cap)
{
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

// ---- memory ----

void* plat_alloc_pages(size_t bytes)
{
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        plat_posix_set_error(errno, 0);
        return nullptr;
    }
    return p;
}

void plat_free_pages(void* p, size_t bytes)
{
    if (p) munmap(p, bytes);
}

void* plat_mem_realloc(void* p, size_t bytes)
{
    void* q = realloc(p, bytes);
    if (!q) plat_posix_set_error(ENOMEM, 0);
    return q;
}

void* plat_mem_alloc(size_t bytes)
{
    void* p = malloc(bytes);
    if (!p) plat_posix_set_error(ENOMEM, 0);
    return p;
}

void plat_mem_free(void* p)
{
    free(p);
}

// ---- time ----

int64_t plat_perf_counter(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000LL + (int64_t)ts.tv_nsec;
}

int64_t plat_perf_frequency(void)
{
    return 1000000000LL;
}

int plat_local_time(PlatLocalTime* out)
{
    time_t now = time(nullptr);
    struct tm t;
    if (now == (time_t)-1 || !localtime_r(&now, &t)) return 0;
    out->year = t.tm_year + 1900;
    out->month = t.tm_mon + 1;
    out->day = t.tm_mday;
    out->hour = t.tm_hour;
    out->minute = t.tm_min;
    out->second = t.tm_sec;
    return 1;
}

void plat_sleep_ms(uint32_t ms)
{
    struct timespec want = {(time_t)(ms / 1000u), (long)(ms % 1000u) * 1000000L};
    struct timespec left;
    while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
}
