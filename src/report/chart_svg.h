// The chart of a run as one self-contained SVG: speed against position in the file.
#pragma once

#include <stdint.h>
#include <stdio.h>

struct DriveLog;

// A speed level of the write phase, by position in the file.
struct ChartLevel {
    uint64_t start_byte;
    uint64_t end_byte;
    double median_mbps;
};

// Writes the whole SVG to out; 1 when every byte was handed to the stream. The
// title names device (UTF-8) when it is given and not empty.
int chart_svg_write(FILE* out, const DriveLog* log, const ChartLevel* levels, int level_count,
                    const char* device = nullptr);
