// The console session every command runs in, and the exit codes they share.
#pragma once

enum { EXIT_PASSED = 0, EXIT_CANCELLED = 1, EXIT_NO_LOG = 2, EXIT_FAILED = 3 };

// The console set-up every command starts with (console mode, control handler),
// and its undoing at the end (with the closing wait of a window of its own).
void session_begin(void);
void session_end(void);
