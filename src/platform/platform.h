// The operating-system operations the program needs, named for what they do.
// One header, one implementation per OS (posix/*.cpp, platform_win32.cpp),
// chosen at link time; unit tests link a fake instead.
//
// Conventions: paths are wide strings (UTF-16 on Windows, UTF-32 elsewhere).
// Calls that can fail return 1 on success and 0 on failure; after a failure
// plat_last_error() gives the Windows error code of that failure, on every OS.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <wchar.h>

typedef intptr_t plat_file;
#define PLAT_NO_FILE ((plat_file)-1)

// Console event codes handed to the control handler (Windows values).
enum {
    PLAT_CTRL_C = 0,
    PLAT_CTRL_BREAK = 1,
    PLAT_CTRL_CLOSE = 2,
    PLAT_CTRL_LOGOFF = 5,
    PLAT_CTRL_SHUTDOWN = 6
};
typedef int (*plat_ctrl_handler)(uint32_t event);

typedef struct PlatLocalTime {
    int year;  // four digits
    int month; // 1..12
    int day;   // 1..31
    int hour;  // 0..23
    int minute;
    int second;
} PlatLocalTime;

// ---- texts that differ by platform ----
extern const char plat_banner_second_line[]; // ends in "\n\n"
extern const wchar_t plat_directory_prompt[];
extern const char plat_io_mode_line[]; // CSV header line 13, with newline
int plat_is_separator(wchar_t c);      // counts as a directory separator
extern const wchar_t plat_separator;   // appended to a directory answer
int plat_same_volume_root(const wchar_t* a, const wchar_t* b);

// ---- command line ----
// The program's arguments after its name, as wide strings that live as long as
// the process: on Windows from the wide command line (argc and argv are not
// used), elsewhere decoded from UTF-8. 0 when argument *count (from 1) is not
// valid UTF-8 text, or when memory runs out (*count is then 0).
int plat_args(int argc, char** argv, int* count, const wchar_t* const** args);

// ---- console and process ----
void plat_console_setup(void);            // UTF-8 in and out
intptr_t plat_stdout_handle(void);        // 0 when there is none
int plat_console_clear(intptr_t console); // 0 when not a console
void plat_console_home(intptr_t console); // cursor to column 0, row 0
void plat_console_erase_line(intptr_t console); // blanks from the cursor to the row's end
void plat_console_cursor_visible(intptr_t console, int visible);
void plat_console_restore(void); // undo terminal modes (idempotent)
void plat_set_ctrl_handler(plat_ctrl_handler handler, int add);
// The run is to end: a read of standard input in progress gives up (-1), and so
// does every later one. Safe to call from a signal handler or another thread.
void plat_end_waits(void);
// The summary and report are written: a handler that holds back the end of the
// process (Windows: close, log-off, shutdown) lets it go.
void plat_ctrl_release(void);
// 1 when the console window was opened for this process alone and its keyboard
// is standard input (Windows, started by a double click): it closes when we end.
int plat_console_closes_with_process(void);
int plat_key_waiting(void); // never blocks
int plat_key_read(void);    // one key code, no echo
// ---- standard streams (every byte of console output goes through here) ----
// The first call of the program: a closed standard stream is given the null
// device, so that no file opened later takes its place.
void plat_reopen_closed_std_streams(void);
void plat_write_stdout(const char* bytes, size_t count);
void plat_flush_stdout(void);
void plat_write_stderr(const char* bytes, size_t count);
// Reads up to cap bytes of standard input: the count, 0 at end of input, -1 on error.
long plat_read_stdin(char* buffer, size_t cap);

