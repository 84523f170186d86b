// Windows: page buffers and heap, the performance counter, local time, error texts.
#include "platform/platform.h"

#include <windows.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>


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
