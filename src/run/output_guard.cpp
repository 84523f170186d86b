// The output guard: paths compared by the files they name (the platform's
// identity), never by their text; then the outputs created together.
#include "run/output_guard.h"

#include "console/output.h"
#include "engine/test_config.h"
#include "engine/test_file.h"
#include "platform/error_codes.h"
#include "platform/platform.h"
#include "report/output_file.h"
#include "run/driver.h"
#include "run/run_options.h"
#include "run/session.h"

namespace {

// Every output of the most drives one command tests, and their shared summary.
enum { GUARD_PATHS_MAX = (int)MAX_DRIVES * 4 + 1 };

struct Known {
    int told; // the identity could be told; else the path's own open reports why
    PlatFileId id;
};

Known g_known[GUARD_PATHS_MAX];
Known g_segment;
wchar_t g_segment_path[SEGMENT_PATH_CHARS];

const wchar_t* path_of(const GuardPath* p, uint32_t segment, wchar_t* buffer) {
    if (segment == 0) return p->path;
    return segment_path(p->path, segment, buffer, SEGMENT_PATH_CHARS) ? buffer : nullptr;
}

int writes(GuardUse use) { return use == GUARD_WRITE || use == GUARD_TEST_FILE; }

void tell(const GuardPath* p, const wchar_t* path, Known* k) {
    k->told = path && plat_file_identity(path, !writes(p->use), &k->id);
}

void name_path(const GuardPath* p, uint32_t segment, const wchar_t* path) {
    err_printf("the %s%s path '", p->what, segment ? " segment" : "");
    err_wide(path);
    err_printf("'");
}

int wrong_kind(const GuardPath* p, const Known* k) {
    if (!k->told) return 0;
    if (p->use == GUARD_TEST_FILE) return k->id.kind == PLAT_OTHER;
    if (p->use == GUARD_WRITE) return k->id.kind == PLAT_OTHER || k->id.kind == PLAT_DIRECTORY;
    return p->use == GUARD_READ_FILE && k->id.kind != PLAT_REGULAR;
}

int refuse_kind(const GuardPath* p, uint32_t segment, const wchar_t* path) {
    err_printf("Refused: ");
    name_path(p, segment, path);
    err_printf(" is not a regular file.\n");
    return 0;
}

int refuse_clash(const GuardPath* a, uint32_t a_segment, const wchar_t* a_path,
                 const GuardPath* b, uint32_t b_segment, const wchar_t* b_path) {
    err_printf("Refused: ");
    name_path(a, a_segment, a_path);
    err_printf(" names the same file as ");
    name_path(b, b_segment, b_path);
    err_printf(".\n");
    return 0;
}

int clash(const GuardPath* a, const Known* x, const GuardPath* b, const Known* y) {
    if (!writes(a->use) && !writes(b->use)) return 0;
    return x->told && y->told && plat_same_identity(&x->id, &y->id);
}

int creatable(const wchar_t* path) {
    static PlatFileId id;
    if (!plat_file_identity(path, 0, &id)) return 0;
    // A link in an output's place is refused by its open: found here already.
    return id.kind == PLAT_MISSING || id.kind == PLAT_REGULAR;
}

int cannot_create(const char* what, const wchar_t* path) {
    err_printf("Could not create %s: ", what);
    err_wide(path);
    err_printf("\n");
    return EXIT_NO_LOG;
}

// path with "-k" before its extension (k > 1): the name of the k-th log of one second.
int numbered(const wchar_t* path, int k, wchar_t* out) {
    size_t len = wcslen(path);
    size_t dot = len;
    for (size_t i = len; i > 0 && !plat_is_separator(path[i - 1]); i--) {
        if (path[i - 1] == L'.') {
            dot = i - 1;
            break;
        }
    }
    wchar_t suffix[16];
    int n = swprintf(suffix, 16, L"-%d", k);
    if (n <= 0 || len + (size_t)n + 1 > PATH_CHARS) return 0;
    wmemcpy(out, path, dot);
    wcscpy(out + dot, suffix);
    wcscat(out, path + dot);
    return 1;
}

// The log as asked; a default name is made new, and another run of the same
// second that has it already sends this one to the next number.
int open_log(TestConfig* c, OutputFile* f) {
    static wchar_t base[PATH_CHARS];
    static wchar_t path[PATH_CHARS];
    wcscpy(base, c->log_path);
    wcscpy(path, base);
    int ok = output_open(f, c->log_path, "log", c->log_default_name);
    for (int k = 2; !ok && !f->clash && c->log_default_name && k <= 999 &&
                    plat_last_error() == WINERR_FILE_EXISTS;
         k++) {
        if (!numbered(base, k, path)) break;
        wcscpy(c->log_path, path);
        ok = output_open(f, c->log_path, "log", 1);
    }
    if (ok) {
        if (wcscmp(c->log_path, base) != 0) {
            out_printf("Log         : ");
            out_wide(c->log_path);
            out_printf(" (the default name was taken)\n");
        }
        return 0;
    }
    if (f->clash) {
        output_print_clash("log", c->log_path, f->clash);
        return EXIT_CANCELLED;
    }
    return cannot_create("log file", c->log_path);
}

} // namespace

