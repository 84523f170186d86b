// The Windows error codes the program records, logs and prints, named once.
// Every OS reports its failures in these codes so a log means the same anywhere.
#pragma once

#include <stdint.h>

enum WinErrorCode : uint32_t {
    WINERR_NONE = 0,
    WINERR_FILE_NOT_FOUND = 2,
    WINERR_PATH_NOT_FOUND = 3,
    WINERR_ACCESS_DENIED = 5,
    WINERR_NOT_ENOUGH_MEMORY = 8, // also: a speed sample that cannot be stored
    WINERR_WRITE_PROTECT = 19,
    WINERR_NOT_READY = 21,
    WINERR_CRC = 23,         // data read back differs from the pattern
    WINERR_WRITE_FAULT = 29, // a write moved fewer bytes than asked
    WINERR_READ_FAULT = 30,  // a read moved fewer bytes than asked
    WINERR_GEN_FAILURE = 31,
    WINERR_NOT_SUPPORTED = 50,
    WINERR_FILE_EXISTS = 80,
    WINERR_INVALID_PARAMETER = 87,
    WINERR_DISK_FULL = 112,
    WINERR_BUSY = 170,
    WINERR_FILENAME_TOO_LONG = 206,
    WINERR_FILE_TOO_LARGE = 223,
    WINERR_DIRECTORY = 267,
    WINERR_IO_DEVICE = 1117,
};
