// The platform operations on Windows 10/11: kernel32 and the C runtime,
// called with exactly the arguments the rest of the program depends on.
#include "platform/platform.h"

#include <windows.h>
#include <winioctl.h>

#include <conio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>

// ---- texts that differ by platform ----

const char plat_banner_second_line[] = "Native Windows 10/11 sustained storage write test\n\n";
const wchar_t plat_directory_prompt[] = L"Target directory (example E:\\): ";
const char plat_io_mode_line[] = "# io_mode=FILE_FLAG_NO_BUFFERING|FILE_FLAG_WRITE_THROUGH\n";
const wchar_t plat_separator = L'\\';

int plat_is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

int plat_same_volume_root(const wchar_t* a, const wchar_t* b) {
    // Volume roots compare the way the file system compares names: ignoring case.
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// ---- console and process ----

void plat_console_setup(void) {
    SetConsoleOutputCP(65001);
    SetConsoleCP(65001);
}

intptr_t plat_stdout_handle(void) {
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    if (h == INVALID_HANDLE_VALUE) return 0;
    return (intptr_t)h;
}

int plat_console_clear(intptr_t console) {
    HANDLE h = (HANDLE)console;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(h, &info)) return 0;
    // The whole buffer, scroll-back included, not just the visible window.
    DWORD cells = (DWORD)info.dwSize.X * (DWORD)info.dwSize.Y;
    COORD origin = {0, 0};
    DWORD done = 0;
    FillConsoleOutputCharacterA(h, ' ', cells, origin, &done);
    FillConsoleOutputAttribute(h, info.wAttributes, cells, origin, &done);
    return SetConsoleCursorPosition(h, origin) ? 1 : 0;
}

void plat_console_home(intptr_t console) {
    COORD origin = {0, 0};
    SetConsoleCursorPosition((HANDLE)console, origin);
}

void plat_console_cursor_visible(intptr_t console, int visible) {
    if (console == 0) return;
    CONSOLE_CURSOR_INFO info;
    if (!GetConsoleCursorInfo((HANDLE)console, &info)) return;
    info.bVisible = visible ? TRUE : FALSE;
    SetConsoleCursorInfo((HANDLE)console, &info);
}

void plat_console_restore(void) {
    // The console keeps no mode of ours that needs undoing; the code pages
    // are deliberately left at UTF-8.
}

static std::atomic<plat_ctrl_handler> g_ctrl_handler{nullptr};

// The system calls this on a thread of its own for each console event.
static BOOL WINAPI ctrl_handler_thunk(DWORD event) {
    plat_ctrl_handler handler = g_ctrl_handler.load();
    if (handler == nullptr) return FALSE;
    return handler((uint32_t)event) ? TRUE : FALSE;
}

void plat_set_ctrl_handler(plat_ctrl_handler handler, int add) {
    if (add) {
        g_ctrl_handler.store(handler);
        SetConsoleCtrlHandler(ctrl_handler_thunk, TRUE);
    } else {
        SetConsoleCtrlHandler(ctrl_handler_thunk, FALSE);
    }
}

int plat_key_waiting(void) {
    return _kbhit();
}

int plat_key_read(void) {
    return _getch();
}

// ---- standard streams ----

enum { STREAM_CHUNK = 4096 };

// A UTF-8 sequence cut by the end of one write waits here for the next write,
// so that a console never shows one character as two replacement marks.
struct ConsoleStream {
    char pending[4];
    size_t pending_count;
};

static ConsoleStream g_stdout_stream;
static ConsoleStream g_stderr_stream;

// Length of the longest prefix of p[0..n) that does not end inside a UTF-8 sequence.
static size_t utf8_complete_prefix(const char* p, size_t n) {
    size_t stop = n > 4 ? n - 4 : 0;
    for (size_t i = n; i > stop; --i) {
        unsigned char b = (unsigned char)p[i - 1];
        if ((b & 0xC0) == 0x80) continue;
        size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        return n - (i - 1) < need ? i - 1 : n;
    }
    return n; // only continuation bytes: invalid, the converter marks them
}

static void write_raw(HANDLE h, const char* bytes, size_t count) {
    while (count > 0) {
        DWORD want = count > (1u << 30) ? (1u << 30) : (DWORD)count;
        DWORD wrote = 0;
        if (!WriteFile(h, bytes, want, &wrote, NULL) || wrote == 0) return;
        bytes += wrote;
        count -= wrote;
    }
}

