// The files one command has open, reads or writes, by identity: nothing it
// creates, empties or deletes later may be one of them, whatever path leads
// there (a link made since, a short name, a renamed directory).
#pragma once

#include <stdint.h>
#include <wchar.h>

#include "platform/platform.h"

struct RunFile {
    uint64_t volume;
    uint64_t index;
    const char* what;     // "log", "test file", ...
    const wchar_t* path;  // as the user gave it; lives as long as the command
};

// Forgets every file: at the start of a command.
void run_files_clear(void);
// Adds an existing file (an identity with a kind other than PLAT_MISSING).
// Drive threads may add and look up at once; only the main thread clears or
// goes back to a mark, while no drive thread runs.
void run_files_add(const PlatFileId* id, const char* what, const wchar_t* path);
// Adds the file path names now, followed through a link: a file the command reads.
void run_files_add_path(const wchar_t* path, const char* what);
// The file of the command that id names; null when none.
const RunFile* run_files_match(const PlatFileId* id);
// The count now, and the files added since such a mark forgotten again.
int run_files_mark(void);
void run_files_back_to(int mark);
