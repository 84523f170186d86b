#pragma once

#include <stdio.h>

struct TestConfig;
struct TestResults;

// Reads the test file back and compares it; returns verify_passed.
int run_verify_phase(const TestConfig* config, FILE* log, TestResults* results);
