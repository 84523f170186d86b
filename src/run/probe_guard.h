// What must hold before the probe writes to a device: each failure is one line
// naming what was found, on standard error.
#pragma once

#include "platform/disk.h"

// The device's facts (the name resolved: a drive letter to its disk), after the
// guards that need nothing but the name: a disk or an image, whole, writable,
// large enough, root or administrator for a disk. 0 after the refusal line.
int probe_guard_device(const wchar_t* name, PlatDiskFacts* facts);
// Nothing of the disk in use: mounted, swap, held, the root file system, the
// running program, the journal. 0 after the refusal line.
int probe_guard_use(const PlatDiskFacts* facts, const wchar_t* journal);
// Opens the device exclusively; 0 after the refusal line.
int probe_guard_open(const PlatDiskFacts* facts, plat_file* out);
