// What the write and the verification loops share: the chunk rule and the
// once-a-second sample window.
#pragma once

#include <stdint.h>

#include "engine/phase_observer.h"
#include "engine/samples.h"

// The next transfer: at most one block, cut to a whole number of alignment
// units; 0 when less than one unit remains.
inline uint32_t next_chunk(uint64_t done, uint64_t total, uint32_t block, uint32_t alignment) {
    uint64_t remaining = total - done;
    uint32_t chunk = remaining < block ? (uint32_t)remaining : block;
    if (alignment != 0) {
        chunk -= chunk % alignment;
    }
    return chunk;
}

// The bytes and time of the sample that is open now.
struct SampleWindow {
    double opened_at; // qpc seconds when the previous sample closed
    uint64_t bytes;
    double seconds;   // write: time inside the calls; verify: unused (wall time)
};

// Adds speed to set and tells the observer; 0 when the set cannot grow.
int close_sample(PhaseObserver* observer, SampleSet* set, PhaseSample sample);
