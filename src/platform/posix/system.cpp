// Linux: memory and time.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform/utf8.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

// ---- memory ----

// The I/O buffer sits on 2 MiB boundaries and is offered to transparent huge
// pages. The kernel builds each direct-I/O request from the buffer's physically
// contiguous runs, so on 4 KiB pages the request size, and with it the measured
// speed, would follow the luck of the page allocator from run to run.
enum { HUGE_PAGE_BYTES = 2u << 20, SMALL_PAGE_BYTES = 4096 };

static void* map_pages(size_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

// A mapping of bytes on a 2 MiB boundary, cut out of a larger one; null when the
// larger one does not fit.
static char* map_aligned(size_t bytes) {
    if (bytes > SIZE_MAX - HUGE_PAGE_BYTES) return nullptr;
    size_t span = bytes + HUGE_PAGE_BYTES;
    char* p = (char*)map_pages(span);
    if (!p) return nullptr;
    char* start = (char*)(((uintptr_t)p + HUGE_PAGE_BYTES - 1) & ~(uintptr_t)(HUGE_PAGE_BYTES - 1));
    size_t head = (size_t)(start - p);
    if (head) munmap(p, head);
    if (span - head - bytes) munmap(start + bytes, span - head - bytes);
    return start;
}

void* plat_alloc_pages(size_t bytes) {
    char* p = (char*)map_pages(bytes);
    if (p && bytes >= HUGE_PAGE_BYTES && (uintptr_t)p % HUGE_PAGE_BYTES != 0) {
        // Recent kernels align large mappings by themselves; older ones need the
        // larger mapping, and without room for it the buffer stays as it is.
        char* aligned = map_aligned(bytes);
        if (aligned) {
            munmap(p, bytes);
            p = aligned;
        }
    }
    if (!p) {
        plat_posix_set_error(errno, 0);
        return nullptr;
    }
#ifdef MADV_HUGEPAGE
    if (bytes >= HUGE_PAGE_BYTES) madvise(p, bytes, MADV_HUGEPAGE); // advice only
#endif
    // Fault every page in now, so that the first timed read or write does not
    // pay for clearing the buffer's pages.
    for (size_t at = 0; at < bytes; at += SMALL_PAGE_BYTES) ((volatile char*)p)[at] = 0;
    return p;
}

void plat_free_pages(void* p, size_t bytes) {
    if (p) munmap(p, bytes);
}

void* plat_mem_realloc(void* p, size_t bytes) {
    void* q = realloc(p, bytes);
    if (!q) plat_posix_set_error(ENOMEM, 0);
    return q;
}

void* plat_mem_alloc(size_t bytes) {
    void* p = malloc(bytes);
    if (!p) plat_posix_set_error(ENOMEM, 0);
    return p;
}

void plat_mem_free(void* p) {
    free(p);
}

// ---- time ----

int64_t plat_perf_counter(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000LL + (int64_t)ts.tv_nsec;
}

int64_t plat_perf_frequency(void) {
    return 1000000000LL;
}

int plat_local_time(PlatLocalTime* out) {
    time_t now = time(nullptr);
    struct tm t;
    if (now == (time_t)-1 || !localtime_r(&now, &t)) return 0;
    out->year = t.tm_year + 1900;
    out->month = t.tm_mon + 1;
    out->day = t.tm_mday;
    out->hour = t.tm_hour;
    out->minute = t.tm_min;
    out->second = t.tm_sec;
    return 1;
}

void plat_sleep_ms(uint32_t ms) {
    struct timespec want = {(time_t)(ms / 1000u), (long)(ms % 1000u) * 1000000L};
    struct timespec left;
    while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
}
