// The screen of several drives tested side by side: one line per drive redrawn
// in place, and the summary table (on screen and as one JSON) at the end.
#pragma once

#include <stdio.h>
#include <wchar.h>

struct DriveStatus;
struct TestConfig;
struct TestResults;

struct DriveRow {
    int number;
    const wchar_t* directory;
    const DriveStatus* status;
    const TestConfig* config;   // null: the drive never got past its configuration
    const TestResults* results;
    const wchar_t* json_path;   // null: none asked for, or it could not be created
};

// One frame from the top-left corner: a heading and one fixed-width line per drive.
void drive_table_frame(const DriveRow* rows, int count);
// The summary table, after the drives' own reports.
void drive_table_summary(const DriveRow* rows, int count);
// The summary as one JSON document, closed at the end; 1 when written.
int drive_table_json(FILE* f, const DriveRow* rows, int count, int exit_code);
