// The configuration dialogue that fills a TestConfig.
#pragma once

struct TestConfig;
struct DialogueAnswers;

enum { DIALOGUE_CANCELLED = 0, DIALOGUE_CONFIRMED = 1 };

// Asks every question the answers leave open (null: all of them).
int run_configuration_dialogue(TestConfig* config, const DialogueAnswers* answers = nullptr);
