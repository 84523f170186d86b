// Linux: the texts that differ by platform and the message of each error code.
// The fake platform of the unit tests links this file, so both say the same.
#include <errno.h>
#include <string.h>
#include <wchar.h>

#include "platform/error_codes.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

const char plat_banner_second_line[] = "Native Linux sustained storage write test\n\n";
const wchar_t plat_directory_prompt[] = L"Target directory (example /media/usb/): ";
const char plat_io_mode_line[] = "# io_mode=O_DIRECT|O_DSYNC\n";
const wchar_t plat_separator = L'/';

int plat_is_separator(wchar_t c) {
    return c == L'/';
}

int plat_same_volume_root(const wchar_t* a, const wchar_t* b) {
    return wcscmp(a, b) == 0;
}

const char* posix_program_code_text(uint32_t code) {
    switch (code) {
    case WINERR_NOT_ENOUGH_MEMORY:
        return "Not enough memory resources are available to process this command.";
    case WINERR_CRC: return "Data error (cyclic redundancy check).";
    case WINERR_WRITE_FAULT: return "The system cannot write to the specified device.";
    case WINERR_READ_FAULT: return "The system cannot read from the specified device.";
    default: return nullptr;
    }
}

// The errno a code stands for when no failure of this process is behind it.
static int errno_for_code(uint32_t code) {
    switch (code) {
    case WINERR_FILE_NOT_FOUND:
    case WINERR_PATH_NOT_FOUND: return ENOENT;
    case WINERR_ACCESS_DENIED: return EACCES;
    case WINERR_WRITE_PROTECT: return EROFS;
    case WINERR_NOT_READY: return ENODEV;
    case WINERR_NOT_SUPPORTED: return EOPNOTSUPP;
    case WINERR_INVALID_PARAMETER: return EINVAL;
    case WINERR_DISK_FULL: return ENOSPC;
    case WINERR_BUSY: return EBUSY;
    case WINERR_FILENAME_TOO_LONG: return ENAMETOOLONG;
    case WINERR_FILE_TOO_LARGE: return EFBIG;
    case WINERR_DIRECTORY: return ENOTDIR;
    case WINERR_IO_DEVICE: return EIO;
    default: return 0;
    }
}

const char* posix_code_text(uint32_t code) {
    const char* own = posix_program_code_text(code);
    if (own) return own;
    int err = errno_for_code(code);
    if (err != 0) return strerror(err);
    return code == WINERR_GEN_FAILURE ? "A device attached to the system is not functioning." : nullptr;
}
