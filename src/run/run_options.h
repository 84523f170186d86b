// What the command line decided about one test run: the dialogue's answers and the extras.
#pragma once

#include <stdint.h>
#include <wchar.h>

// One entry per question of the dialogue; a question whose answer is not given
// is asked. A text answer is given when its pointer is set; an empty text takes
// the question's default, as an empty line does.
struct DialogueAnswers {
    const wchar_t* directory;
    const wchar_t* file_name;
    const wchar_t* log_path;
    int size_given;
    double size_gib;
    int duration_given;
    double duration_min;
    int min_speed_given;
    double min_speed_mbps;
    int verify_given;
    int verify;
    int delete_given;
    int delete_file;
    // Confirmations answered yes; unanswered questions take their defaults.
    int yes;
};

enum { MAX_DRIVES = 64 };

struct RunOptions {
    DialogueAnswers answers; // with several drives, directory is the first one
    // Every --dir in the order given; more than one tests the drives side by side.
    const wchar_t* directories[MAX_DRIVES];
    int drive_count;
    int quiet;                 // no dashboard frames
    const wchar_t* json_path;  // null: no JSON summary
    const wchar_t* chart_path; // null: no chart
};

// "drive-test verify [OPTION]... FILE".
struct VerifyOptions {
    const wchar_t* file;
    const wchar_t* log;  // null: the dialogue's default name
    const wchar_t* json; // null: no JSON summary
    int quiet;
    int yes;               // no START question
    uint64_t expect_bytes; // 0: take the file's size
};

// "drive-test chart [-o OUT.svg] LOG.csv".
struct ChartOptions {
    const wchar_t* log;
    const wchar_t* svg; // null: the log's name with .svg
};

// "drive-test list [--json PATH]".
struct ListOptions {
    const wchar_t* json; // null: no JSON
};

// "drive-test probe [OPTION]... DEVICE" and "drive-test probe --restore JOURNAL".
struct ProbeOptions {
    const wchar_t* device;
    const wchar_t* journal; // null: named after the device and the time, here
    const wchar_t* json;    // null: no JSON summary
    const wchar_t* restore; // the journal to put back; no device then
    int quiet;
    int yes; // no confirmation question
};
