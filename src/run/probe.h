// drive-test probe: is a whole device fake? A quick probe that puts every byte back.
#pragma once

#include "run/run_options.h"

// The options the command line settled; returns the exit code.
int probe_command(const ProbeOptions* options);
