// The read-back verification of the test file against the pattern.
#pragma once

struct PhaseObserver;
struct TestConfig;
struct TestResults;

// Reads the test file back and compares it; returns verify_passed.
int run_verify_phase(const TestConfig* config, PhaseObserver* observer, TestResults* results);
