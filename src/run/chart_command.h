// "drive-test chart [-o OUT.svg] LOG.csv": the chart of a finished (or cut-off) run.
#pragma once

#include "run/run_options.h"

// The options the command line settled; returns the exit code: 0 written, 1 not.
int chart_command(const ChartOptions* options);
