// The command line: subcommand dispatch and the options of a test run.
#pragma once

#include "run/run_options.h"

enum CommandAction {
    COMMAND_RUN = 0,
    COMMAND_HELP,
    COMMAND_VERSION,
    COMMAND_VERIFY, // "drive-test verify ...": the options in verify
    COMMAND_CHART,  // "drive-test chart ...": the options in chart
    COMMAND_BAD,    // the fault and the hint are already on standard error
    COMMAND_LIST,   // "drive-test list ...": the options in list
    COMMAND_PROBE   // "drive-test probe ...": the options in probe
};

struct CommandLine {
    CommandAction action;
    CommandAction command; // COMMAND_RUN, _VERIFY, _CHART or _LIST: whose options, whose --help
    RunOptions run;
    VerifyOptions verify;
    ChartOptions chart;
    ListOptions list;
    ProbeOptions probe;
};

// Parses the arguments after the program name, the subcommands' with the same
// rules and messages as a test run's; every value must pass the rule the
// dialogue applies to the same answer's form (numbers, non-empty text).
CommandAction parse_command_line(int count, const wchar_t* const* args, CommandLine* out);
// The whole program for these arguments; returns the exit code.
int command_line_main(int count, const wchar_t* const* args);
// The usage text of --help.
void print_usage(void);
