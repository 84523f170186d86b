// Facts of the target volume that every transfer of the test depends on.
#pragma once

#include <stdint.h>
#include <wchar.h>

enum { PATH_CHARS = 32768, FILESYSTEM_CHARS = 64 };

struct VolumeGeometry {
    wchar_t volume_root[PATH_CHARS];
    uint64_t available_free_bytes;
    uint32_t logical_sector_bytes;
    uint32_t physical_sector_bytes;
    uint32_t alignment_bytes;
    uint32_t block_size_bytes;
    wchar_t filesystem[FILESYSTEM_CHARS];
};
