// Log in, levels and chart out: the steps shared by "drive-test chart" and a
// test run that was asked for its chart.
#include "report/chart.h"

#include <stdio.h>

#include "console/output.h"
#include "console/text.h"
#include "engine/volume_geometry.h"
#include "platform/platform.h"
#include "report/chart_svg.h"
#include "report/log_reader.h"
#include "report/output_file.h"
#include "report/speed_levels.h"

namespace {

const double GIB = 1073741824.0;

struct Memory {
    void* p;
    explicit Memory(size_t bytes) : p(plat_mem_alloc(bytes ? bytes : 1)) {}
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;
    ~Memory() { plat_mem_free(p); }
};

void path_error(const wchar_t* path, const char* what) {
    err_wide(path);
    err_printf(": %s\n", what);
}

// The write samples' levels by position: -1 without memory.
int find_levels(const DriveLog* log, ChartLevel out[SPEED_LEVELS_MAX]) {
    uint64_t writes = 0;
    for (uint64_t i = 0; i < log->row_count; i++) writes += log->rows[i].phase == LOG_PHASE_WRITE;
    Memory speeds_memory(writes * sizeof(double));
    Memory rows_memory(writes * sizeof(uint64_t));
    double* speeds = (double*)speeds_memory.p;
    uint64_t* row_of = (uint64_t*)rows_memory.p;
    if (!speeds || !row_of) return -1;
    uint64_t n = 0;
    for (uint64_t i = 0; i < log->row_count; i++) {
        if (log->rows[i].phase != LOG_PHASE_WRITE) continue;
        row_of[n] = i;
        speeds[n++] = log->rows[i].speed_mbps;
    }
    SpeedLevel levels[SPEED_LEVELS_MAX];
    int count = speed_levels(speeds, n, levels);
    for (int i = 0; i < count; i++) {
        const LogRow* first = &log->rows[row_of[levels[i].first]];
        out[i].start_byte = first->total_bytes - first->sample_bytes;
        out[i].end_byte = log->rows[row_of[levels[i].end - 1]].total_bytes;
        out[i].median_mbps = levels[i].median_mbps;
    }
    return count;
}

} // namespace

int chart_write(const wchar_t* log_path, const wchar_t* svg_path, const char* device) {
    FILE* in = plat_open_read_text(log_path);
    if (!in) {
        uint32_t code = plat_last_error();
        err_wide(log_path);
        err_printf(": ");
        print_win_error(L"cannot open the log", code);
        return 0;
    }
    // The chart must not land on the log it reads, whatever its path does meanwhile.
    PlatFileId log_id; // per call: drive threads chart at once
    if (plat_stream_identity(in, &log_id)) run_files_add(&log_id, "log", log_path);
    DriveLog log;
    char reason[LOG_REASON_BYTES];
    int read = log_read_stream(in, &log, reason);
    fclose(in);
    if (!read) {
        err_wide(log_path);
        err_printf(": not a drive-test log: %s\n", reason);
        return 0;
    }
    ChartLevel levels[SPEED_LEVELS_MAX];
    int count = find_levels(&log, levels);
    if (count < 0) {
        path_error(log_path, "not enough memory for the speed levels");
        return 0;
    }

    // Not through a symbolic link planted in the chart's place, nor onto a file
    // this command has open or reads.
    OutputFile file;
    if (!output_open(&file, svg_path, "chart", 0) && file.clash) {
        output_print_clash("chart", svg_path, file.clash);
        return 0;
    }
    FILE* out = file.handle != PLAT_NO_FILE ? output_stream(&file) : nullptr;
    if (!out) {
        uint32_t code = plat_last_error();
        err_wide(svg_path);
        err_printf(": ");
        print_win_error(L"cannot create the chart", code);
        return 0;
    }
    int written = chart_svg_write(out, &log, levels, count, device);
    if (fclose(out) != 0) written = 0;
    if (!written) {
        plat_delete_file(svg_path);
        path_error(svg_path, "the chart could not be written in full; nothing is kept");
        return 0;
    }

    for (int i = 0; i < count; i++) {
        out_printf("segment %d: %.2f-%.2f GiB, median %.1f MB/s\n", i + 1,
                   (double)levels[i].start_byte / GIB, (double)levels[i].end_byte / GIB,
                   levels[i].median_mbps);
    }
    if (count > 0) {
        out_printf("sustained write speed: %.1f MB/s (median of the last segment)\n",
                   levels[count - 1].median_mbps);
    } else {
        out_printf("sustained write speed: none (the log has no write samples)\n");
    }
    out_flush();
    return 1;
}
