// Console output as UTF-8 bytes through the platform streams; wide text converted here.
#include "console/output.h"

#include <stdio.h>

#include "platform/utf8.h"
#include "platform/platform.h"

typedef void (*byte_sink)(const char* bytes, size_t count);

// Texts that outgrow the stack buffer (long paths) are formatted here; the
// console is only written from the main thread.
static char g_out_long[262144];
static char g_err_long[262144];

static void emit_formatted(byte_sink sink, char* long_buffer, size_t long_size, const char* format,
                           va_list args) {
    char text[2048];
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(text, sizeof text, format, args);
    if (n >= 0 && (size_t)n < sizeof text) {
        sink(text, (size_t)n);
    } else if (n >= 0) {
        int m = vsnprintf(long_buffer, long_size, format, again);
        if (m > 0) sink(long_buffer, (size_t)m < long_size ? (size_t)m : long_size - 1);
    }
    va_end(again);
}

static void emit_wide(byte_sink sink, const wchar_t* text) {
    if (!text) return;
    char chunk[1024];
    size_t used = 0;
    size_t i = 0;
    while (text[i] != 0) {
        if (used + 4 > sizeof chunk) {
            sink(chunk, used);
            used = 0;
        }
        used += (size_t)utf8_encode(wide_next_code_point(text, &i), chunk + used);
    }
    if (used > 0) sink(chunk, used);
}

void out_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit_formatted(plat_write_stdout, g_out_long, sizeof g_out_long, format, args);
    va_end(args);
}

void err_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit_formatted(plat_write_stderr, g_err_long, sizeof g_err_long, format, args);
    va_end(args);
}

void out_wide(const wchar_t* text) {
    emit_wide(plat_write_stdout, text);
}

void err_wide(const wchar_t* text) {
    emit_wide(plat_write_stderr, text);
}

void out_flush(void) {
    plat_flush_stdout();
}
