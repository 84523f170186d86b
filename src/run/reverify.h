// drive-test verify: reads a kept test file back against the pattern again.
#pragma once

#include <wchar.h>

// args are the words after "verify"; returns the exit code.
int reverify_command(int count, const wchar_t* const* args);
