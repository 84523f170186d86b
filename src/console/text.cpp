// Formatters, wide-to-UTF-8 conversion and error-text printing.
#include "console/text.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include "console/output.h"
#include "platform/utf8.h"
#include "platform/platform.h"

const char* const units[5] = {"B", "KiB", "MiB", "GiB", "TiB"};

void format_bytes(uint64_t bytes, char out[64]) {
    double x = (double)bytes;
    if (x < 1024.0) {
        snprintf(out, 64, "%llu %s", (unsigned long long)bytes, units[0]);
        return;
    }
    // The unit is chosen on the unrounded value; rounding happens when printed.
    int k = 0;
    while (k < 4) {
        x = x * (1.0 / 1024.0);
        ++k;
        if (x < 1024.0) break;
    }
    snprintf(out, 64, "%.2f %s", x, units[k]);
}

void format_duration(double seconds, char out[32]) {
    // 2^64 seconds and beyond do not fit the count, so they show no value either.
    if (isnan(seconds) || isinf(seconds) || seconds < 0.0 || seconds >= 18446744073709551616.0) {
        snprintf(out, 32, "--:--:--");
        return;
    }
    unsigned long long s = (unsigned long long)seconds;
    snprintf(out, 32, "%02llu:%02llu:%02llu", s / 3600ull, (s % 3600ull) / 60ull, s % 60ull);
}

void trim_newline_w(wchar_t* text) {
    size_t n = wcslen(text);
    while (n > 0 && (text[n - 1] == L'\n' || text[n - 1] == L'\r')) text[--n] = 0;
}

void print_win_error(const wchar_t* label, uint32_t code) {
    wchar_t message[1024];
    if (!plat_error_message(code, message, sizeof message / sizeof message[0])) {
        err_wide(label);
        err_printf(": Windows error %lu\n", (unsigned long)code);
        return;
    }
    trim_newline_w(message);
    err_wide(label);
    err_printf(": [%lu] ", (unsigned long)code);
    err_wide(message);
    err_printf("\n");
}

int wide_to_utf8(const wchar_t* wide, char* out, uint64_t capacity) {
    if (!wide || !out) return 0;
    uint64_t needed = 1;
    char bytes[4];
    for (size_t i = 0; wide[i] != 0;)
        needed += (uint64_t)utf8_encode(wide_next_code_point(wide, &i), bytes);
    if (capacity < needed) return 0;
    size_t used = 0;
    for (size_t i = 0; wide[i] != 0;)
        used += (size_t)utf8_encode(wide_next_code_point(wide, &i), out + used);
    out[used] = 0;
    return 1;
}
