// The CSV log: header, column line, rows, event lines, summary block.
#pragma once

#include <stdint.h>
#include <stdio.h>

struct SampleSummary;
struct TestConfig;
struct TestResults;

void csv_write_header(FILE* log, const TestConfig* config);
int csv_sample(FILE* log, const char* phase, const SampleSummary& stats, double elapsed_s,
               uint64_t total_bytes, uint64_t sample_bytes, double sample_duration_s,
               double threshold_mbps, uint64_t error_count);
void csv_event(FILE* log, const char* event, uint32_t error_code, uint64_t offset);
void csv_write_summary(FILE* log, const TestConfig* config, const TestResults* results);
