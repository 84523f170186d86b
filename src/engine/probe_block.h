// The probe's self-describing blocks: every 512-byte sector names the device
// offset it was written for and the probe run that wrote it, so whatever a
// drive hands back tells where it came from and whether it is ours at all.
#pragma once

#include <stdint.h>

#include "engine/damage_map.h"

const uint32_t PROBE_SECTOR_BYTES = 512;

// Fills length bytes (a multiple of 512) with this run's blocks for the
// device range starting at offset (a multiple of 512).
void probe_fill(void* buffer, uint64_t salt, uint64_t offset, uint32_t length);

// 1 when the sector is an intact block of the run with this salt; *source is
// then the offset it was written for. User data, another run's block or a
// damaged block give 0.
int probe_decode(const void* sector, uint64_t salt, uint64_t* source);

// The sector read back at offset, judged against the block written there:
// intact, zero, erased, flipped (fewer than 8 bits differ), misplaced (an
// intact block of this run written for another offset; displacement is its
// source minus offset) or corrupted (anything else, e.g. the old content).
SectorClass probe_classify(const void* sector, uint64_t salt, uint64_t offset);

// A 64-bit checksum of length bytes, seeded (also the journal's).
uint64_t probe_checksum(const void* data, uint64_t length, uint64_t seed);

// A fresh random salt for a run.
uint64_t probe_new_salt(void);