// ---- files ----
int plat_open_write_through(const wchar_t* path, plat_file* out); // create or truncate
int plat_open_read_sequential(const wchar_t* path, plat_file* out);
int plat_write(plat_file f, const void* buffer, uint32_t length, uint32_t* moved);
int plat_read(plat_file f, void* buffer, uint32_t length, uint32_t* moved);
int plat_flush(plat_file f);
void plat_close(plat_file f);
int plat_delete_file(const wchar_t* path);
// 1 when something exists at path (is_dir tells whether it is a directory).
int plat_file_attributes(const wchar_t* path, int* is_dir);
// The size in bytes of the file at path; 0 on failure (also for a directory).
int plat_file_size(const wchar_t* path, uint64_t* bytes);
// Like GetFullPathNameW: the length of the full path written (without its NUL),
// the size needed when cap is too small, or 0 on failure.
uint32_t plat_full_path(const wchar_t* path, wchar_t* out, uint32_t cap);
FILE* plat_open_read_text(const wchar_t* path); // "rb": an existing file, e.g. a log to chart
// An output opened to write but not emptied, so that it can still be given up
// unharmed: created (*created 1) when missing; exclusive: only a new file will do
// (an existing one fails with code 80). Refused when anything but a regular file
// is in its place, a symbolic link included.
int plat_open_output(const wchar_t* path, int exclusive, plat_file* out, int* created);
int plat_empty_file(plat_file f); // to 0 bytes, written from its start
// A binary stream over f, which it owns from then on; null (f closed) on failure.
FILE* plat_output_stream(plat_file f);
// What a path names, to tell whether two paths reach one file: the file's
// volume and number when it exists; its directory's and its final name when it
// is missing, or when that directory finds a name whatever its letter case
// (a FAT or exFAT volume served in user space gives each spelling its own number).
enum { PLAT_NAME_CHARS = 256 };
enum { PLAT_MISSING = 0, PLAT_REGULAR = 1, PLAT_LINK = 2, PLAT_OTHER = 3, PLAT_DIRECTORY = 4 };
typedef struct PlatFileId {
    uint64_t volume; // of the file; 0 with index 0 when it is missing
    uint64_t index;
    int kind;
    int named;     // dir_volume, dir_index and name hold the directory and the final name
    int fold_case; // named: the directory ignores letter case in names
    uint64_t dir_volume;
    uint64_t dir_index;
    wchar_t name[PLAT_NAME_CHARS];
} PlatFileId;
// follow: a symbolic link in the last place is followed (a read) or taken as
// itself (a write). 0 when it cannot be told, e.g. the directory is missing.
int plat_file_identity(const wchar_t* path, int follow, PlatFileId* out);
// The volume and number of an open file (named is 0): what a path named when
// it was opened, whatever became of the path since.
int plat_handle_identity(plat_file f, PlatFileId* out);
int plat_stream_identity(FILE* f, PlatFileId* out);
int plat_same_identity(const PlatFileId* a, const PlatFileId* b);
// 1 when the two paths, both followed, name one file; 0 otherwise or when unknown.
int plat_same_file(const wchar_t* a, const wchar_t* b);

// ---- journal files: plain cached I/O at explicit offsets ----
// Creates a new file for reading and writing (refused when anything is at
// path, a link included) and makes its name durable in its directory.
int plat_journal_create(const wchar_t* path, plat_file* out);
// Opens an existing regular file for reading.
int plat_journal_open_read(const wchar_t* path, plat_file* out);
// One transfer at offset, the file position unused; moved may be short.
int plat_write_at(plat_file f, uint64_t offset, const void* buffer, uint32_t length,
                  uint32_t* moved);
int plat_read_at(plat_file f, uint64_t offset, void* buffer, uint32_t length, uint32_t* moved);

// ---- volumes ----
int plat_volume_root(const wchar_t* path, wchar_t* root, uint32_t cap);
// 1 when the two existing directories lie on one volume (one device, whatever
// mount point or link leads there); 0 otherwise or when either cannot be read.
int plat_same_volume(const wchar_t* dir_a, const wchar_t* dir_b);
// The whole disk behind an existing directory (for a partition, its disk; for
// a volume over several disks, the first), one number per disk while it is
// attached; with no disk to tell (memory, network), a number for the volume
// itself that no disk has. 0 when the directory cannot be read or its volume
// has no identity of its own.
int plat_whole_disk_id(const wchar_t* dir, uint64_t* disk);
int plat_free_bytes_available(const wchar_t* root, uint64_t* bytes);
int plat_logical_sector_bytes(const wchar_t* root, uint32_t* bytes);
int plat_physical_sector_bytes(const wchar_t* root, uint32_t* bytes);
int plat_filesystem_name(const wchar_t* root, wchar_t* name, uint32_t cap);

