// Linux: the program's arguments, decoded from UTF-8.
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"
#include "platform/utf8.h"

// Kept for the whole process: the arguments are read until it ends.
static wchar_t** g_args = nullptr;

// 1 with *out set to a fresh wide copy; 0 with *out null when the text is not
// valid UTF-8, or with *out null and *no_memory set when memory runs out.
static int decode(const char* text, wchar_t** out, int* no_memory) {
    size_t bytes = strlen(text);
    // Never more code units than bytes, since each unit takes at least one byte.
    wchar_t* wide = (wchar_t*)malloc((bytes + 1) * sizeof(wchar_t));
    *out = nullptr;
    if (!wide) {
        *no_memory = 1;
        return 0;
    }
    Utf8Decoder decoder = {0, 0, 0};
    size_t length = 0;
    for (size_t i = 0; i < bytes; ++i) {
        uint32_t cp = 0;
        int step = utf8_decode_byte(&decoder, (unsigned char)text[i], &cp);
        if (step == UTF8_BAD) {
            free(wide);
            return 0;
        }
        if (step == UTF8_DONE) length += (size_t)wide_put_code_point(cp, wide + length);
    }
    if (decoder.remaining > 0) {
        free(wide);
        return 0;
    }
    wide[length] = 0;
    *out = wide;
    return 1;
}

int plat_args(int argc, char** argv, int* count, const wchar_t* const** args) {
    int n = argc > 1 ? argc - 1 : 0;
    *count = 0;
    *args = nullptr;
    g_args = (wchar_t**)calloc((size_t)n + 1, sizeof(wchar_t*));
    if (!g_args) return 0;
    for (int i = 0; i < n; ++i) {
        int no_memory = 0;
        if (!decode(argv[i + 1], &g_args[i], &no_memory)) {
            *count = no_memory ? 0 : i + 1;
            return 0;
        }
    }
    *count = n;
    *args = g_args;
    return 1;
}
