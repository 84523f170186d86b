// Finds the volume that holds the target directory and settles the I/O geometry.
#include "run/volume_probe.h"

#include "engine/test_config.h"

#include <string.h>

#include "console/output.h"
#include "console/text.h"
#include "platform/platform.h"

uint32_t alignment_for(uint32_t logical, uint32_t physical) {
    uint32_t need =
        logical > (uint32_t)MIN_ALIGNMENT_BYTES ? logical : (uint32_t)MIN_ALIGNMENT_BYTES;
    if (physical > need) need = physical;
    uint32_t value = 1;
    do {
        value <<= 1;
    } while (value < need && value < (uint32_t)MAX_ALIGNMENT_BYTES);
    return value;
}

uint32_t block_size_for(uint32_t alignment) {
    uint32_t block = (BLOCK_TARGET_BYTES / alignment) * alignment;
    return block < alignment ? alignment : block;
}

int probe_volume(const wchar_t* target_dir, VolumeGeometry* g) {
    static const wchar_t label[] = L"Could not query target volume";
    if (!plat_volume_root(target_dir, g->volume_root, PATH_CHARS) ||
        !plat_free_bytes_available(g->volume_root, &g->available_free_bytes) ||
        !plat_logical_sector_bytes(g->volume_root, &g->logical_sector_bytes)) {
        print_win_error(label, plat_last_error());
        return 0;
    }
    uint32_t physical = 0;
    if (!plat_physical_sector_bytes(g->volume_root, &physical) || physical == 0)
        physical = g->logical_sector_bytes;
    g->physical_sector_bytes = physical;
    g->alignment_bytes = alignment_for(g->logical_sector_bytes, physical);

    // A longer buffer than the field so that an over-long name can be cut to 63.
    wchar_t name[256];
    if (plat_filesystem_name(g->volume_root, name, 256)) {
        wcsncpy(g->filesystem, name, FILESYSTEM_CHARS - 1);
    } else {
        wcscpy(g->filesystem, L"unknown");
    }
    g->filesystem[FILESYSTEM_CHARS - 1] = 0;
    g->block_size_bytes = block_size_for(g->alignment_bytes);

    char free_text[64];
    format_bytes(g->available_free_bytes, free_text);
    out_printf("\nVolume root        : ");
    out_wide(g->volume_root);
    out_printf("\nAvailable free     : %s\n", free_text);
    out_printf("Filesystem         : ");
    out_wide(g->filesystem);
    out_printf("\nLogical sector     : %lu bytes\n", (unsigned long)g->logical_sector_bytes);
    out_printf("Physical sector    : %lu bytes\n", (unsigned long)g->physical_sector_bytes);
    out_printf("I/O alignment      : %lu bytes\n", (unsigned long)g->alignment_bytes);
    out_printf("Write block        : %lu bytes\n\n", (unsigned long)g->block_size_bytes);
    return 1;
}

int resolve_test_size(double gib, const VolumeGeometry* g, uint64_t* target_bytes) {
    uint64_t align = g->alignment_bytes;
    uint64_t max_safe = g->available_free_bytes >= SAFETY_RESERVE_BYTES
                            ? g->available_free_bytes - SAFETY_RESERVE_BYTES
                            : 0;
    max_safe -= max_safe % align;
    if (max_safe == 0) {
        err_printf("Not enough free space after the 256 MiB safety reserve.\n");
        return 0;
    }
    // No cap for one file's size: on FAT a larger test is written in segments.
    uint64_t limit = max_safe;
    if (!(gib > 0)) {
        *target_bytes = limit;
        return 1;
    }
    // Scaling by 2^30 is exact in double precision, so no rounding happens here.
    double bytes = gib * 1073741824.0;
    if (bytes >= 18446744073709551616.0) {
        err_printf("Requested size is too large.\n");
        return 0;
    }
    uint64_t wanted = (uint64_t)bytes;
    wanted -= wanted % align;
    char max_text[64];
    if (wanted > limit) {
        format_bytes(limit, max_text);
        out_printf("Requested size exceeds safe free space. Maximum is %s.\n", max_text);
        return 0;
    }
    *target_bytes = wanted;
    return 1;
}

void config_take_geometry(TestConfig* c, const VolumeGeometry* g) {
    wcscpy(c->volume_root, g->volume_root);
    c->logical_sector_bytes = g->logical_sector_bytes;
    c->physical_sector_bytes = g->physical_sector_bytes;
    c->alignment_bytes = g->alignment_bytes;
    c->block_size_bytes = g->block_size_bytes;
    wcscpy(c->filesystem, g->filesystem);
}
