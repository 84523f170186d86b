// Linux: the program's state folder, and whether the caller may write raw disks.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/disk.h"
#include "platform/posix/posix_internal.h"

// $XDG_STATE_HOME/drive-test, or ~/.local/state/drive-test when it is unset or
// not absolute; every missing folder on the way is made.
int plat_state_dir(wchar_t* out, uint32_t cap) {
    char path[PATH_MAX];
    const char* xdg = getenv("XDG_STATE_HOME");
    const char* home = getenv("HOME");
    int n;
    if (xdg && xdg[0] == '/') {
        n = snprintf(path, sizeof path, "%s/drive-test", xdg);
    } else if (home && home[0] == '/') {
        n = snprintf(path, sizeof path, "%s/.local/state/drive-test", home);
    } else {
        plat_posix_set_error(ENOENT, 0);
        return 0;
    }
    if (n < 0 || (size_t)n >= sizeof path) {
        plat_posix_set_error(ENAMETOOLONG, 0);
        return 0;
    }
    for (char* p = path + 1;; ++p) {
        if (*p != '/' && *p != 0) continue;
        char c = *p;
        *p = 0;
        if (mkdir(path, 0700) != 0 && errno != EEXIST) {
            plat_posix_set_error(errno, 0);
            return 0;
        }
        *p = c;
        if (!c) break;
    }
    if (!posix_utf8_to_wide(path, out, cap)) {
        plat_posix_set_error(ENAMETOOLONG, 0);
        return 0;
    }
    return 1;
}

int plat_is_admin(void) {
    return geteuid() == 0;
}
