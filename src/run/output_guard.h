// Nothing a command keeps is overwritten: every path it writes is held against
// every path it reads or writes, by the file the paths name, before anything
// is created, opened for writing, truncated or deleted.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <wchar.h>

struct TestConfig;

enum GuardUse {
    GUARD_READ = 0,      // read only, followed through a link
    GUARD_READ_FILE = 1, // the same, and it must be a regular file
    GUARD_WRITE = 2,     // created, emptied or deleted; a link in its place is not followed
    GUARD_TEST_FILE = 3  // the same, but a directory there is left to fail its own open
};

struct GuardPath {
    const wchar_t* path; // null: not used this time
    const char* what;    // "log", "JSON summary", ...
    GuardUse use;
    uint32_t segments;   // PATH.001 ... PATH.<segments> are used the same way
};

// 1 when no written path names a file that another path of the list names and
// no existing path is of the wrong kind (a written one a FIFO, a device or a
// directory); else 0 after one line that names the path(s).
int output_guard(const GuardPath* paths, int count);

// The segment files a test run may create, and those of an earlier run it deletes.
uint32_t guard_run_segments(const TestConfig* c);

// The paths of a test run, of drive-test verify, of drive-test chart.
int guard_test_run(const TestConfig* c, const wchar_t* json, const wchar_t* chart);
int guard_reverify(const TestConfig* c, const wchar_t* json);
int guard_chart(const wchar_t* log, const wchar_t* svg);

// The files a command reads join the command's files: a kept test file and its
// segments, so that no output opened later is one of them.
void guard_note_inputs(const TestConfig* c);

// Opens the log and the JSON summary (when asked for) once every output given,
// the chart too, is known to be possible, each held by its handle against the
// command's files; an existing one is emptied only when all are open, so that a
// refused one leaves every file as it was. A log of the default name is a new
// file: a name taken gets a suffix (-2, -3, ...) and c->log_path says which.
// 0 with the files open, else the exit code after a message.
int open_outputs(TestConfig* c, const wchar_t* json_path, const wchar_t* chart_path, FILE** log,
                 FILE** json);
