// A run's log turned into its chart: the speed levels on standard output, the SVG in a file.
#pragma once

#include <wchar.h>

// Reads the CSV log at log_path, prints the write speed levels ("segment N: ...")
// and the sustained write speed, and writes the SVG chart to svg_path. 1 on
// success; 0 after a message on standard error, with no chart file left behind.
// device: the title's name of the disk (model, serial, bus), null when unknown.
int chart_write(const wchar_t* log_path, const wchar_t* svg_path, const char* device = nullptr);