static void write_console_utf8(HANDLE h, ConsoleStream* s, const char* bytes, size_t count) {
    size_t pos = 0;
    while (pos < count) {
        char chunk[STREAM_CHUNK + 4];
        size_t n = s->pending_count;
        memcpy(chunk, s->pending, n);
        size_t take = count - pos;
        if (take > STREAM_CHUNK - n) take = STREAM_CHUNK - n;
        memcpy(chunk + n, bytes + pos, take);
        pos += take;
        n += take;
        size_t cut = utf8_complete_prefix(chunk, n);
        s->pending_count = n - cut;
        memcpy(s->pending, chunk + cut, n - cut);
        if (cut == 0) continue;
        wchar_t wide[STREAM_CHUNK];
        int units = MultiByteToWideChar(CP_UTF8, 0, chunk, (int)cut, wide, STREAM_CHUNK);
        int done = 0;
        while (done < units) {
            DWORD wrote = 0;
            if (!WriteConsoleW(h, wide + done, (DWORD)(units - done), &wrote, NULL) || wrote == 0) {
                return;
            }
            done += (int)wrote;
        }
    }
}

static void write_stream(DWORD which, ConsoleStream* s, const char* bytes, size_t count) {
    HANDLE h = GetStdHandle(which);
    if (h == NULL || h == INVALID_HANDLE_VALUE || count == 0) return;
    DWORD mode = 0;
    if (GetConsoleMode(h, &mode)) {
        write_console_utf8(h, s, bytes, count);
    } else {
        write_raw(h, bytes, count); // redirected: the UTF-8 bytes as they are
    }
}

void plat_write_stdout(const char* bytes, size_t count) {
    write_stream(STD_OUTPUT_HANDLE, &g_stdout_stream, bytes, count);
}

void plat_flush_stdout(void) {
    // Nothing is buffered here: every write goes straight to the handle.
}

void plat_write_stderr(const char* bytes, size_t count) {
    write_stream(STD_ERROR_HANDLE, &g_stderr_stream, bytes, count);
}

enum { CONSOLE_READ_UNITS = 1024 };

// Input bytes not yet handed out: UTF-8 converted from one console read, or
// the first bytes of redirected input that were checked for a byte-order mark.
static char g_stdin_bytes[CONSOLE_READ_UNITS * 3 + 4];
static size_t g_stdin_start;
static size_t g_stdin_end;
static wchar_t g_stdin_high_surrogate;
static int g_stdin_console_eof;

// One console read, converted to UTF-8 into g_stdin_bytes: 1 when bytes are
// there, 0 at end of input, -1 on error.
static int fill_from_console(HANDLE h) {
    for (;;) {
        if (g_stdin_console_eof) return 0;
        wchar_t wide[CONSOLE_READ_UNITS];
        DWORD n = 0;
        if (g_stdin_high_surrogate != 0) {
            wide[n++] = g_stdin_high_surrogate;
            g_stdin_high_surrogate = 0;
        }
        DWORD got = 0;
        SetLastError(0);
        if (!ReadConsoleW(h, wide + n, CONSOLE_READ_UNITS - n, &got, NULL)) return -1;
        // Ctrl+C during a read ends it without input; the stop stays pending
        // in the flag and the question waits for its answer.
        if (got == 0 && GetLastError() == ERROR_OPERATION_ABORTED) {
            if (n == 1) g_stdin_high_surrogate = wide[0]; // still waiting for its low half
            continue;
        }
        if (got == 0) g_stdin_console_eof = 1;
        n += got;
        // Ctrl+Z marks the end of console input, as in a text-mode stream.
        for (DWORD i = 0; i < n; ++i) {
            if (wide[i] == 0x1A) {
                n = i;
                g_stdin_console_eof = 1;
                break;
            }
        }
        if (!g_stdin_console_eof && n > 0 && wide[n - 1] >= 0xD800 && wide[n - 1] <= 0xDBFF) {
            g_stdin_high_surrogate = wide[--n]; // its low half comes with the next read
        }
        if (n == 0) continue;
        int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, (int)n, g_stdin_bytes,
                                        (int)sizeof g_stdin_bytes, NULL, NULL);
        if (bytes <= 0) return -1;
        g_stdin_start = 0;
        g_stdin_end = (size_t)bytes;
        return 1;
    }
}

