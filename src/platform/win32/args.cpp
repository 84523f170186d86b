// Windows: the program's arguments, read from the wide command line.
#include "platform/platform.h"

#include <windows.h>

// The runtime's own splitter of the wide command line (msvcrt.dll), so that the
// arguments follow the usual quoting rules without a dependency on shell32.dll.
struct WideStartupInfo {
    int new_mode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expand_wildcards,
                              WideStartupInfo* info);

int plat_args(int argc, char** argv, int* count, const wchar_t* const** args) {
    (void)argc;
    (void)argv;
    int wide_count = 0;
    wchar_t** wide_argv = nullptr;
    wchar_t** wide_env = nullptr;
    WideStartupInfo info = {0};
    *count = 0;
    *args = nullptr;
    if (__wgetmainargs(&wide_count, &wide_argv, &wide_env, 0, &info) < 0 || !wide_argv) return 0;
    *count = wide_count > 1 ? wide_count - 1 : 0;
    *args = wide_argv + (wide_count > 0 ? 1 : 0);
    return 1;
}