uint32_t guard_run_segments(const TestConfig* c) {
    uint64_t size = c->segment_bytes;
    // A volume not known as FAT can still stop a file at 4 GiB: the run then
    // goes on in the next segment file.
    if (size == 0 && c->target_bytes > FAT_FILE_LIMIT_BYTES)
        size = segment_size_for(c->alignment_bytes, c->block_size_bytes);
    uint64_t made = size ? (c->target_bytes + size - 1) / size - 1 : 0;
    uint64_t left = segments_after(c->target_path);
    uint64_t most = made > left ? made : left;
    return most > UINT32_MAX ? UINT32_MAX : (uint32_t)most;
}

int output_guard(const GuardPath* paths, int count) {
    if (count > GUARD_PATHS_MAX) count = GUARD_PATHS_MAX;
    for (int i = 0; i < count; i++) {
        const GuardPath* p = &paths[i];
        if (!p->path) continue;
        tell(p, p->path, &g_known[i]);
        if (wrong_kind(p, &g_known[i])) return refuse_kind(p, 0, p->path);
        for (int j = 0; j < i; j++) {
            if (paths[j].path && clash(p, &g_known[i], &paths[j], &g_known[j]))
                return refuse_clash(p, 0, p->path, &paths[j], 0, paths[j].path);
        }
    }
    // Each segment against every other path; the segments of one file are apart by name.
    for (int i = 0; i < count; i++) {
        const GuardPath* p = &paths[i];
        if (!p->path) continue;
        for (uint32_t s = 1; s <= p->segments && s != 0; s++) {
            const wchar_t* path = path_of(p, s, g_segment_path);
            tell(p, path, &g_segment);
            if (wrong_kind(p, &g_segment)) return refuse_kind(p, s, path);
            for (int j = 0; j < count; j++) {
                if (j != i && paths[j].path && clash(p, &g_segment, &paths[j], &g_known[j]))
                    return refuse_clash(&paths[j], 0, paths[j].path, p, s, path);
            }
        }
    }
    return 1;
}

int guard_test_run(const TestConfig* c, const wchar_t* json, const wchar_t* chart) {
    GuardPath paths[] = {
        {c->target_path, "test file", GUARD_TEST_FILE, guard_run_segments(c)},
        {c->log_path, "log", GUARD_WRITE, 0},
        {json, "JSON summary", GUARD_WRITE, 0},
        {chart, "chart", GUARD_WRITE, 0},
    };
    return output_guard(paths, 4);
}

int guard_reverify(const TestConfig* c, const wchar_t* json) {
    uint32_t segments = c->segment_bytes ? segments_after(c->target_path) : 0;
    GuardPath paths[] = {
        {c->target_path, "test file", GUARD_READ_FILE, segments},
        {c->log_path, "log", GUARD_WRITE, 0},
        {json, "JSON summary", GUARD_WRITE, 0},
    };
    return output_guard(paths, 3);
}

int guard_chart(const wchar_t* log, const wchar_t* svg) {
    GuardPath paths[] = {
        {log, "log", GUARD_READ, 0},
        {svg, "chart", GUARD_WRITE, 0},
    };
    return output_guard(paths, 2);
}

void guard_note_inputs(const TestConfig* c) {
    uint32_t segments = c->segment_bytes ? segments_after(c->target_path) : 0;
    static wchar_t path[SEGMENT_PATH_CHARS];
    static PlatFileId id;
    for (uint32_t k = 0; k <= segments && k != UINT32_MAX; k++) {
        if (segment_path(c->target_path, k, path, SEGMENT_PATH_CHARS) &&
            plat_file_identity(path, 1, &id))
            run_files_add(&id, "test file", c->target_path);
    }
}

int open_outputs(TestConfig* c, const wchar_t* json_path, const wchar_t* chart_path, FILE** log,
                 FILE** json) {
    *log = nullptr;
    *json = nullptr;
    if (!creatable(c->log_path)) return cannot_create("log file", c->log_path);
    if (json_path && !creatable(json_path)) return cannot_create("JSON summary", json_path);
    if (chart_path && !creatable(chart_path)) return cannot_create("chart", chart_path);
    // Taken back when an output is refused: the files of the command are then as before.
    int mark = run_files_mark();
    static OutputFile log_file;
    static OutputFile json_file;
    int code = open_log(c, &log_file);
    if (code != 0) return code;
    if (json_path && !output_open(&json_file, json_path, "JSON summary", 0)) {
        // Found only now (no permission, a read-only volume): the log made for it goes.
        log_file.drop();
        run_files_back_to(mark);
        if (json_file.clash) {
            output_print_clash("JSON summary", json_path, json_file.clash);
            return EXIT_CANCELLED;
        }
        return cannot_create("JSON summary", json_path);
    }
    int log_created = log_file.created;
    *log = output_stream(&log_file);
    if (!*log) {
        json_file.drop();
        run_files_back_to(mark);
        return cannot_create("log file", c->log_path);
    }
    if (json_path && !(*json = output_stream(&json_file))) {
        fclose(*log);
        *log = nullptr;
        if (log_created) plat_delete_file(c->log_path);
        return cannot_create("JSON summary", json_path);
    }
    return 0;
}
