// All console output goes through these, as UTF-8 bytes; wide text is
// converted here so no stream ever mixes wide and narrow output.
#pragma once

#include <stdarg.h>
#include <wchar.h>

void out_printf(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
void err_printf(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
void out_wide(const wchar_t* text);
void err_wide(const wchar_t* text);
void out_flush(void);
