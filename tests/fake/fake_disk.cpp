// The fake platform has no disks: every raw-device call fails or finds nothing,
// so the unit tests that link the command line reach no device.
#include "fake/fake_platform.h"
#include "platform/disk.h"
#include "platform/error_codes.h"

int plat_disk_facts(const wchar_t*, PlatDiskFacts*) {
    g_fake.last_error = WINERR_NOT_SUPPORTED;
    return 0;
}
int plat_disk_use(const wchar_t*, const wchar_t*, PlatDiskUse* out) {
    out->use = PLAT_USE_NONE;
    return 1;
}
int plat_is_admin(void) { return 0; }
int plat_disk_open(const wchar_t*, plat_file* out) {
    *out = PLAT_NO_FILE;
    g_fake.last_error = WINERR_NOT_SUPPORTED;
    return 0;
}
void plat_disk_close(plat_file) {}
int plat_state_dir(wchar_t*, uint32_t) {
    g_fake.last_error = WINERR_NOT_SUPPORTED;
    return 0;
}
int plat_stdout_is_terminal(void) { return 0; }
