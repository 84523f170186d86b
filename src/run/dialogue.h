// The configuration dialogue that fills a TestConfig.
#pragma once

struct TestConfig;
struct DialogueAnswers;

enum { DIALOGUE_CANCELLED = 0, DIALOGUE_CONFIRMED = 1 };

// Asks every question the answers leave open (null: all of them).
int run_configuration_dialogue(TestConfig* config, const DialogueAnswers* answers = nullptr);
// drive-test-YYYYMMDD-HHMMSS.csv for the local time now (out holds PATH_CHARS).
void default_log_name(wchar_t* out);
