// Prompts and text formatting primitives.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

extern const char* const units[5];

// Results of read_line_w; BAD_TEXT: the line was not valid UTF-8 (already reported).
enum { READ_LINE_EOF = 0, READ_LINE_OK = 1, READ_LINE_BAD_TEXT = 2 };

int read_line_w(const wchar_t* prompt, wchar_t* buffer, int capacity);
int prompt_yes_no(const wchar_t* prompt, int default_answer);
double prompt_double(const wchar_t* prompt, double default_value);
// The number rule of every number answer: the whole text one number >= 0, not
// -0 and not below the smallest normal double (an underflow); inf is accepted.
int parse_number_w(const wchar_t* text, double* value);
// Case-insensitive for ASCII letters only, whatever the locale.
int ascii_equal_nocase(const wchar_t* a, const wchar_t* b);
// Shows the prompt and takes input up to the end of the line or of the input.
void wait_for_enter(const wchar_t* prompt);
void format_bytes(uint64_t bytes, char out[64]);
void format_duration(double seconds, char out[32]);
void print_win_error(const wchar_t* label, uint32_t code);
int wide_to_utf8(const wchar_t* wide, char* out, uint64_t capacity);
void trim_newline_w(wchar_t* text);
