// The program's title and version, defined once.
#pragma once

#define DRIVE_TEST_TITLE "Tesselmark Drive Sustained Write Test"
#define DRIVE_TEST_VERSION "0.1.0"
