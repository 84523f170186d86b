// The timed write of the test file: the measurement itself.
#pragma once

struct PhaseObserver;
struct TestConfig;
struct TestResults;

// Writes the test file; fills the write fields of results (zero on entry) and
// tells observer of every sample, event and failure.
void run_write_phase(const TestConfig* config, PhaseObserver* observer, TestResults* results);
