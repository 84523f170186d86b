// The damage block of the final report and the damage lines of the log.
#include "report/damage_report.h"

#include "console/output.h"
#include "console/text.h"
#include "engine/damage_map.h"
#include "engine/test_results.h"

DamageVerdict damage_verdict_of(const TestResults* results) {
    return damage_verdict(&results->damage, results->bytes_verified, results->bytes_written);
}

void damage_verdict_text(char* out, size_t size, const DamageVerdict* v) {
    char a[64];
    format_bytes(v->wraps ? v->wrap_bytes : v->likely_capacity_bytes, a);
    uint64_t distance = v->displacement_bytes < 0 ? 0 - (uint64_t)v->displacement_bytes
                                                  : (uint64_t)v->displacement_bytes;
    switch (v->finding) {
    case DAMAGE_FINDING_WRAPS:
        snprintf(out, size,
                 "Data written past %s landed over the start: the drive holds at most about %s",
                 a, a);
        break;
    case DAMAGE_FINDING_DROPPED:
        if (v->likely_capacity_bytes == 0) {
            snprintf(out, size, "Nothing written reads back: the drive keeps no data");
        } else {
            snprintf(out, size,
                     "Almost nothing written past %s reads back: the drive holds at most about %s",
                     a, a);
        }
        break;
    case DAMAGE_FINDING_FOREIGN:
        snprintf(out, size,
                 "Nearly every sector is corrupted: this file does not hold the test pattern");
        break;
    case DAMAGE_FINDING_DISPLACED:
        snprintf(out, size,
                 "Data displaced by %llu bytes: each sector holds the data of the place %llu "
                 "bytes %s it, a shifted read rather than a smaller drive",
                 (unsigned long long)distance, (unsigned long long)distance,
                 v->displacement_bytes < 0 ? "before" : "after");
        break;
    case DAMAGE_FINDING_FLIPPED:
        snprintf(out, size,
                 "%llu bit%s flipped and nothing else damaged: a failing drive rather than a "
                 "smaller one",
                 (unsigned long long)v->flipped_bits, v->flipped_bits == 1 ? "" : "s");
        break;
    default:
        snprintf(out, size, "Scattered damage: a failing drive rather than a smaller one");
    }
}

void print_damage_block(const TestResults* results) {
    const DamageMap* map = &results->damage;
    if (!map->damaged) return;
    DamageVerdict v = damage_verdict_of(results);
    static const char* const labels[SECTOR_KIND_COUNT] = {
        "Intact             : ", "Zeroed             : ", "Erased             : ",
        "Bits flipped       : ", "Misplaced          : ", "Corrupted          : "};
    out_printf("\nDAMAGE MAP (512-byte sectors of the test file; zeroed: all 0x00, erased: all "
               "0xFF, bits flipped: fewer than 8)\n");
    for (int k = 0; k < SECTOR_KIND_COUNT; k++) {
        char size[64];
        format_bytes(k == SECTOR_INTACT ? v.intact_bytes : map->kind_bytes[k], size);
        out_printf("%s%s\n", labels[k], size);
    }
    char at[64];
    format_bytes(map->first_damage_offset, at);
    out_printf("First damage at    : byte %llu (%s), %s\n",
               (unsigned long long)map->first_damage_offset, at, sector_kind_name(map->first_kind));
    out_printf("First bad word     : at byte %llu, expected %016llX, found %016llX\n",
               (unsigned long long)map->first_word_offset,
               (unsigned long long)map->first_expected, (unsigned long long)map->first_found);
    if (map->first_kind == SECTOR_MISPLACED) {
        format_bytes(map->first_source, at);
        out_printf("Found data is for  : byte %llu (%s)\n",
                   (unsigned long long)map->first_source, at);
    }
    out_printf("Damaged regions    : %llu%s\n", (unsigned long long)map->region_count,
               map->regions_truncated ? " (list cut; the sizes above are exact)" : "");
    char verdict[256];
    damage_verdict_text(verdict, sizeof verdict, &v);
    out_printf("Damage verdict     : %s\n", verdict);
}

void csv_write_damage(FILE* log, const TestResults* results) {
    const DamageMap* map = &results->damage;
    if (!map->damaged) return;
    DamageVerdict v = damage_verdict_of(results);
    fprintf(log, "# damage_sector_bytes=%lu\n", (unsigned long)DAMAGE_SECTOR_BYTES);
    for (int k = 0; k < SECTOR_KIND_COUNT; k++) {
        uint64_t bytes = k == SECTOR_INTACT ? v.intact_bytes : map->kind_bytes[k];
        fprintf(log, "# damage_%s_bytes=%llu\n", sector_kind_name((uint32_t)k),
                (unsigned long long)bytes);
    }
    fprintf(log, "# damage_first_offset=%llu\n", (unsigned long long)map->first_damage_offset);
    if (v.wraps) fprintf(log, "# damage_wrap_bytes=%llu\n", (unsigned long long)v.wrap_bytes);
    else fputs("# damage_wrap_bytes=none\n", log);
    if (v.has_capacity) {
        fprintf(log, "# damage_likely_capacity_bytes=%llu\n",
                (unsigned long long)v.likely_capacity_bytes);
    } else {
        fputs("# damage_likely_capacity_bytes=none\n", log);
    }
    fprintf(log, "# damage_verdict=%s\n", damage_finding_name(v.finding));
    if (v.finding == DAMAGE_FINDING_DISPLACED) {
        fprintf(log, "# damage_displacement_bytes=%lld\n", (long long)v.displacement_bytes);
    } else {
        fputs("# damage_displacement_bytes=none\n", log);
    }
    fprintf(log, "# damage_flipped_bits=%llu\n", (unsigned long long)map->flipped_bits);
    for (uint32_t i = 0; i < map->region_count; i++) {
        const DamageRegion* r = &map->regions[i];
        fprintf(log, "# damage_region=%llu,%llu,%s", (unsigned long long)r->start,
                (unsigned long long)r->end, sector_kind_name(r->kind));
        if (r->kind == SECTOR_MISPLACED) fprintf(log, ",%llu", (unsigned long long)r->source_start);
        fputc('\n', log);
    }
    fprintf(log, "# damage_regions_truncated=%d\n", map->regions_truncated);
}
