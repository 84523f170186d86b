// The machine-readable summary of one finished run, as one JSON object.
#include "report/json_summary.h"

#include <math.h>
#include <stdint.h>

#include "console/output.h"
#include "engine/damage_map.h"
#include "engine/samples.h"
#include "engine/test_config.h"
#include "engine/test_results.h"
#include "platform/utf8.h"
#include "report/damage_report.h"
#include "report/device_text.h"
#include "report/event_list.h"
#include "report/final_report.h"
#include "report/program.h"

namespace {

void put_string(FILE* f, const char* text) {
    fputc('"', f);
    for (const char* p = text; *p; ++p) {
        if (*p == '"' || *p == '\\') fputc('\\', f);
        fputc(*p, f);
    }
    fputc('"', f);
}

// Paths can hold any character: quotes, backslashes and controls are escaped,
// everything else is written as UTF-8.
void put_wide(FILE* f, const wchar_t* text) {
    fputc('"', f);
    size_t i = 0;
    while (text[i]) {
        uint32_t cp = wide_next_code_point(text, &i);
        if (cp == '"' || cp == '\\') {
            fputc('\\', f);
            fputc((int)cp, f);
        } else if (cp < 0x20) {
            fprintf(f, "\\u%04x", (unsigned)cp);
        } else {
            char bytes[4];
            fwrite(bytes, 1, (size_t)utf8_encode(cp, bytes), f);
        }
    }
    fputc('"', f);
}

// Six decimals like the log; JSON has no infinity, and its decimal point is a
// point whatever the C library's locale says.
void put_number(FILE* f, double value) {
    if (!isfinite(value)) {
        fputs("null", f);
        return;
    }
    char text[512];
    snprintf(text, sizeof text, "%.6f", value);
    for (char* p = text; *p; ++p)
        if (*p == ',') *p = '.';
    fputs(text, f);
}

void put_key(FILE* f, const char* indent, const char* key) {
    fprintf(f, "%s\"%s\": ", indent, key);
}

void put_samples(FILE* f, const SampleSet* set, double threshold) {
    SampleSummary s = samples_summary(set, threshold);
    fprintf(f, "{\"count\": %llu, \"min\": ", (unsigned long long)s.count);
    put_number(f, s.min);
    fputs(", \"mean\": ", f);
    put_number(f, s.mean);
    fputs(", \"median\": ", f);
    put_number(f, s.median);
    fputs(", \"max\": ", f);
    put_number(f, s.max);
    fprintf(f, ", \"below\": %llu}", (unsigned long long)s.below);
}

const char* boolean(int value) {
    return value ? "true" : "false";
}

void put_u64_or_null(FILE* f, int present, uint64_t value) {
    if (present) fprintf(f, "%llu", (unsigned long long)value);
    else fputs("null", f);
}

void put_damage(FILE* f, const TestResults* r) {
    const char* in = "    ";
    const DamageMap* map = &r->damage;
    DamageVerdict v = damage_verdict_of(r);
    fprintf(f, "  \"damage\": {\n%s\"sector_bytes\": %lu,\n", in,
            (unsigned long)DAMAGE_SECTOR_BYTES);
    for (int k = 0; k < SECTOR_KIND_COUNT; k++) {
        uint64_t bytes = k == SECTOR_INTACT ? v.intact_bytes : map->kind_bytes[k];
        fprintf(f, "%s\"%s_bytes\": %llu,\n", in, sector_kind_name((uint32_t)k),
                (unsigned long long)bytes);
    }
    put_key(f, in, "first_damage_offset");
    put_u64_or_null(f, map->damaged, map->first_damage_offset);
    fputs(",\n", f);
    put_key(f, in, "wrap_bytes");
    put_u64_or_null(f, v.wraps, v.wrap_bytes);
    fputs(",\n", f);
    put_key(f, in, "likely_capacity_bytes");
    put_u64_or_null(f, v.has_capacity, v.likely_capacity_bytes);
    fputs(",\n", f);
    put_key(f, in, "verdict");
    if (map->damaged) fprintf(f, "\"%s\"", damage_finding_name(v.finding));
    else fputs("null", f);
    fputs(",\n", f);
    put_key(f, in, "displacement_bytes");
    if (v.finding == DAMAGE_FINDING_DISPLACED) fprintf(f, "%lld", (long long)v.displacement_bytes);
    else fputs("null", f);
    fputs(",\n", f);
    put_key(f, in, "flipped_bits");
    fprintf(f, "%llu,\n", (unsigned long long)map->flipped_bits);
    put_key(f, in, "regions");
    fputc('[', f);
    for (uint32_t i = 0; i < map->region_count; i++) {
        const DamageRegion* g = &map->regions[i];
        fprintf(f, "%s{\"start\": %llu, \"end\": %llu, \"kind\": \"%s\"", i ? ",\n      " : "\n      ",
                (unsigned long long)g->start, (unsigned long long)g->end,
                sector_kind_name(g->kind));
        if (g->kind == SECTOR_MISPLACED) {
            fprintf(f, ", \"source_start\": %llu", (unsigned long long)g->source_start);
        }
        fputc('}', f);
    }
    fputs(map->region_count ? "\n    ],\n" : "],\n", f);
    fprintf(f, "%s\"regions_truncated\": %s\n  },\n", in, boolean(map->regions_truncated));
}

} // namespace

