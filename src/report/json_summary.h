// The machine-readable summary of one finished run, as one JSON object.
#pragma once

#include <stdio.h>
#include <wchar.h>

struct TestConfig;
struct TestResults;
struct EventList;

struct JsonRun {
    const TestConfig* config;
    const TestResults* results;
    const EventList* events;
    int verification_ran;
    int exit_code;
};

// Writes the document to f (UTF-8, LF); 1 when it was written and flushed.
int json_write_summary(FILE* f, const JsonRun* run);
// Writes the document and closes f; a failure is reported on standard error
// and changes nothing else (the run's result stands).
void json_write_file(const wchar_t* path, FILE* f, const JsonRun* run);
// A JSON string of any text (paths), and a number with six decimals or null.
void json_put_text(FILE* f, const wchar_t* text);
void json_put_number(FILE* f, double value);
