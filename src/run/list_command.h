// "drive-test list": the disks a user could test, on screen and as JSON.
#pragma once

struct ListOptions;

// Prints the table (and writes the JSON when asked); returns the exit code.
int list_command(const ListOptions* options);
