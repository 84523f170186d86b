// Windows: the CPUs this process may use, worker threads and the semaphore that
// hands them work (the platform's own threads: the cross compiler's default
// thread model may lack std::thread).
#include "platform/platform.h"

#include <windows.h>
#include <stdlib.h>

namespace {

struct Start {
    plat_thread_body body;
    void* arg;
};

DWORD WINAPI trampoline(LPVOID p) {
    Start start = *(Start*)p;
    free(p);
    start.body(start.arg);
    return 0;
}

} // namespace

uint32_t plat_cpu_count(void) {
    // The affinity mask, not the machine's count: a job or start /affinity may allow fewer.
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 1;
    uint32_t count = 0;
    for (; process != 0; process &= process - 1) count++;
    return count > 0 ? count : 1;
}

int plat_thread_start(plat_thread_body body, void* arg, plat_thread* out) {
    Start* start = (Start*)malloc(sizeof(Start));
    if (start == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    start->body = body;
    start->arg = arg;
    HANDLE thread = CreateThread(NULL, 0, trampoline, start, 0, NULL);
    if (thread == NULL) {
        DWORD code = GetLastError();
        free(start);
        SetLastError(code);
        return 0;
    }
    *out = (plat_thread)thread;
    return 1;
}

void plat_thread_join(plat_thread thread) {
    WaitForSingleObject((HANDLE)thread, INFINITE);
    CloseHandle((HANDLE)thread);
}

int plat_semaphore_create(plat_semaphore* out) {
    HANDLE s = CreateSemaphoreW(NULL, 0, 0x7FFFFFFF, NULL);
    if (s == NULL) return 0;
    *out = (plat_semaphore)s;
    return 1;
}

void plat_semaphore_post(plat_semaphore s) { ReleaseSemaphore((HANDLE)s, 1, NULL); }

void plat_semaphore_wait(plat_semaphore s) { WaitForSingleObject((HANDLE)s, INFINITE); }

void plat_semaphore_destroy(plat_semaphore s) { CloseHandle((HANDLE)s); }