int json_write_summary(FILE* f, const JsonRun* run) {
    const TestConfig* c = run->config;
    const TestResults* r = run->results;
    const char* in = "    ";
    fputs("{\n  \"program\": ", f);
    put_string(f, DRIVE_TEST_TITLE);
    fputs(",\n  \"version\": ", f);
    put_string(f, DRIVE_TEST_VERSION);
    fputs(",\n  \"run_kind\": ", f);
    put_string(f, c->run_kind == RUN_REVERIFY ? "reverify" : "test");

    fputs(",\n  \"configuration\": {\n", f);
    put_key(f, in, "target_path");
    put_wide(f, c->target_path);
    fputs(",\n", f);
    put_key(f, in, "log_path");
    put_wide(f, c->log_path);
    fprintf(f, ",\n%s\"target_bytes\": %llu,\n", in, (unsigned long long)c->target_bytes);
    put_key(f, in, "duration_limit_s");
    put_number(f, c->duration_limit_s);
    fputs(",\n", f);
    put_key(f, in, "minimum_required_mbps");
    put_number(f, c->minimum_required_mbps);
    fprintf(f, ",\n%s\"verification_requested\": %s,\n", in, boolean(c->verification_requested));
    fprintf(f, "%s\"delete_after_test\": %s\n  },\n", in, boolean(c->delete_after_test));

    fputs("  \"volume\": {\n", f);
    put_key(f, in, "root");
    put_wide(f, c->volume_root);
    fputs(",\n", f);
    put_key(f, in, "filesystem");
    put_wide(f, c->filesystem);
    fprintf(f, ",\n%s\"logical_sector_bytes\": %lu,\n", in, (unsigned long)c->logical_sector_bytes);
    fprintf(f, "%s\"physical_sector_bytes\": %lu,\n", in, (unsigned long)c->physical_sector_bytes);
    fprintf(f, "%s\"alignment_bytes\": %lu,\n", in, (unsigned long)c->alignment_bytes);
    fprintf(f, "%s\"block_size_bytes\": %lu\n  },\n", in, (unsigned long)c->block_size_bytes);
    fputs("  \"device\": ", f);
    json_put_device(f, &c->device, "  ");
    fputs(",\n", f);

    fprintf(f, "  \"write\": {\n%s\"bytes\": %llu,\n", in, (unsigned long long)r->bytes_written);
    put_key(f, in, "elapsed_s");
    put_number(f, r->wall_elapsed_sec);
    fputs(",\n", f);
    put_key(f, in, "active_s");
    put_number(f, r->write_active_sec);
    fprintf(f, ",\n%s\"errors\": %llu,\n", in, (unsigned long long)r->write_errors);
    put_key(f, in, "samples");
    put_samples(f, &r->write_samples, c->minimum_required_mbps);
    fputs("\n  },\n", f);

    fprintf(f, "  \"verify\": {\n%s\"ran\": %s,\n", in, boolean(run->verification_ran));
    fprintf(f, "%s\"bytes\": %llu,\n", in, (unsigned long long)r->bytes_verified);
    put_key(f, in, "elapsed_s");
    put_number(f, r->verify_elapsed_sec);
    fprintf(f, ",\n%s\"errors\": %llu,\n", in, (unsigned long long)r->verification_errors);
    fprintf(f, "%s\"mismatch_blocks\": %llu,\n", in,
            (unsigned long long)r->verification_mismatch_blocks);
    put_key(f, in, "samples");
    put_samples(f, &r->read_samples, 0.0);
    fputs("\n  },\n", f);
    if (run->verification_ran) put_damage(f, r);

    fputs("  \"events\": [", f);
    for (size_t i = 0; i < run->events->count; ++i) {
        const RecordedEvent* e = &run->events->items[i];
        fputs(i ? ",\n    {\"name\": " : "\n    {\"name\": ", f);
        put_string(f, e->name);
        fprintf(f, ", \"code\": %lu, \"offset\": %llu}", (unsigned long)e->code,
                (unsigned long long)e->offset);
    }
    fputs(run->events->count ? "\n  ],\n" : "],\n", f);
    fprintf(f, "  \"events_complete\": %s,\n", boolean(!run->events->lost));

    const char* threshold = threshold_verdict(c, r);
    fputs("  \"verdicts\": {\n", f);
    put_key(f, in, "write_status");
    put_string(f, write_status(r));
    fputs(",\n", f);
    put_key(f, in, "threshold");
    if (threshold) {
        put_string(f, threshold);
    } else {
        fputs("null", f);
    }
    fputs(",\n", f);
    put_key(f, in, "data_integrity");
    if (c->verification_requested) {
        put_string(f, integrity_verdict(r));
    } else {
        fputs("null", f);
    }
    fputs("\n  },\n", f);
    fprintf(f, "  \"user_stopped\": %s,\n", boolean(r->user_stopped));
    fprintf(f, "  \"last_error\": %lu,\n", (unsigned long)r->last_error);
    fprintf(f, "  \"exit_code\": %d\n}\n", run->exit_code);
    return fflush(f) == 0 && !ferror(f);
}

void json_write_file(const wchar_t* path, FILE* f, const JsonRun* run) {
    int written = json_write_summary(f, run);
    if (fclose(f) != 0) written = 0;
    if (!written) {
        err_printf("Could not write JSON summary: ");
        err_wide(path);
        err_printf("\n");
    }
}

void json_put_text(FILE* f, const wchar_t* text) { put_wide(f, text); }

void json_put_number(FILE* f, double value) { put_number(f, value); }
