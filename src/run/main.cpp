// Entry point of drive-test: the arguments as wide text, then the command line.
#include "console/output.h"
#include "platform/platform.h"
#include "run/command_line.h"
#include "run/driver.h"

int main(int argc, char** argv) {
    plat_reopen_closed_std_streams();
    int count = 0;
    const wchar_t* const* args = nullptr;
    if (!plat_args(argc, argv, &count, &args)) {
        if (count > 0) {
            err_printf("drive-test: argument %d is not valid UTF-8 text\n"
                       "Try 'drive-test --help'.\n",
                       count);
        } else {
            err_printf("drive-test: the command line cannot be read\n");
        }
        return EXIT_CANCELLED;
    }
    return command_line_main(count, args);
}
