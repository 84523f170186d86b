// Linux: the command line, decoded from UTF-8 to wide strings once.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

int plat_command_arguments(int argc, char** argv, int* count, wchar_t*** args) {
    wchar_t** list = (wchar_t**)calloc((size_t)argc + 1, sizeof *list);
    if (!list) {
        plat_posix_set_error(ENOMEM, 0);
        return 0;
    }
    for (int i = 0; i < argc; i++) {
        // A UTF-8 argument never has more characters than bytes.
        size_t cap = strlen(argv[i]) + 1;
        list[i] = (wchar_t*)malloc(cap * sizeof(wchar_t));
        if (!list[i] || !posix_utf8_to_wide(argv[i], list[i], cap)) {
            plat_posix_set_error(list[i] ? EILSEQ : ENOMEM, 0);
            return 0;
        }
    }
    *count = argc;
    *args = list;
    return 1;
}
