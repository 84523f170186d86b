// How the probe reaches the device: a record of function pointers that the
// command fills with the platform's raw-device calls and the unit tests with
// an in-memory fake device.
#pragma once

#include <stdint.h>

// Every offset and length the engine passes is a multiple of the device's
// sector size (it uses 4096-byte aligned requests, the last spot excepted,
// which ends at the device's end) and every buffer is page-aligned (it comes
// from plat_alloc_pages). A request never exceeds PROBE_MAX_REQUEST bytes.
const uint32_t PROBE_MAX_REQUEST = 8u << 20;

struct ProbeIo {
    void* context;
    // The whole length or failure: 1 on success; 0 with *error a Windows code
    // (a short transfer is the callee's to turn into a failure).
    int (*read_at)(void* context, uint64_t offset, void* buffer, uint32_t length,
                   uint32_t* error);
    // Returns once the data is on the medium (write-through device handle).
    int (*write_at)(void* context, uint64_t offset, const void* buffer, uint32_t length,
                    uint32_t* error);
};
