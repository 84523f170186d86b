// Entry point of drive-test: the dialogue, or "drive-test verify FILE".
#include <string.h>

#include "console/output.h"
#include "platform/platform.h"
#include "run/driver.h"
#include "run/reverify.h"

int main(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[1], "verify") != 0) return drive_test_main();
    int count = 0;
    wchar_t** args = nullptr;
    if (!plat_command_arguments(argc, argv, &count, &args) || count < 2) {
        err_printf("The command line could not be read (arguments must be UTF-8).\n");
        return EXIT_CANCELLED;
    }
    return reverify_command(count - 2, args + 2);
}
