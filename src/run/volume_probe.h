// The volume probe and the size rule: geometry of the target volume, bytes to write.
#pragma once

#include "engine/volume_geometry.h"

struct TestConfig;

enum { MIN_ALIGNMENT_BYTES = 4096, MAX_ALIGNMENT_BYTES = 1073741824, BLOCK_TARGET_BYTES = 8388608 };
#define SAFETY_RESERVE_BYTES 268435456ull

uint32_t alignment_for(uint32_t logical, uint32_t physical);
uint32_t block_size_for(uint32_t alignment);
// 1 on success (geometry filled, lines printed); 0 after reporting the failure.
int probe_volume(const wchar_t* target_dir, VolumeGeometry* geometry);
// Copies the volume facts every transfer depends on into the run's settings.
void config_take_geometry(TestConfig* config, const VolumeGeometry* geometry);
// 1 with *target_bytes set; 0 after printing the reason.
int resolve_test_size(double gib, const VolumeGeometry* geometry, uint64_t* target_bytes);
