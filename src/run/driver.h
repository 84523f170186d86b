// The test run driver: one run from the banner to the exit code.
#pragma once

enum { EXIT_PASSED = 0, EXIT_CANCELLED = 1, EXIT_NO_LOG = 2, EXIT_FAILED = 3 };

// The console set-up every command starts with, and its undoing at the end.
void session_begin(void);
void session_end(void);

// Runs one test from the banner to the final report; returns the exit code.
int drive_test_main(void);
