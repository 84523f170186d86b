// The test file as a run of segment files: on a volume whose files stop below
// 4 GiB, one test spreads over NAME, NAME.001, NAME.002, ... in that order.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#include "engine/volume_geometry.h"
#include "platform/owned.h"

// Room for any path the dialogue accepts plus the longest suffix.
enum { SEGMENT_PATH_CHARS = PATH_CHARS + 16 };

// The largest size of one file on a FAT-family volume: 4 GiB - 1 byte.
#define FAT_FILE_LIMIT_BYTES 4294967295ull

// 1 for the FAT family (vfat, msdos, FAT, FAT32, ...), also when a user-space
// driver serves it ("fuse.vfat", "fuse.fusefat", "fuseblk.vfat"): every file
// there stops below 4 GiB.
int filesystem_caps_file_size(const wchar_t* filesystem);

// The size of every segment but the last: the largest multiple of both the
// alignment and the block below 4 GiB.
uint64_t segment_size_for(uint32_t alignment, uint32_t block);

// The segment size a run of target bytes uses there; 0 when one file holds it.
uint64_t segment_bytes_for_run(const wchar_t* filesystem, uint64_t target, uint32_t alignment,
                               uint32_t block);

// The path of segment index (0 is the named file itself, k > 0 is NAME.00k);
// 0 when it does not fit in cap characters.
int segment_path(const wchar_t* first, uint32_t index, wchar_t* out, size_t cap);

// The segments that exist of the test named first: NAME, then NAME.001 and on
// while they exist. 1 with their count and total size; 0 when NAME is missing
// or a size cannot be read (plat_last_error tells why).
int find_segments(const wchar_t* first, uint32_t* count, uint64_t* total_bytes);

// How many of NAME.001, NAME.002, ... exist, counted up to the first missing.
uint32_t segments_after(const wchar_t* first);

// Deletes NAME.<from>, NAME.<from+1>, ... up to the first that does not exist;
// 0 at the first one that exists and cannot be deleted (plat_last_error).
int delete_segments_from(const wchar_t* first, uint32_t from);

// One pass over the test, segment by segment; the open segment is owned here.
struct TestFile {
    const wchar_t* first_path;
    uint64_t segment_bytes; // 0: the whole test is the one named file
    int writing;            // created write-through, or opened to read
    uint32_t index;         // of the segment open now
    uint32_t error;         // the code of the last failed step
    OwnedFile file;
};

// Opens segment 0 (created or emptied when writing); 0 on failure.
int test_file_open(TestFile* f, const wchar_t* first_path, uint64_t segment_bytes, int writing);

// Cuts chunk so that it does not cross the end of the segment holding offset.
uint32_t test_file_cut(const TestFile* f, uint64_t offset, uint32_t chunk);

// What test_file_reach did.
enum TestFileStep { STEP_READY = 0, STEP_FLUSH_FAILED = 1, STEP_OPEN_FAILED = 2 };

// A write at offset refused for the file's size (code 223, or a write cut where
// a FAT file ends, 4 GiB - 1) on a volume not known to cap it: from now on the
// test of target bytes is in segments of offset bytes, and 1 says the write goes
// again into the next one. 0 for any other failure, when the test is in
// segments already, or when a segment file it needs exists already.
int test_file_split_at_limit(TestFile* f, uint64_t offset, uint32_t moved, uint32_t code,
                             uint64_t target);

// Makes the segment that holds offset the open one: a finished segment is
// flushed (when writing) and closed, the next opened. After a failed step no
// segment is open and error holds the code.
TestFileStep test_file_reach(TestFile* f, uint64_t offset);
