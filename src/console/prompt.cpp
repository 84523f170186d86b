// Line input and the yes/no and number questions built on it.
#include <float.h>
#include <math.h>
#include <wchar.h>
#include <wctype.h>

#include "console/console.h"
#include "console/output.h"
#include "console/text.h"
#include "platform/utf8.h"
#include "platform/platform.h"

// A byte read to see whether a CR ends the line, when the line was full after
// the CR: it belongs to the next read.
static int g_held_byte = -1;

static long read_byte(char* byte) {
    if (g_held_byte >= 0) {
        *byte = (char)g_held_byte;
        g_held_byte = -1;
        return 1;
    }
    return plat_read_stdin(byte, 1);
}

int read_line_w(const wchar_t* prompt, wchar_t* buffer, int capacity) {
    // The session is going away: every answer is the end of input, and no
    // question is shown that nobody will answer.
    if (end_requested()) {
        if (buffer && capacity > 0) buffer[0] = 0;
        return READ_LINE_EOF;
    }
    if (prompt) out_wide(prompt);
    out_flush();
    if (!buffer || capacity < 1) return READ_LINE_EOF;
    buffer[0] = 0;

    // One byte per read, so nothing past this line (or past the part of it
    // that fits) is taken from the input.
    Utf8Decoder decoder = {0, 0, 0};
    int length = 0;
    int bytes_seen = 0;
    int bad = 0;
    // CR LF is one line end (typed at a Windows console, or a file saved there),
    // so the CR takes no room from the answer; a CR not followed by LF is text.
    int cr_pending = 0;
    for (;;) {
        if (!bad && length >= capacity - 1) break;
        char byte;
        long n = read_byte(&byte);
        if (n < 0) {
            buffer[0] = 0;
            return READ_LINE_EOF;
        }
        if (n == 0) {
            if (decoder.remaining > 0) bad = 1;
            break;
        }
        bytes_seen = 1;
        unsigned char b = (unsigned char)byte;
        if (b == '\n') {
            if (decoder.remaining > 0) bad = 1;
            break;
        }
        if (bad) continue;
        if (cr_pending) {
            cr_pending = 0;
            buffer[length++] = L'\r';
            if (length >= capacity - 1) {
                g_held_byte = b;
                break;
            }
        }
        if (b == '\r' && decoder.remaining == 0) {
            cr_pending = 1;
            continue;
        }
        if (b == 0) {
            bad = 1;
            continue;
        }
        uint32_t cp = 0;
        int step = utf8_decode_byte(&decoder, b, &cp);
        if (step == UTF8_BAD) {
            bad = 1;
            continue;
        }
        if (step == UTF8_MORE) continue;
        wchar_t pieces[2];
        int count = wide_put_code_point(cp, pieces);
        // A UTF-16 pair that no longer fits ends the line before it.
        if (length + count > capacity - 1) break;
        for (int k = 0; k < count; ++k) buffer[length++] = pieces[k];
    }
    if (bad) {
        buffer[0] = 0;
        err_printf("Input is not valid UTF-8 text.\n");
        return READ_LINE_BAD_TEXT;
    }
    if (!bytes_seen) return READ_LINE_EOF;
    buffer[length] = 0;
    trim_newline_w(buffer);
    return READ_LINE_OK;
}

int ascii_equal_nocase(const wchar_t* a, const wchar_t* b) {
    for (;; ++a, ++b) {
        wchar_t x = (*a >= L'A' && *a <= L'Z') ? (wchar_t)(*a + 32) : *a;
        wchar_t y = (*b >= L'A' && *b <= L'Z') ? (wchar_t)(*b + 32) : *b;
        if (x != y) return 0;
        if (x == 0) return 1;
    }
}

// 1 when the digits before the exponent hold one that is not 0: a zero parsed
// from them is an underflow, whether or not the C library says so.
static int nonzero_mantissa(const wchar_t* text) {
    while (iswspace((wint_t)*text) || *text == L'+' || *text == L'-') ++text;
    int hex = text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    if (hex) text += 2;
    for (;; ++text) {
        wchar_t c = *text;
        if (c == L'.' || c == L'0') continue;
        if ((c >= L'1' && c <= L'9') ||
            (hex && ((c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F'))))
            return 1;
        return 0;
    }
}

int parse_number_w(const wchar_t* text, double* value) {
    wchar_t* end = nullptr;
    double parsed = wcstod(text, &end);
    // Whole text parsed and not below the bound; NaN fails the comparison.
    if (end == text || *end != 0 || !(parsed >= 0.0)) return 0;
    // -0 and a value too small for a double would both mean 0, "the maximum" for
    // the size: a typo must not start the largest test. Overflow is infinity, as "inf".
    if (signbit(parsed)) return 0;
    if (parsed < DBL_MIN && (parsed != 0.0 || nonzero_mantissa(text))) return 0;
    *value = parsed;
    return 1;
}

int prompt_yes_no(const wchar_t* prompt, int default_answer) {
    for (;;) {
        wchar_t line[32];
        int got = read_line_w(prompt, line, 32);
        if (got == READ_LINE_EOF) return default_answer;
        if (got == READ_LINE_OK) {
            if (line[0] == 0) return default_answer;
            if (ascii_equal_nocase(line, L"y") || ascii_equal_nocase(line, L"yes")) return 1;
            if (ascii_equal_nocase(line, L"n") || ascii_equal_nocase(line, L"no")) return 0;
        }
        out_wide(L"Please enter Y or N.\n");
    }
}

void wait_for_enter(const wchar_t* prompt) {
    out_wide(prompt);
    out_flush();
    char byte;
    while (read_byte(&byte) == 1 && byte != '\n') {
    }
}

double prompt_double(const wchar_t* prompt, double default_value) {
    for (;;) {
        wchar_t line[128];
        int got = read_line_w(prompt, line, 128);
        if (got == READ_LINE_EOF) return default_value;
        if (got == READ_LINE_OK) {
            if (line[0] == 0) return default_value;
            double value = 0.0;
            if (parse_number_w(line, &value)) return value;
        }
        out_printf("Invalid value. Please enter a number >= %.2f.\n", 0.0);
    }
}
