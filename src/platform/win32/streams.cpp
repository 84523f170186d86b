// Windows: standard streams; UTF-8 to and from the console, redirected bytes as they are.
#include "platform/platform.h"

#include <windows.h>
#include <string.h>

#include <atomic>


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

// A new handle never becomes a standard handle by itself, but a standard
// handle value that the process did not inherit could be reused by one; such
// a stream gets the null device instead.
void plat_reopen_closed_std_streams(void) {
    static const DWORD streams[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int i = 0; i < 3; ++i) {
        HANDLE h = GetStdHandle(streams[i]);
        if (h == NULL || h == INVALID_HANDLE_VALUE) continue;
        if (GetFileType(h) != FILE_TYPE_UNKNOWN || GetLastError() != ERROR_INVALID_HANDLE) continue;
        DWORD access = i == 0 ? GENERIC_READ : GENERIC_WRITE;
        HANDLE null_device = CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                         OPEN_EXISTING, 0, NULL);
        if (null_device != INVALID_HANDLE_VALUE) SetStdHandle(streams[i], null_device);
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

// Set when the run is to end; the reading thread while it waits for input.
static std::atomic<int> g_waits_ended{0};
static std::atomic<HANDLE> g_stdin_reader{NULL};

// Runs on the control handler's thread, which calls it again while it waits:
// a read that began just after one cancel meets the next.
void plat_end_waits(void) {
    g_waits_ended.store(1);
    HANDLE reader = g_stdin_reader.load();
    if (reader != NULL) CancelSynchronousIo(reader);
}

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
            if (g_waits_ended.load()) return -1;
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

static long read_stdin(char* buffer, size_t cap) {
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

long plat_read_stdin(char* buffer, size_t cap) {
    static HANDLE self = OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId());
    g_stdin_reader.store(self);
    long n = g_waits_ended.load() ? -1 : read_stdin(buffer, cap);
    g_stdin_reader.store(NULL);
    return g_waits_ended.load() ? -1 : n;
}
