// The two phases of one test, as a single run and every drive side by side do them.
#pragma once

struct PhaseObserver;
struct TestConfig;
struct TestResults;

// Runs before the verification: a stop request of the write phase must not end it.
typedef void (*phase_turn)(void* arg);

// Writes the test file, then reads it back when that is due. A file-size limit
// met on the way split the test: config takes its segments, so that the
// verification and the deletion follow them. Returns the exit code;
// *verification_ran tells whether the verification ran.
int run_test_phases(TestConfig* config, PhaseObserver* observer, TestResults* results,
                    phase_turn before_verify, void* arg, int* verification_ran);
