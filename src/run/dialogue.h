// The configuration dialogue that fills a TestConfig.
#pragma once

struct TestConfig;

enum { DIALOGUE_CANCELLED = 0, DIALOGUE_CONFIRMED = 1 };

int run_configuration_dialogue(TestConfig* config);
// drive-test-YYYYMMDD-HHMMSS.csv for the local time now (out holds PATH_CHARS).
void default_log_name(wchar_t* out);
