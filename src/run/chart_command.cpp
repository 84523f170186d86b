// The chart subcommand: its arguments, the default chart name, the exit code.
#include "run/chart_command.h"

#include <string.h>

#include "console/output.h"
#include "platform/platform.h"
#include "report/chart.h"

namespace {

const char USAGE[] = "Usage: drive-test chart [-o OUT.svg] LOG.csv\n";

int usage_error(const char* what, const wchar_t* argument) {
    err_printf("drive-test chart: %s", what);
    if (argument) {
        err_printf(" '");
        err_wide(argument);
        err_printf("'");
    }
    err_printf("\n%s", USAGE);
    return 1;
}

int ends_with_csv(const wchar_t* path, size_t n) {
    if (n < 4 || path[n - 4] != L'.') return 0;
    const wchar_t* ext = path + n - 3;
    return (ext[0] | 0x20) == L'c' && (ext[1] | 0x20) == L's' && (ext[2] | 0x20) == L'v';
}

} // namespace

int chart_command(int argc, const wchar_t* const* argv) {
    plat_console_setup();
    const wchar_t* log_path = nullptr;
    const wchar_t* svg_path = nullptr;
    int options_done = 0;
    for (int i = 0; i < argc; i++) {
        const wchar_t* a = argv[i];
        if (!options_done && (wcscmp(a, L"-h") == 0 || wcscmp(a, L"--help") == 0)) {
            out_printf("%s", USAGE);
            out_printf("Writes the SVG chart of a drive-test CSV log (default: the log's name "
                       "with .svg)\nand prints the write speed levels and the sustained write "
                       "speed.\n");
            out_flush();
            return 0;
        }
        if (!options_done && (wcscmp(a, L"-o") == 0 || wcscmp(a, L"--output") == 0)) {
            if (i + 1 >= argc) return usage_error("missing file name after", a);
            if (svg_path) return usage_error("more than one", a);
            svg_path = argv[++i];
            if (!*svg_path) return usage_error("empty file name after", a);
        } else if (!options_done && wcscmp(a, L"--") == 0) {
            options_done = 1;
        } else if (!options_done && a[0] == L'-' && a[1] != 0) {
            return usage_error("unknown option", a);
        } else if (log_path) {
            return usage_error("more than one log given:", a);
        } else if (!*a) {
            return usage_error("empty log name", nullptr);
        } else {
            log_path = a;
        }
    }
    if (!log_path) return usage_error("no log given", nullptr);

    wchar_t* default_svg = nullptr;
    if (!svg_path) {
        size_t n = wcslen(log_path);
        default_svg = (wchar_t*)plat_mem_alloc((n + 5) * sizeof(wchar_t));
        if (!default_svg) return usage_error("out of memory", nullptr);
        wmemcpy(default_svg, log_path, n + 1);
        if (ends_with_csv(log_path, n)) n -= 4;
        wcscpy(default_svg + n, L".svg");
        svg_path = default_svg;
    }
    int ok = chart_write(log_path, svg_path);
    plat_mem_free(default_svg);
    return ok ? 0 : 1;
}
