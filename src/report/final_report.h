// The final result screen and the disposal of the test file.
#pragma once

struct TestConfig;
struct TestResults;

// Prints the final result screen, then deletes or keeps the test file.
void print_final_report(const TestConfig* config, const TestResults* results);

// The verdicts of the result screen, shared with the JSON summary.
const char* write_status(const TestResults* results);
const char* integrity_verdict(const TestResults* results);
// "PASS" or "FAIL"; null when the run has no required minimum.
const char* threshold_verdict(const TestConfig* config, const TestResults* results);
