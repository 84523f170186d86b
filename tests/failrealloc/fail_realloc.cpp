// Test-only preload library: realloc of exactly FAIL_REALLOC_BYTES bytes fails
// with ENOMEM, so a real program meets a real allocation failure at a chosen
// allocation whatever its memory layout and whatever else the machine runs.
#include <errno.h>
#include <stddef.h>

extern "C" {
char* getenv(const char* name) noexcept;
void* __libc_realloc(void* p, size_t bytes) noexcept;

void* realloc(void* p, size_t bytes) noexcept {
    const char* text = getenv("FAIL_REALLOC_BYTES");
    size_t fail_at = 0;
    for (; text && *text >= '0' && *text <= '9'; ++text) {
        fail_at = fail_at * 10 + (size_t)(*text - '0');
    }
    if (fail_at != 0 && bytes == fail_at) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_realloc(p, bytes);
}
}
