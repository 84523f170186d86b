// The damage map as people and programs read it: the block after the final
// report, the log's damage lines and the verdict in plain words.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

struct DamageMap;
struct DamageVerdict;
struct TestResults;

// The verdict of the run's damage map.
DamageVerdict damage_verdict_of(const TestResults* results);
// The verdict in one sentence, e.g. that data written past 256.00 MiB landed over the start.
void damage_verdict_text(char* out, size_t size, const DamageVerdict* v);
// The block after the final report; prints nothing when no sector was damaged.
void print_damage_block(const TestResults* results);
// The "# damage_...=" lines after the log's summary; none when no sector was damaged.
void csv_write_damage(FILE* log, const TestResults* results);
