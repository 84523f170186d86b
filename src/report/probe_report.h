// The quick probe's verdict in plain words, and its JSON summary.
#pragma once

#include "platform/platform.h"

#include <stdint.h>
#include <stdio.h>
#include <wchar.h>

struct ProbeResult;
struct ProbeRestore;

struct ProbeSummary {
    const PlatDeviceIdentity* device; // its path is the device probed
    uint64_t announced_bytes;
    const ProbeResult* result;
    int judged;                // the probe ran to its verdict (not stopped)
    double seconds;
    int restored;              // the device holds its original content again
    const wchar_t* journal;
};

// "Device    : PATH (model, serial, bus)": the identity as far as it is known.
void probe_print_device(const PlatDeviceIdentity* id);
// The verdict, what it means and what to do; nothing about the restore.
void probe_print_verdict(const ProbeSummary* s);
// The restore's outcome, with the journal to run --restore on when it fell short.
void probe_print_restore(const ProbeRestore* r, int restored, const wchar_t* journal);
// Writes the document and closes f; 0 (after a line on standard error) when it
// could not be written.
int probe_json_write_file(const wchar_t* path, FILE* f, const ProbeSummary* s);
