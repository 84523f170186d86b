// The settings of one test run: filled by the dialogue, read-only afterwards.
#pragma once

#include "engine/volume_geometry.h"
#include "platform/platform.h"

// A test run writes and reads back; a re-verification only reads a kept file.
enum RunKind { RUN_TEST = 0, RUN_REVERIFY = 1 };

struct TestConfig {
    wchar_t target_dir[PATH_CHARS];
    wchar_t file_name[PATH_CHARS];
    wchar_t target_path[PATH_CHARS];
    wchar_t log_path[PATH_CHARS];
    int log_default_name; // the program chose the log's name: it is made new, never reused
    wchar_t volume_root[PATH_CHARS];
    uint64_t target_bytes;
    double duration_limit_s;
    double minimum_required_mbps;
    uint32_t logical_sector_bytes;
    uint32_t physical_sector_bytes;
    uint32_t alignment_bytes;
    uint32_t block_size_bytes;
    uint64_t segment_bytes; // 0: one test file; else every segment but the last
    wchar_t filesystem[FILESYSTEM_CHARS];
    int verification_requested;
    int delete_after_test;
    RunKind run_kind;
    uint32_t drives_side_by_side; // tested at once with this one, itself included; 0 or 1: alone
    PlatDeviceIdentity device;    // the disk behind the target directory, as far as known
};
