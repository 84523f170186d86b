// The results of one test run, filled by the two phases.
#pragma once

#include "engine/damage_map.h"
#include "engine/samples.h"

struct TestResults {
    uint64_t bytes_written;
    uint64_t bytes_verified;
    uint64_t write_errors;
    uint64_t verification_errors;
    uint64_t verification_mismatch_blocks;
    double wall_elapsed_sec;
    double write_active_sec;
    double verify_elapsed_sec;
    int user_stopped;
    int write_failed;
    int verify_failed;
    uint32_t last_error;
    uint64_t segment_bytes; // the write phase's segments; a file-size limit met can set them
    SampleSet write_samples;
    SampleSet read_samples;
    int write_stopped; // a stop request or the duration limit ended the write phase
    DamageMap damage; // what the differing chunks held
};
