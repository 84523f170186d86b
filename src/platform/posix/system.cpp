// Linux: memory and time.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
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

#include "console/utf8.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

// ---- memory ----

void* plat_alloc_pages(size_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        plat_posix_set_error(errno, 0);
        return nullptr;
    }
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
