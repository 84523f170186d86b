// The probe's guards: each refusal is one line that names what it found.
#include "run/probe_guard.h"

#include "console/output.h"
#include "console/text.h"
#include "engine/probe_plan.h"
#include "platform/error_codes.h"
#include "platform/platform.h"

namespace {

// "Refused: DEVICE what[detail tail[more end]]" on one line.
int refuse(const wchar_t* device, const char* what, const wchar_t* detail = nullptr,
           const char* tail = "", const wchar_t* more = nullptr, const char* end = "") {
    err_printf("Refused: ");
    err_wide(device);
    err_printf(" %s", what);
    if (detail) err_wide(detail);
    err_printf("%s", tail);
    if (more) err_wide(more);
    err_printf("%s\n", end);
    return 0;
}

// The system's words for the last error, after the device and what failed.
int refuse_error(const wchar_t* device, const char* what) {
    uint32_t code = plat_last_error();
    static wchar_t message[512];
    err_printf("Refused: ");
    err_wide(device);
    err_printf(" %s", what);
    if (plat_error_message(code, message, 512)) {
        trim_newline_w(message);
        err_printf(": ");
        err_wide(message);
    }
    err_printf(" (error %lu).\n", (unsigned long)code);
    return 0;
}

} // namespace

int probe_guard_device(const wchar_t* name, PlatDiskFacts* f) {
    if (!plat_disk_facts(name, f)) {
        if (plat_last_error() == WINERR_INVALID_PARAMETER)
            return refuse(name, "is neither a disk nor a file.");
        return refuse_error(name, "cannot be examined");
    }
    if (f->kind == PLAT_DISK_PARTITION)
        return refuse(name, "is a partition of ", f->disk, ": give the whole disk.");
    if (f->read_only) return refuse(name, "is read-only.");
    if (f->bytes < PROBE_MIN_DEVICE || f->bytes % 512 != 0 || f->sector_bytes > 4096 ||
        f->bytes % f->sector_bytes != 0) {
        char size[64];
        format_bytes(f->bytes, size);
        err_printf("Refused: ");
        err_wide(name);
        err_printf(" announces %s (%llu bytes): a probe needs at least 16 MiB in whole sectors.\n",
                   size, (unsigned long long)f->bytes);
        return 0;
    }
    if (f->kind == PLAT_DISK_WHOLE && !plat_is_admin())
        return refuse(name, "is a disk: writing to it needs root (administrator) rights.");
    return 1;
}

int probe_guard_use(const PlatDiskFacts* f, const wchar_t* journal) {
    if (f->kind != PLAT_DISK_WHOLE) return 1;
    static PlatDiskUse use;
    if (!plat_disk_use(f->device, journal, &use))
        return refuse_error(f->device, "cannot be examined");
    switch (use.use) {
    case PLAT_USE_MOUNTED:
        return refuse(f->device, "is in use: ", use.part, " is mounted on ", use.detail, ".");
    case PLAT_USE_SWAP: return refuse(f->device, "is in use: ", use.part, " is swap space.");
    case PLAT_USE_HELD:
        return refuse(f->device, "is in use: ", use.part, " is held by ", use.detail,
                      " (device-mapper, RAID).");
    case PLAT_USE_ROOT:
        return refuse(f->device, "holds the root file system (", use.detail, ").");
    case PLAT_USE_PROGRAM:
        return refuse(f->device, "holds the running program ", use.detail, ".");
    case PLAT_USE_PATH:
        return refuse(f->device, "holds the journal ", use.detail,
                      ": give --journal a path on another drive.");
    default: return 1;
    }
}

int probe_guard_open(const PlatDiskFacts* f, plat_file* out) {
    if (plat_disk_open(f->device, out)) return 1;
    if (plat_last_error() == WINERR_BUSY)
        return refuse(f->device, "is in use: another program has it open for itself alone.");
    if (plat_last_error() == WINERR_ACCESS_DENIED && f->kind == PLAT_DISK_WHOLE)
        return refuse_error(f->device, "cannot be opened for itself alone (a volume stays in use)");
    return refuse_error(f->device, "cannot be opened");
}
