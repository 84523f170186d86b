// "drive-test chart [-o OUT.svg] LOG.csv": the chart of a finished (or cut-off) run.
#pragma once

#include <wchar.h>

// The arguments after the word "chart"; returns the exit code: 0 written, 1 not.
int chart_command(int argc, const wchar_t* const* argv);
