// An output of a command (log, JSON summary, chart): opened without emptying
// it and held, by the file its handle reached, against every file the command
// has open or reads, before a byte of it changes.
#pragma once

#include <stdio.h>
#include <wchar.h>

#include "engine/run_files.h"
#include "platform/platform.h"

struct OutputFile {
    plat_file handle = PLAT_NO_FILE;
    int created = 0;              // this open made it: given up, it goes again
    const wchar_t* path = nullptr;
    const RunFile* clash = nullptr; // the command's file it turned out to be

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { drop(); }
    // Closes an output not taken; removes it when this open made it.
    void drop();
};

// Opens (creates when missing) path, exclusive: a new file only. 1 when open
// and none of the command's files; it has then joined them. 0 when the open
// failed (plat_last_error), or when it is one of them: f->clash names it, and
// what the open created is gone, a file that was there already left as it was.
int output_open(OutputFile* f, const wchar_t* path, const char* what, int exclusive);

// The open output emptied and turned into a stream that owns its handle; null
// when that fails (plat_last_error).
FILE* output_stream(OutputFile* f);

// "Refused: the chart path 'X' names the same file as the log path 'Y'."
void output_print_clash(const char* what, const wchar_t* path, const RunFile* clash);
