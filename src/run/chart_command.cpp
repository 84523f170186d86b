// The chart subcommand: the default chart name, the exit code.
#include "run/chart_command.h"

#include <string.h>

#include "console/output.h"
#include "engine/run_files.h"
#include "platform/platform.h"
#include "report/chart.h"
#include "run/output_guard.h"

namespace {

int ends_with_csv(const wchar_t* path, size_t n) {
    if (n < 4 || path[n - 4] != L'.') return 0;
    const wchar_t* ext = path + n - 3;
    return (ext[0] | 0x20) == L'c' && (ext[1] | 0x20) == L's' && (ext[2] | 0x20) == L'v';
}

} // namespace

int chart_command(const ChartOptions* options) {
    plat_console_setup();
    run_files_clear();
    const wchar_t* log_path = options->log;
    const wchar_t* svg_path = options->svg;

    wchar_t* default_svg = nullptr;
    if (!svg_path) {
        size_t n = wcslen(log_path);
        default_svg = (wchar_t*)plat_mem_alloc((n + 5) * sizeof(wchar_t));
        if (!default_svg) {
            err_printf("drive-test chart: out of memory\n");
            return 1;
        }
        wmemcpy(default_svg, log_path, n + 1);
        if (ends_with_csv(log_path, n)) n -= 4;
        wcscpy(default_svg + n, L".svg");
        svg_path = default_svg;
    }
    int ok = guard_chart(log_path, svg_path) && chart_write(log_path, svg_path);
    plat_mem_free(default_svg);
    return ok ? 0 : 1;
}
