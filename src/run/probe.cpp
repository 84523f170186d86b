// drive-test probe: the guards, the confirmation, the journal, the probe, the
// restore in every case, the verdict and the JSON summary; and --restore.
#include "run/probe.h"

#include <stdio.h>
#include <string.h>

#include "console/console.h"
#include "console/output.h"
#include "console/text.h"
#include "engine/probe.h"
#include "engine/probe_block.h"
#include "engine/run_files.h"
#include "platform/disk.h"
#include "platform/error_codes.h"
#include "platform/platform.h"
#include "report/device_text.h"
#include "report/output_file.h"
#include "report/probe_report.h"
#include "report/program.h"
#include "run/output_guard.h"
#include "run/probe_guard.h"
#include "run/probe_progress.h"
#include "run/probe_state.h"
#include "run/session.h"

namespace {

// The device as the engine reaches it: whole transfers or a Windows code.
int device_read(void* context, uint64_t offset, void* buffer, uint32_t length, uint32_t* error) {
    uint32_t moved = 0;
    if (!plat_read_at(*(plat_file*)context, offset, buffer, length, &moved)) {
        *error = plat_last_error();
        return 0;
    }
    *error = moved == length ? 0u : (uint32_t)WINERR_READ_FAULT;
    return moved == length;
}

int device_write(void* context, uint64_t offset, const void* buffer, uint32_t length,
                 uint32_t* error) {
    uint32_t moved = 0;
    if (!plat_write_at(*(plat_file*)context, offset, buffer, length, &moved)) {
        *error = plat_last_error();
        return 0;
    }
    *error = moved == length ? 0u : (uint32_t)WINERR_WRITE_FAULT;
    return moved == length;
}

// Owns the open device; its volumes (Windows) are let go with it.
struct OpenDevice {
    plat_file handle = PLAT_NO_FILE;
    ProbeIo io = {&handle, device_read, device_write};
    OpenDevice() = default;
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;
    ~OpenDevice() {
        if (handle != PLAT_NO_FILE) plat_disk_close(handle);
    }
};

struct OwnedPlan {
    ProbePlan plan = {};
    ~OwnedPlan() { probe_plan_release(&plan); }
};

wchar_t g_journal_path[PROBE_PATH_CHARS];
wchar_t g_json_path[PROBE_PATH_CHARS];
PlatDeviceIdentity g_identity; // the probed disk, as the report and JSON name it

int full_path_of(const wchar_t* path, wchar_t* out) {
    uint32_t len = plat_full_path(path, out, PROBE_PATH_CHARS);
    return len > 0 && len < PROBE_PATH_CHARS;
}

// drive-test-probe-NAME-YYYYMMDD-HHMMSS.journal in the current folder, NAME the
// device's last name with anything but letters, digits, '-', '_' and '.' as '_'.
void default_journal_name(const wchar_t* device, wchar_t* out) {
    const wchar_t* name = device;
    for (const wchar_t* p = device; *p; ++p)
        if (plat_is_separator(*p) || *p == L':') name = p + 1;
    wchar_t clean[64];
    size_t n = 0;
    for (; name[n] && n < 63; ++n) {
        wchar_t c = name[n];
        int plain = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
                    (c >= L'0' && c <= L'9') || c == L'-' || c == L'_' || c == L'.';
        clean[n] = plain ? c : L'_';
    }
    clean[n] = 0;
    PlatLocalTime t = {1970, 1, 1, 0, 0, 0};
    plat_local_time(&t);
    swprintf(out, PROBE_PATH_CHARS, L"drive-test-probe-%ls-%04d%02d%02d-%02d%02d%02d.journal",
             clean, t.year, t.month, t.day, t.hour, t.minute, t.second);
}

// The disk's identity; an image file is only its own path, never the disk it lies on.
void describe_device(const PlatDiskFacts* f, PlatDeviceIdentity* id) {
    memset(id, 0, sizeof *id);
    if (f->kind != PLAT_DISK_IMAGE) {
        plat_device_identity(f->device, id);
        return;
    }
    if (!wide_to_utf8(f->device, id->path, sizeof id->path)) id->path[0] = 0;
}

void show_plan(const PlatDiskFacts* f, const ProbePlan* plan, const wchar_t* journal) {
    char announced[64], flush[64], window[64];
    format_bytes(f->bytes, announced);
    format_bytes(plan->flush_bytes, flush);
    format_bytes(plan->window_bytes, window);
    probe_print_device(&g_identity);
    out_printf("Announced : %s (%llu bytes)\n", announced, (unsigned long long)f->bytes);
    out_printf("Journal   : ");
    out_wide(journal);
    out_printf("\nThe probe writes %lu spots of %lu bytes over the whole device and %s more to\n"
               "push out a drive cache, then reads them back and the first %s in full.\n"
               "Before each write the original content goes to the journal; at the end it\n"
               "is put back and checked, also after Ctrl+C. The first 1 MiB is never written.\n\n",
               (unsigned long)plan->spot_count, (unsigned long)PROBE_SPOT_BYTES, flush, window);
    print_device_hints(&g_identity);
}

int confirmed(int yes, const wchar_t* question) {
    if (!yes && !prompt_yes_no(question, 0)) return 0;
    return g_stop_requested.load() == 0;
}

// The journal's header for a new run on this device.
void make_header(const PlatDiskFacts* f, JournalHeader* h) {
    memset(h, 0, sizeof *h);
    h->version = JOURNAL_VERSION;
    h->salt = probe_new_salt();
    h->device_bytes = f->bytes;
    plat_local_time(&h->created);
    wcsncpy(h->device_path, f->device, JOURNAL_TEXT_CAP - 1);
    strncpy(h->identity, f->identity, JOURNAL_TEXT_CAP - 1);
}

ProbeRestore g_restore;

// Puts the journal back; 1 when the device is as before (the journal is then
// deleted and leaves the list of unfinished ones).
int restore_device(OpenDevice* device, Journal* journal, ProbeScreen* screen,
                   const wchar_t* path) {
    memset(&g_restore, 0, sizeof g_restore);
    int restored = probe_restore(&device->io, journal, screen, &g_restore);
    screen->finish();
    if (restored) {
        if (!journal_delete(journal, path)) {
            print_win_error(L"The journal could not be deleted", plat_last_error());
        }
        probe_state_remove(path);
    }
    return restored;
}

int verdict_code(int outcome, const ProbeResult* r, int restored) {
    if (!restored) return EXIT_FAILED;
    if (outcome == PROBE_STOPPED || outcome == PROBE_NO_MEMORY) return EXIT_CANCELLED;
    if (outcome == PROBE_JOURNAL_FAILED) return EXIT_NO_LOG;
    return r->verdict == PROBE_NO_FAKE_FOUND ? EXIT_PASSED : EXIT_FAILED;
}

void say_outcome(int outcome, const ProbeResult* r) {
    if (outcome == PROBE_STOPPED) out_printf("\nProbe stopped.\n");
    if (outcome == PROBE_NO_MEMORY) out_printf("\nProbe stopped: not enough memory.\n");
    if (outcome == PROBE_JOURNAL_FAILED)
        print_win_error(L"\nThe journal could not be written: probe stopped", r->journal_error);
}

// Everything between the confirmation and the exit code, with the device open.
int run_probe(const ProbeOptions* o, const PlatDiskFacts* f, OpenDevice* device,
              const ProbePlan* plan) {
    FILE* json = nullptr;
    // Held by handle against the device the probe writes: no path may lead there.
    run_files_clear();
    run_files_add_path(f->device, "device");
    static OutputFile json_file;
    if (o->json && (!output_open(&json_file, g_json_path, "JSON summary", 0) ||
                    !(json = output_stream(&json_file)))) {
        if (json_file.clash) {
            output_print_clash("JSON summary", g_json_path, json_file.clash);
            return EXIT_CANCELLED;
        }
        print_win_error(L"Could not create the JSON summary", plat_last_error());
        return EXIT_NO_LOG;
    }
    static JournalHeader header;
    make_header(f, &header);
    Journal journal;
    if (!journal_create(g_journal_path, &header, &journal)) {
        print_win_error(L"Could not create the journal", plat_last_error());
        if (json) {
            fclose(json);
            plat_delete_file(g_json_path);
        }
        return EXIT_NO_LOG;
    }
    if (!probe_state_add(g_journal_path))
        err_printf("The list of unfinished journals in the state folder cannot be written.\n");

    ProbeScreen screen;
    probe_screen_start(&screen, o->quiet);
    if (screen.draw) console_cursor_visible(0);
    static ProbeResult result;
    memset(&result, 0, sizeof result);
    int outcome = probe_run(&device->io, plan, &journal, &screen, &result);
    screen.finish();
    say_outcome(outcome, &result);
    // Stopped or not, the device gets its content back; a second Ctrl+C does not stop that.
    int restored = restore_device(device, &journal, &screen, g_journal_path);
    console_cursor_visible(1);
    double seconds = (double)(plat_perf_counter() - screen.started) / (double)plat_perf_frequency();

    ProbeSummary summary = {&g_identity, f->bytes, &result, outcome == PROBE_DONE,
                            seconds,   restored, g_journal_path};
    probe_print_verdict(&summary);
    probe_print_restore(&g_restore, restored, g_journal_path);
    out_flush();
    if (json) probe_json_write_file(g_json_path, json, &summary);
    return verdict_code(outcome, &result, restored);
}

int probe_session(const ProbeOptions* o) {
    out_printf("%s v%s - quick probe: is the device fake?\n", DRIVE_TEST_TITLE, DRIVE_TEST_VERSION);
    out_flush();
    static PlatDiskFacts facts;
    if (!probe_guard_device(o->device, &facts)) return EXIT_CANCELLED;
    describe_device(&facts, &g_identity);
    static wchar_t name[PROBE_PATH_CHARS];
    if (o->journal) {
        wcsncpy(name, o->journal, PROBE_PATH_CHARS - 1);
    } else {
        default_journal_name(facts.device, name);
    }
    if (!full_path_of(name, g_journal_path) || (o->json && !full_path_of(o->json, g_json_path))) {
        print_win_error(L"The journal or JSON path cannot be used", plat_last_error());
        return EXIT_NO_LOG;
    }
    GuardPath paths[] = {{facts.device, "device", GUARD_READ, 0},
                         {g_journal_path, "journal", GUARD_WRITE, 0},
                         {o->json ? g_json_path : nullptr, "JSON summary", GUARD_WRITE, 0}};
    if (!output_guard(paths, 3) || !probe_guard_use(&facts, g_journal_path)) return EXIT_CANCELLED;
    static wchar_t unfinished[PROBE_PATH_CHARS];
    if (probe_state_find(facts.bytes, facts.identity, unfinished)) {
        err_printf("Refused: ");
        err_wide(facts.device);
        err_printf(" has an unfinished probe: its journal ");
        err_wide(unfinished);
        err_printf(" still holds original content; run 'drive-test probe --restore' on it first.\n");
        return EXIT_CANCELLED;
    }
    OwnedPlan plan;
    if (!probe_plan_make(facts.bytes, &plan.plan)) {
        print_win_error(L"The probe cannot be planned", plat_last_error());
        return EXIT_CANCELLED;
    }
    OpenDevice device;
    if (!probe_guard_open(&facts, &device.handle)) return EXIT_CANCELLED;
    show_plan(&facts, &plan.plan, g_journal_path);
    if (!confirmed(o->yes, L"PROBE THIS DEVICE? [y/N]: ")) {
        out_printf("\nProbe cancelled.\n");
        return EXIT_CANCELLED;
    }
    return run_probe(o, &facts, &device, &plan.plan);
}

int refuse_journal(const wchar_t* path, const char* why) {
    err_printf("Refused: the journal ");
    err_wide(path);
    err_printf(" %s\n", why);
    return EXIT_CANCELLED;
}

int restore_session(const ProbeOptions* o) {
    out_printf("%s v%s - restore of an interrupted probe\n", DRIVE_TEST_TITLE, DRIVE_TEST_VERSION);
    out_flush();
    if (!full_path_of(o->restore, g_journal_path)) return refuse_journal(o->restore, "cannot be found.");
    Journal journal;
    switch (journal_open(g_journal_path, &journal)) {
    case JOURNAL_OPENED: break;
    case JOURNAL_NOT_A_JOURNAL: return refuse_journal(g_journal_path, "is not a probe journal.");
    case JOURNAL_NEWER_VERSION:
        return refuse_journal(g_journal_path, "was made by a newer drive-test.");
    default:
        print_win_error(L"The journal cannot be read", plat_last_error());
        return EXIT_CANCELLED;
    }
    static PlatDiskFacts facts;
    if (!probe_guard_device(journal.header.device_path, &facts)) return EXIT_CANCELLED;
    if (!journal_matches_device(&journal.header, facts.bytes, facts.identity)) {
        err_printf("Refused: ");
        err_wide(facts.device);
        err_printf(" is not the device the journal was made for (its size or identity differ).\n");
        return EXIT_CANCELLED;
    }
    if (!probe_guard_use(&facts, g_journal_path)) return EXIT_CANCELLED;
    OpenDevice device;
    if (!probe_guard_open(&facts, &device.handle)) return EXIT_CANCELLED;
    out_printf("Device    : ");
    out_wide(facts.device);
    out_printf("\nJournal   : ");
    out_wide(g_journal_path);
    out_printf("\n%lu blocks of original content%s are put back and checked.\n\n",
               (unsigned long)journal.record_count,
               journal.torn_tail ? " (and a last one cut short, never written)" : "");
    if (!confirmed(o->yes, L"RESTORE THE DEVICE FROM THE JOURNAL? [y/N]: ")) {
        out_printf("\nRestore cancelled.\n");
        return EXIT_CANCELLED;
    }
    ProbeScreen screen;
    probe_screen_start(&screen, o->quiet);
    int restored = restore_device(&device, &journal, &screen, g_journal_path);
    probe_print_restore(&g_restore, restored, g_journal_path);
    return restored ? EXIT_PASSED : EXIT_FAILED;
}

} // namespace

int probe_command(const ProbeOptions* options) {
    session_begin();
    int code = options->restore ? restore_session(options) : probe_session(options);
    out_flush();
    session_end();
    return code;
}
