// Details of the POSIX platform layer that its own tests look at.
#pragma once

#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <wchar.h>

#include "platform/platform.h"

// The Windows error code an errno value stands for (ENOENT gives 2 here;
// the file calls turn it into 3 when a parent directory is missing).
uint32_t plat_posix_error_code(int err);
// Records err as the last error; from_direct_open marks a refused O_DIRECT open.
void plat_posix_set_error(int err, int from_direct_open);

// Records err for a call on path; ENOENT becomes 3 when the parent directory is missing.
void posix_set_path_error(int err, const char* path, int from_direct_open);
// The program's own text for the codes it raises itself (8, 23, 29, 30); null otherwise.
const char* posix_program_code_text(uint32_t code);
// The message for a code: the program's own, or strerror of the errno behind it; null if none.
const char* posix_code_text(uint32_t code);

// Paths cross to the kernel as UTF-8; 0 (error recorded) when one cannot be encoded.
// Opens path with flags (and 0666 when it creates), refusing at once anything
// but a regular file: a FIFO or device in its place would hold the open.
int posix_open_regular(const wchar_t* path, int flags, plat_file* out);
int posix_path_to_utf8(const wchar_t* path, char out[PATH_MAX]);
// 0 when text is not valid UTF-8 or does not fit in cap wide characters.
int posix_utf8_to_wide(const char* text, wchar_t* out, size_t cap);

// The identity readers over a sysfs tree rooted at sys_root ("/sys" in the
// product) and a mountinfo file ("/proc/self/mountinfo"), so tests give their own.
struct PlatDeviceIdentity;
struct PlatDiskEntry;
void posix_identity_of_number(const char* sys_root, const char* mountinfo, unsigned major_id,
                              unsigned minor_id, PlatDeviceIdentity* out);
// A block device node names its own number, anything else the device it lies on.
void posix_identity_of_path(const char* sys_root, const char* mountinfo, const char* path,
                            PlatDeviceIdentity* out);
int posix_list_disks(const char* sys_root, const char* mountinfo, PlatDiskEntry* out, int cap);

// The parts they share: sysfs attributes, the identity a disk's directory
// gives, and the SD card registers under a card's device directory.
struct PlatCardIdentity;
enum { POSIX_ATTR_BYTES = 512 }; // sysfs attributes are short; a longer one is not one we read
void posix_copy_text(char* out, size_t cap, const char* in);
// dir/name trimmed, as valid UTF-8 with controls shown as '?'; 1 when not empty.
int posix_read_attr(const char* dir, const char* name, char* out, size_t cap);
int posix_read_u64(const char* dir, const char* name, uint64_t* value);
int posix_attr_exists(const char* dir, const char* name);
int posix_starts_with(const char* text, const char* prefix);
void posix_fill_disk_identity(const char* sys_root, const char* disk, PlatDeviceIdentity* id);
void posix_read_sd_card(const char* dev, PlatCardIdentity* card);

// The source of the mount that holds the existing absolute path resolved on
// device dev (for a block device, its node); 0 when no mount holds it.
int posix_mount_source(const char* resolved, dev_t dev, char* source, size_t cap);
// ---- whole disks (sysfs is the root of the sysfs tree, "/sys" for the real one) ----
#include <sys/types.h>
struct PlatDiskFacts;
struct PlatDiskUse;
int posix_read_line(const char* path, char* out, size_t cap);
// The sysfs directory of a block device (resolved: a partition's lies in its disk's).
int posix_block_dir(const char* sysfs, dev_t dev, char out[PATH_MAX]);
int posix_is_partition_dir(const char* dir);
void posix_dev_path(const char* name, char out[PATH_MAX]);
int posix_disk_facts(const char* sysfs, const wchar_t* name, PlatDiskFacts* out);
// mountinfo and swaps are the paths of /proc/self/mountinfo and /proc/swaps.
int posix_disk_use(const char* sysfs, const char* mountinfo, const char* swaps,
                   const wchar_t* disk, const wchar_t* other_path, PlatDiskUse* out);