// ---- identity of the disk behind a directory or device ----
// What the system tells about a disk, for the user to know which one was
// tested. Whatever cannot be learned stays unknown: a text is empty, a number
// has its _known flag at 0 (all zero bytes is a record that knows nothing).
// Texts are UTF-8 with every control character replaced by '?'.
enum { PLAT_ID_CHARS = 128, PLAT_ID_PATH_CHARS = 512, PLAT_DISK_MOUNTS = 8 };
typedef struct PlatUsbIdentity {
    int known;       // a USB device lies between the disk and the computer
    int ids_known;
    uint16_t vendor_id;
    uint16_t product_id;
    char manufacturer[PLAT_ID_CHARS];
    char product[PLAT_ID_CHARS];
    char serial[PLAT_ID_CHARS];
    double speed_mbps;  // negotiated with the port; 0: unknown
    char version[16];   // the USB version the device supports, e.g. "3.20"
} PlatUsbIdentity;
// An SD card's identification (CID) and specific-data (CSD) registers.
typedef struct PlatCardIdentity {
    int known;  // the CID was read and decoded
    uint8_t manufacturer_id;
    uint8_t oem_id[2];  // raw bytes: printable or not is itself a sign
    uint8_t name[5];
    uint8_t revision;   // two BCD digits, major.minor
    uint32_t serial;
    int month;          // as the card says, 1..12 when sane
    int year;
    int csd_known;
    uint64_t csd_capacity_bytes;
} PlatCardIdentity;
typedef struct PlatDeviceIdentity {
    char path[PLAT_ID_PATH_CHARS];  // the disk's device: /dev/sdb, \\.\PhysicalDrive2
    char bus[16];  // usb, mmc, nvme, sata, scsi, virtio, loop, other
    char vendor[PLAT_ID_CHARS];
    char model[PLAT_ID_CHARS];  // a loop device: its backing file
    char revision[PLAT_ID_CHARS];
    char serial[PLAT_ID_CHARS];
    int size_known;
    uint64_t size_bytes;
    int removable_known;
    int removable;
    int rotational_known;
    int rotational;
    PlatUsbIdentity usb;
    PlatCardIdentity card;
} PlatDeviceIdentity;
// The disk that holds an existing directory. Never fails: out knows what could be learned.
void plat_directory_identity(const wchar_t* dir, PlatDeviceIdentity* out);
// The disk a device path names (a partition names its disk), as above.
void plat_device_identity(const wchar_t* device_path, PlatDeviceIdentity* out);
// A disk a user could test, with the mount points of its partitions.
typedef struct PlatDiskEntry {
    PlatDeviceIdentity id;
    int mount_count;
    char mounts[PLAT_DISK_MOUNTS][PLAT_ID_PATH_CHARS];
} PlatDiskEntry;
// Fills up to cap entries, removable disks first; the count filled (0 when none is known).
int plat_list_disks(PlatDiskEntry* out, int cap);

// ---- memory ----
void* plat_alloc_pages(size_t bytes); // page-aligned, zeroed; null on failure
void plat_free_pages(void* p, size_t bytes);
void* plat_mem_realloc(void* p, size_t bytes); // heap: sample arrays, median copy
void* plat_mem_alloc(size_t bytes);
void plat_mem_free(void* p);

// ---- time ----
int64_t plat_perf_counter(void);
int64_t plat_perf_frequency(void);
int plat_local_time(PlatLocalTime* out);
void plat_sleep_ms(uint32_t ms);

// ---- CPUs and threads ----
typedef intptr_t plat_thread;
typedef intptr_t plat_semaphore;
typedef void (*plat_thread_body)(void* arg);
uint32_t plat_cpu_count(void); // CPUs this process may run on; at least 1
// CPU seconds the calling thread has used (user and kernel); 0 where unknown.
double plat_thread_cpu_seconds(void);
int plat_thread_start(plat_thread_body body, void* arg, plat_thread* out);
void plat_thread_join(plat_thread thread); // waits for it to end and frees it
void plat_thread_yield(void); // lets another thread that is ready run on this CPU
int plat_semaphore_create(plat_semaphore* out); // count 0
void plat_semaphore_post(plat_semaphore s);
void plat_semaphore_wait(plat_semaphore s);
void plat_semaphore_destroy(plat_semaphore s);

// ---- errors ----
uint32_t plat_last_error(void);
// The system's message for a Windows error code; 0 when there is none.
int plat_error_message(uint32_t code, wchar_t* out, size_t cap);
