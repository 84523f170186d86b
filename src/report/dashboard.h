// Live dashboards, redrawn in place once per sample.
#pragma once

#include <stdint.h>

struct SampleSet;
struct SampleSummary;

void draw_write_dashboard(uint64_t written, uint64_t target, double elapsed_s, double active_s,
                          double current_mbps, const SampleSet* set, const SampleSummary& stats,
                          double threshold_mbps, uint64_t write_errors);
void draw_speed_graph(const SampleSet* set, double threshold_mbps);
void draw_verify_dashboard(uint64_t verified, uint64_t total, double elapsed_s, double current_mbps,
                           const SampleSummary& stats, uint64_t mismatch_blocks,
                           uint64_t read_errors);
