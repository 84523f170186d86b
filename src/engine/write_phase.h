#pragma once

#include <stdio.h>

struct TestConfig;
struct TestResults;

// Writes the test file; fills the write fields of results (zero on entry).
void run_write_phase(const TestConfig* config, FILE* log, TestResults* results);
