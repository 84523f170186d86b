// The quick probe's verdict in plain words, and its JSON summary.
#include "report/probe_report.h"

#include "console/output.h"
#include "console/text.h"
#include "engine/probe.h"
#include "report/device_text.h"
#include "report/json_summary.h"

namespace {

void bytes_text(uint64_t bytes, char out[96]) {
    char size[64];
    format_bytes(bytes, size);
    snprintf(out, 96, "%s (%llu bytes)", size, (unsigned long long)bytes);
}

void put_trusted(uint64_t usable) {
    char text[96];
    bytes_text(usable, text);
    out_printf("Trust at most %s of it: use it with one partition no larger than that,\n"
               "and never store anything past it.\n",
               text);
}

} // namespace

void probe_print_device(const PlatDeviceIdentity* id) {
    char title[3 * PLAT_ID_CHARS];
    device_title(id, title, sizeof title);
    out_printf("Device    : %s", id->path);
    if (title[0]) out_printf(" (%s)", title);
    out_printf("\n");
}

void probe_print_verdict(const ProbeSummary* s) {
    const ProbeResult* r = s->result;
    char announced[96];
    bytes_text(s->announced_bytes, announced);
    out_printf("\n");
    probe_print_device(s->device);
    out_printf("Announced : %s\n", announced);
    if (!s->judged) {
        out_printf("Verdict   : none, the probe did not finish.\n");
        return;
    }
    out_printf("Spots     : %lu checked, %lu bad\n", (unsigned long)r->positions,
               (unsigned long)r->bad_positions);
    char text[96];
    switch (r->verdict) {
    case PROBE_NO_FAKE_FOUND:
        out_printf("Verdict   : no sign of a fake in %lu spots over the whole announced size.\n"
                   "A quick probe can show a drive is fake, never prove it genuine: only a full\n"
                   "test, which writes and reads back every byte, proves the capacity.\n",
                   (unsigned long)r->positions);
        break;
    case PROBE_WRAPS:
        bytes_text(r->wrap_bytes, text);
        out_printf("Verdict   : FAKE. It wraps around at %s: what is written past that\n"
                   "lands over the start of the device, so it holds at most that much.\n",
                   text);
        put_trusted(r->usable_bytes);
        break;
    case PROBE_DROPS:
        bytes_text(r->drop_bytes, text);
        out_printf("Verdict   : FAKE. It loses what is written past %s: it accepts the\n"
                   "data there and keeps none of it.\n",
                   text);
        put_trusted(r->usable_bytes);
        break;
    default:
        out_printf("Verdict   : FAILING. %lu of %lu spots came back damaged, or could not be\n"
                   "read or written (%lu read and %lu write errors). Do not trust this device\n"
                   "with data.\n",
                   (unsigned long)r->bad_positions, (unsigned long)r->positions,
                   (unsigned long)r->read_errors, (unsigned long)r->write_errors);
        break;
    }
}

void probe_print_restore(const ProbeRestore* r, int restored, const wchar_t* journal) {
    if (restored) {
        out_printf("Restored  : the original content of the %lu blocks written is back, checked\n"
                   "sector by sector; the journal is deleted.\n",
                   (unsigned long)r->records);
        return;
    }
    out_printf("Restored  : NO. %llu of %llu sectors read back unlike their original, %lu writes\n"
               "and %lu reads failed%s. The journal is kept: ",
               (unsigned long long)r->sectors_differing, (unsigned long long)r->sectors_checked,
               (unsigned long)r->write_errors, (unsigned long)r->read_errors,
               r->journal_unreadable ? ", the journal could not be read back" : "");
    out_wide(journal);
    out_printf("\nRun 'drive-test probe --restore ");
    out_wide(journal);
    out_printf("' to try again.\n");
}

int probe_json_write_file(const wchar_t* path, FILE* f, const ProbeSummary* s) {
    const ProbeResult* r = s->result;
    fputs("{\n  \"device\": ", f);
    json_put_device(f, s->device, "  ");
    fprintf(f, ",\n  \"announced_bytes\": %llu,\n  \"verdict\": ",
            (unsigned long long)s->announced_bytes);
    if (s->judged) {
        fprintf(f, "\"%s\"", probe_verdict_name(r->verdict));
    } else {
        fputs("null", f);
    }
    fputs(",\n  \"wrap_bytes\": ", f);
    if (s->judged && r->verdict == PROBE_WRAPS) {
        fprintf(f, "%llu", (unsigned long long)r->wrap_bytes);
    } else {
        fputs("null", f);
    }
    fputs(",\n  \"usable_bytes\": ", f);
    if (s->judged) {
        fprintf(f, "%llu", (unsigned long long)r->usable_bytes);
    } else {
        fputs("null", f);
    }
    fprintf(f, ",\n  \"positions\": %lu,\n  \"bad_positions\": %lu,\n  \"bytes_written\": %llu,\n",
            (unsigned long)r->positions, (unsigned long)r->bad_positions,
            (unsigned long long)r->bytes_written);
    fputs("  \"seconds\": ", f);
    json_put_number(f, s->seconds);
    fprintf(f, ",\n  \"restored\": %s,\n  \"journal\": ", s->restored ? "true" : "false");
    json_put_text(f, s->journal);
    fputs("\n}\n", f);
    int written = fflush(f) == 0 && !ferror(f);
    if (fclose(f) != 0) written = 0;
    if (!written) {
        err_printf("Could not write JSON summary: ");
        err_wide(path);
        err_printf("\n");
    }
    return written;
}
