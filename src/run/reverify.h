// drive-test verify: reads a kept test file back against the pattern again.
#pragma once

#include "run/run_options.h"

// The options the command line settled; returns the exit code.
int reverify_command(const VerifyOptions* options);
