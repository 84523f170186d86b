// The test run driver: one run from the banner to the exit code.
#pragma once

enum { EXIT_PASSED = 0, EXIT_CANCELLED = 1, EXIT_NO_LOG = 2, EXIT_FAILED = 3 };

// The console set-up every command starts with, and its undoing at the end.
void session_begin(void);
void session_end(void);
struct RunOptions;

// Runs one test from the banner to the final report; returns the exit code.
// Without options every setting is asked.
int drive_test_main(const RunOptions* options = nullptr);
