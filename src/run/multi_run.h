// Several drives tested side by side: one run per directory, each in a thread
// of its own with its own records, log and verdict.
#pragma once

#include <wchar.h>

struct RunOptions;

// Stands for the drive's number in --log, --json and --chart ("all" in the
// summary JSON of every drive).
#define DRIVE_NUMBER_MARK L"{n}"

// The command line gave more than one --dir (and --yes); returns the exit code:
// 0 when every drive passed, else the highest code of a drive.
int multi_run_main(const RunOptions* options);

// The paths one drive writes (test file, log, JSON, chart), for a check that
// no two of them, of any drives, are one file. Unused entries are null.
enum { DRIVE_OUTPUTS = 4 };
struct TestConfig;
void drive_outputs(const TestConfig* config, const wchar_t* json, const wchar_t* chart,
                   const wchar_t* out[DRIVE_OUTPUTS]);
