// UTF-8 <-> wide text, one code point at a time. Header-only so the POSIX
// platform layer can cross the same bridge for paths without linking the core.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#define UTF8_REPLACEMENT 0xFFFDu

enum { UTF8_MORE = 0, UTF8_DONE = 1, UTF8_BAD = -1 };

// Incremental decoder; zero-initialise before the first byte.
struct Utf8Decoder {
    uint32_t code_point;
    uint32_t minimum; // smallest value the sequence may encode (rejects overlong forms)
    int remaining;    // continuation bytes still expected
};

// Feeds one byte: UTF8_DONE with *out set, UTF8_MORE, or UTF8_BAD (decoder reset).
static inline int utf8_decode_byte(Utf8Decoder* d, unsigned char b, uint32_t* out) {
    if (d->remaining == 0) {
        if (b < 0x80) {
            *out = b;
            return UTF8_DONE;
        }
        if (b >= 0xC2 && b <= 0xDF) {
            d->code_point = b & 0x1Fu;
            d->remaining = 1;
            d->minimum = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            d->code_point = b & 0x0Fu;
            d->remaining = 2;
            d->minimum = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            d->code_point = b & 0x07u;
            d->remaining = 3;
            d->minimum = 0x10000;
        } else {
            return UTF8_BAD;
        }
        return UTF8_MORE;
    }
    if ((b & 0xC0u) != 0x80u) {
        d->remaining = 0;
        return UTF8_BAD;
    }
    d->code_point = (d->code_point << 6) | (b & 0x3Fu);
    if (--d->remaining > 0) return UTF8_MORE;
    uint32_t cp = d->code_point;
    if (cp < d->minimum || cp > 0x10FFFFu || (cp >= 0xD800u && cp <= 0xDFFFu)) return UTF8_BAD;
    *out = cp;
    return UTF8_DONE;
}

// Encodes one code point (invalid ones as U+FFFD); returns the byte count.
static inline int utf8_encode(uint32_t cp, char out[4]) {
    if (cp > 0x10FFFFu || (cp >= 0xD800u && cp <= 0xDFFFu)) cp = UTF8_REPLACEMENT;
    if (cp < 0x80u) {
        out[0] = (char)cp;
        return 1;
    }
    if (cp < 0x800u) {
        out[0] = (char)(0xC0u | (cp >> 6));
        out[1] = (char)(0x80u | (cp & 0x3Fu));
        return 2;
    }
    if (cp < 0x10000u) {
        out[0] = (char)(0xE0u | (cp >> 12));
        out[1] = (char)(0x80u | ((cp >> 6) & 0x3Fu));
        out[2] = (char)(0x80u | (cp & 0x3Fu));
        return 3;
    }
    out[0] = (char)(0xF0u | (cp >> 18));
    out[1] = (char)(0x80u | ((cp >> 12) & 0x3Fu));
    out[2] = (char)(0x80u | ((cp >> 6) & 0x3Fu));
    out[3] = (char)(0x80u | (cp & 0x3Fu));
    return 4;
}

// The code point at text[*i], advancing *i past it. With a 2-byte wchar_t a
// surrogate pair is joined; an unpaired surrogate comes back as U+FFFD.
static inline uint32_t wide_next_code_point(const wchar_t* text, size_t* i) {
    uint32_t unit = (uint32_t)text[*i];
    *i += 1;
    if (sizeof(wchar_t) == 2) {
        unit &= 0xFFFFu;
        if (unit >= 0xD800u && unit <= 0xDBFFu) {
            uint32_t low = (uint32_t)text[*i] & 0xFFFFu;
            if (low >= 0xDC00u && low <= 0xDFFFu) {
                *i += 1;
                return 0x10000u + ((unit - 0xD800u) << 10) + (low - 0xDC00u);
            }
            return UTF8_REPLACEMENT;
        }
        if (unit >= 0xDC00u && unit <= 0xDFFFu) return UTF8_REPLACEMENT;
    }
    return unit;
}

// Stores a valid code point as wide units; returns how many (1, or 2 for a
// UTF-16 pair).
static inline int wide_put_code_point(uint32_t cp, wchar_t out[2]) {
    if (sizeof(wchar_t) == 2 && cp >= 0x10000u) {
        cp -= 0x10000u;
        out[0] = (wchar_t)(0xD800u + (cp >> 10));
        out[1] = (wchar_t)(0xDC00u + (cp & 0x3FFu));
        return 2;
    }
    out[0] = (wchar_t)cp;
    return 1;
}
