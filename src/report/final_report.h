// The final result screen and the disposal of the test file.
#pragma once

struct TestConfig;
struct TestResults;

// Prints the final result screen, then deletes or keeps the test file.
void print_final_report(const TestConfig* config, const TestResults* results);
