// The configuration dialogue that fills a TestConfig.
#pragma once

struct TestConfig;

enum { DIALOGUE_CANCELLED = 0, DIALOGUE_CONFIRMED = 1 };

int run_configuration_dialogue(TestConfig* config);