// One read of the redirected input: 1 with *got > 0, 0 at its end, -1 on error.
static int read_redirected(HANDLE h, char* buffer, size_t cap, DWORD* got) {
    DWORD want = cap > (1u << 30) ? (1u << 30) : (DWORD)cap;
    *got = 0;
    if (!ReadFile(h, buffer, want, got, NULL)) {
        DWORD code = GetLastError();
        return code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF ? 0 : -1;
    }
    return *got > 0 ? 1 : 0;
}

static int g_stdin_mark_checked;

// An answer file saved as "UTF-8 with BOM" starts with EF BB BF, which is no
// part of the first answer. The bytes are taken one at a time, so nothing is
// awaited that the first character would not need anyway.
static int skip_byte_order_mark(HANDLE h) {
    static const char mark[3] = {'\xEF', '\xBB', '\xBF'};
    size_t n = 0;
    while (n < 3) {
        DWORD got = 0;
        int r = read_redirected(h, g_stdin_bytes + n, 1, &got);
        if (r <= 0) {
            if (r < 0) return -1;
            break;
        }
        if (g_stdin_bytes[n] != mark[n]) {
            ++n;
            break;
        }
        ++n;
    }
    g_stdin_end = n;
    g_stdin_start = n == 3 && memcmp(g_stdin_bytes, mark, 3) == 0 ? 3 : 0;
    return 1;
}

long plat_read_stdin(char* buffer, size_t cap) {
    if (cap == 0) return 0;
    HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
    if (h == NULL || h == INVALID_HANDLE_VALUE) return 0;
    if (g_stdin_start == g_stdin_end) {
        DWORD mode = 0;
        if (GetConsoleMode(h, &mode)) {
            int filled = fill_from_console(h);
            if (filled <= 0) return filled;
        } else if (!g_stdin_mark_checked) {
            g_stdin_mark_checked = 1;
            if (skip_byte_order_mark(h) < 0) return -1;
        }
    }
    if (g_stdin_start < g_stdin_end) {
        size_t count = g_stdin_end - g_stdin_start;
        if (count > cap) count = cap;
        memcpy(buffer, g_stdin_bytes + g_stdin_start, count);
        g_stdin_start += count;
        return (long)count;
    }
    // Redirected: the raw bytes, decoded as UTF-8 by the caller.
    DWORD got = 0;
    int r = read_redirected(h, buffer, cap, &got);
    return r <= 0 ? r : (long)got;
}

// ---- files ----

int plat_open_write_through(const wchar_t* path, plat_file* out) {
    HANDLE h =
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                    FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    *out = (plat_file)h;
    return 1;
}

int plat_open_read_sequential(const wchar_t* path, plat_file* out) {
    HANDLE h = CreateFileW(
        path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
        FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    *out = (plat_file)h;
    return 1;
}

static_assert((FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL) ==
                  0xA0000080,
              "write-through open flags");
static_assert((FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL) ==
                  0x28000080,
              "sequential read open flags");

int plat_write(plat_file f, const void* buffer, uint32_t length, uint32_t* moved) {
    DWORD count = 0;
    BOOL ok = WriteFile((HANDLE)f, buffer, length, &count, NULL);
    *moved = count;
    return ok ? 1 : 0;
}

int plat_read(plat_file f, void* buffer, uint32_t length, uint32_t* moved) {
    DWORD count = 0;
    BOOL ok = ReadFile((HANDLE)f, buffer, length, &count, NULL);
    *moved = count;
    return ok ? 1 : 0;
}

int plat_flush(plat_file f) {
    return FlushFileBuffers((HANDLE)f) ? 1 : 0;
}

void plat_close(plat_file f) {
    CloseHandle((HANDLE)f);
}

int plat_delete_file(const wchar_t* path) {
    return DeleteFileW(path) ? 1 : 0;
}

int plat_file_attributes(const wchar_t* path, int* is_dir) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    *is_dir = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return 1;
}

uint32_t plat_full_path(const wchar_t* path, wchar_t* out, uint32_t cap) {
    return GetFullPathNameW(path, cap, out, NULL);
}

FILE* plat_open_log(const wchar_t* path) {
    return _wfopen(path, L"wb");
}

// ---- volumes ----

int plat_volume_root(const wchar_t* path, wchar_t* root, uint32_t cap) {
    return GetVolumePathNameW(path, root, cap) ? 1 : 0;
}

int plat_free_bytes_available(const wchar_t* root, uint64_t* bytes) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(root, &available, NULL, NULL)) return 0;
    *bytes = available.QuadPart;
    return 1;
}

