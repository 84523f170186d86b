// Windows: the CPUs this process may use, the helper thread and the semaphores that
// hand it work (the platform's own threads: the cross compiler's default
// thread model may lack std::thread).
#include "platform/platform.h"

#include <windows.h>
#include <stdlib.h>

namespace {

// Lives from the start to the join and is freed by the joining thread.
struct Thread {
    HANDLE handle;
    plat_thread_body body;
    void* arg;
};

DWORD WINAPI trampoline(LPVOID p) {
    Thread* t = (Thread*)p;
    t->body(t->arg);
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

double plat_thread_cpu_seconds(void) {
    // Counted in whole clock ticks (often 15.6 ms): good for sums over many calls.
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0.0;
    ULARGE_INTEGER k, u;
    k.LowPart = kernel.dwLowDateTime;
    k.HighPart = kernel.dwHighDateTime;
    u.LowPart = user.dwLowDateTime;
    u.HighPart = user.dwHighDateTime;
    return (double)(k.QuadPart + u.QuadPart) * 1e-7;
}

void plat_thread_yield(void) { SwitchToThread(); }

int plat_thread_start(plat_thread_body body, void* arg, plat_thread* out) {
    Thread* t = (Thread*)malloc(sizeof(Thread));
    if (t == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    t->body = body;
    t->arg = arg;
    t->handle = CreateThread(NULL, 0, trampoline, t, 0, NULL);
    if (t->handle == NULL) {
        DWORD code = GetLastError();
        free(t);
        SetLastError(code);
        return 0;
    }
    *out = (plat_thread)t;
    return 1;
}

void plat_thread_join(plat_thread thread) {
    Thread* t = (Thread*)thread;
    WaitForSingleObject(t->handle, INFINITE);
    CloseHandle(t->handle);
    free(t);
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
