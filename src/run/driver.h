// The test run driver: one run from the banner to the exit code.
#pragma once

#include "run/session.h"

struct RunOptions;

// Runs one test from the banner to the final report; returns the exit code.
// Without options every setting is asked.
int drive_test_main(const RunOptions* options = nullptr);
