// Reads a drive-test CSV log back into a plain record: header, rows, events, summary.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "engine/damage_map.h"

enum { LOG_PHASE_WRITE = 0, LOG_PHASE_VERIFY = 1 };
// Texts longer than their field are cut at a character boundary and end in "...".
enum { LOG_TEXT_BYTES = 512, LOG_EVENT_NAME_BYTES = 48, LOG_EXTRA_LINES = 4, LOG_REASON_BYTES = 320 };

struct LogRow {
    uint64_t total_bytes; // written or verified so far, this sample included
    uint64_t sample_bytes;
    double speed_mbps;
    int phase;          // LOG_PHASE_*
    int threshold_pass; // 0 for a write sample below the required minimum
};

struct LogEvent {
    char name[LOG_EVENT_NAME_BYTES];
    uint32_t error_code;
    uint64_t offset;
};

// The summary block's values; have_summary is 0 for a run that never closed its log.
struct LogSummary {
    uint64_t bytes_written;
    double wall_elapsed_sec;
    double write_median_mbps;
    uint64_t threshold_below_samples;
    int threshold_pass;
    uint64_t write_errors;
    int verification_requested;
    uint64_t bytes_verified;
    uint64_t verification_mismatch_blocks;
    uint64_t verification_errors;
    int user_stopped;
};

// The "# damage_...=" lines after the summary; present is 0 for a log without them.
struct LogDamage {
    int present;
    uint64_t kind_bytes[SECTOR_KIND_COUNT];
    uint64_t first_offset;
    int wraps;
    uint64_t wrap_bytes;
    int has_capacity;
    uint64_t capacity_bytes;
    uint32_t finding;           // a DamageFinding; from the claims for a log without one
    int64_t displacement_bytes; // of a displaced finding
    uint64_t flipped_bits;
    DamageRegion* regions; // at most DAMAGE_REGION_CAP, as the writer caps them
    uint32_t region_count;
    int regions_truncated;
};

struct DriveLog {
    char program[LOG_TEXT_BYTES];       // title and version, from the first line
    char started_local[LOG_TEXT_BYTES]; // as written, "YYYY-MM-DDTHH:MM:SS" or "unknown"
    char target_path[LOG_TEXT_BYTES];
    char volume_root[LOG_TEXT_BYTES];
    char filesystem[LOG_TEXT_BYTES];
    uint64_t target_bytes;
    double minimum_required_mbps;
    uint64_t block_size_bytes;
    // "key=value" comment lines this reader does not know, shown as they are.
    char extra[LOG_EXTRA_LINES][LOG_TEXT_BYTES];
    int extra_count;

    LogRow* rows = nullptr; // in file order, both phases
    uint64_t row_count = 0;
    uint64_t row_capacity = 0;
    LogEvent* events = nullptr;
    uint64_t event_count = 0;
    uint64_t event_capacity = 0;

    int have_summary;
    LogSummary summary;
    LogDamage damage;

    DriveLog();
    DriveLog(const DriveLog&) = delete;
    DriveLog& operator=(const DriveLog&) = delete;
    ~DriveLog();
};

// 1 when the stream holds a whole drive-test log (its summary may be missing);
// 0 with reason set (e.g. "line 14: ..."), leaving log to be discarded.
int log_read_stream(FILE* in, DriveLog* log, char reason[LOG_REASON_BYTES]);
