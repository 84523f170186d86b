// Linux: whether standard output is a terminal.
#include <unistd.h>

#include "platform/disk.h"

int plat_stdout_is_terminal(void) {
    return isatty(STDOUT_FILENO);
}
