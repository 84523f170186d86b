// Whole disks, for the quick probe: what a device name stands for, what would
// forbid writing to it, and unbuffered positioned I/O on it.
// Same conventions as platform.h: 1 on success, 0 on failure with plat_last_error().
#pragma once

#include <stdint.h>
#include <wchar.h>

#include "platform/platform.h"

enum { PLAT_DISK_NAME_CHARS = 512, PLAT_DISK_ID_CHARS = 512 };
enum { PLAT_DISK_WHOLE = 1, PLAT_DISK_PARTITION = 2, PLAT_DISK_IMAGE = 3 };

typedef struct PlatDiskFacts {
    int kind;              // PLAT_DISK_*
    uint64_t bytes;        // announced size
    uint32_t sector_bytes; // logical sector
    int read_only;
    // The device the name leads to (a drive letter: its disk), and for a
    // partition the whole disk it belongs to.
    wchar_t device[PLAT_DISK_NAME_CHARS];
    wchar_t disk[PLAT_DISK_NAME_CHARS];
    // What the device is, stable across runs and replugs as far as the system
    // tells: a journal made on one device is refused on another.
    char identity[PLAT_DISK_ID_CHARS];
} PlatDiskFacts;

// 0 when the name cannot be examined or is neither a disk nor a regular file
// (WINERR_INVALID_PARAMETER: it exists but is something else).
int plat_disk_facts(const wchar_t* name, PlatDiskFacts* out);

// What forbids writing to a whole disk: one of its partitions (or itself) is
// mounted, swap or held by another driver, or it holds the root file system,
// the running program or the given path (null: none).
enum {
    PLAT_USE_NONE = 0,
    PLAT_USE_MOUNTED = 1, // part is mounted on detail
    PLAT_USE_SWAP = 2,    // part is swap
    PLAT_USE_HELD = 3,    // part is held by detail (device-mapper, RAID)
    PLAT_USE_ROOT = 4,    // it holds the root file system (detail: the system folder)
    PLAT_USE_PROGRAM = 5, // it holds the running program (detail: its path)
    PLAT_USE_PATH = 6     // it holds the given path
};
typedef struct PlatDiskUse {
    int use;
    wchar_t part[PLAT_DISK_NAME_CHARS];
    wchar_t detail[PLAT_DISK_NAME_CHARS];
} PlatDiskUse;
int plat_disk_use(const wchar_t* disk, const wchar_t* other_path, PlatDiskUse* out);

// 1 when the caller may write to raw disks (root, administrator).
int plat_is_admin(void);

// A whole disk or an image, for reading and writing, unbuffered and write-through,
// exclusive (Linux: O_EXCL, refused when something has it open so; Windows: every
// volume of the disk locked and dismounted, refused when a lock fails). Closed
// with plat_disk_close, which lets the volumes go again.
int plat_disk_open(const wchar_t* device, plat_file* out);
void plat_disk_close(plat_file f);
// Transfers on it: plat_read_at / plat_write_at (platform.h), buffer, offset
// and length aligned to the sector.

// The program's state folder (created with its parents when missing).
int plat_state_dir(wchar_t* out, uint32_t cap);

// 1 when standard output is a terminal (a console window): a status line
// redrawn in place is shown only there.
int plat_stdout_is_terminal(void);