int plat_logical_sector_bytes(const wchar_t* root, uint32_t* bytes) {
    DWORD sectors_per_cluster = 0, bytes_per_sector = 0, free_clusters = 0, total_clusters = 0;
    if (!GetDiskFreeSpaceW(root, &sectors_per_cluster, &bytes_per_sector, &free_clusters,
                           &total_clusters)) {
        return 0;
    }
    *bytes = bytes_per_sector;
    return 1;
}

static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12, "12-byte property query");
static_assert(sizeof(STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR) == 28, "28-byte alignment descriptor");

int plat_physical_sector_bytes(const wchar_t* root, uint32_t* bytes) {
    wchar_t volume_name[32768];
    if (!GetVolumeNameForVolumeMountPointW(root, volume_name, 32768)) return 0;
    // "\\?\Volume{...}\" names the root directory; without the separator it
    // names the volume device, which is what answers the storage query.
    size_t len = wcslen(volume_name);
    while (len > 0 && (volume_name[len - 1] == L'\\' || volume_name[len - 1] == L'/')) {
        volume_name[--len] = 0;
    }
    HANDLE h = CreateFileW(volume_name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                           0, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    STORAGE_PROPERTY_QUERY query;
    memset(&query, 0, sizeof query);
    query.PropertyId = StorageAccessAlignmentProperty;
    query.QueryType = PropertyStandardQuery;
    query.AdditionalParameters[0] = 0;
    STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR descriptor;
    memset(&descriptor, 0, sizeof descriptor);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &descriptor,
                              sizeof descriptor, &returned, NULL);
    CloseHandle(h);
    if (!ok || returned < sizeof descriptor || descriptor.BytesPerPhysicalSector == 0) return 0;
    *bytes = descriptor.BytesPerPhysicalSector;
    return 1;
}

int plat_filesystem_name(const wchar_t* root, wchar_t* name, uint32_t cap) {
    wchar_t fs[64];
    if (!GetVolumeInformationW(root, NULL, 0, NULL, NULL, NULL, fs, 64)) return 0;
    if (cap == 0) return 1;
    fs[63] = 0;
    size_t len = wcslen(fs);
    if (len > cap - 1) len = cap - 1;
    memcpy(name, fs, len * sizeof(wchar_t));
    name[len] = 0;
    return 1;
}

// ---- memory ----

void* plat_alloc_pages(size_t bytes) {
    void* p = VirtualAlloc(NULL, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    // Committed pages are still cleared on first touch: touch them now, so that
    // the first timed read does not pay for it. (Large pages would need the
    // lock-pages privilege, which a normal account does not hold.)
    if (p != NULL)
        for (size_t at = 0; at < bytes; at += 4096) ((volatile char*)p)[at] = 0;
    return p;
}

void plat_free_pages(void* p, size_t bytes) {
    (void)bytes; // a release frees the whole reservation
    if (p != nullptr) VirtualFree(p, 0, MEM_RELEASE);
}

void* plat_mem_realloc(void* p, size_t bytes) {
    return realloc(p, bytes);
}

void* plat_mem_alloc(size_t bytes) {
    return malloc(bytes);
}

void plat_mem_free(void* p) {
    free(p);
}

// ---- time ----

int64_t plat_perf_counter(void) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int64_t plat_perf_frequency(void) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

int plat_local_time(PlatLocalTime* out) {
    __time64_t now = _time64(NULL);
    struct tm local;
    if (_localtime64_s(&local, &now) != 0) return 0;
    out->year = local.tm_year + 1900;
    out->month = local.tm_mon + 1;
    out->day = local.tm_mday;
    out->hour = local.tm_hour;
    out->minute = local.tm_min;
    out->second = local.tm_sec;
    return 1;
}

void plat_sleep_ms(uint32_t ms) {
    Sleep(ms);
}

// ---- errors ----

uint32_t plat_last_error(void) {
    return GetLastError();
}

int plat_error_message(uint32_t code, wchar_t* out, size_t cap) {
    wchar_t* message = NULL;
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                       FORMAT_MESSAGE_ALLOCATE_BUFFER,
                   NULL, code, 0, (LPWSTR)&message, 0, NULL);
    if (message == NULL) return 0;
    if (cap > 0) {
        size_t len = wcslen(message);
        if (len > cap - 1) len = cap - 1;
        memcpy(out, message, len * sizeof(wchar_t));
        out[len] = 0;
    }
    LocalFree(message);
    return 1;
}
