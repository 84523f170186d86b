// The list of unfinished probe journals: one full path a line, UTF-8, in the
// state folder; rewritten whole on every change (it holds a line or two).
#include "run/probe_state.h"

#include <stdio.h>
#include <string.h>

#include "console/text.h"
#include "engine/probe_journal.h"
#include "platform/disk.h"
#include "platform/platform.h"
#include "platform/utf8.h"

namespace {

enum { MAX_LISTED = 64 };

wchar_t g_listed[MAX_LISTED][PROBE_PATH_CHARS];
int g_count = 0;
wchar_t g_list_path[PROBE_PATH_CHARS];

int list_path(void) {
    static const wchar_t name[] = L"unfinished-probe-journals.txt";
    if (!plat_state_dir(g_list_path, PROBE_PATH_CHARS - 40)) return 0;
    size_t n = wcslen(g_list_path);
    g_list_path[n++] = plat_separator;
    wcscpy(g_list_path + n, name);
    return 1;
}

// One UTF-8 line as wide text; 0 when it is not valid UTF-8 or too long.
int line_to_wide(const char* line, wchar_t* out) {
    Utf8Decoder d = {0, 0, 0};
    size_t used = 0;
    for (const unsigned char* p = (const unsigned char*)line; *p && *p != '\n'; ++p) {
        uint32_t cp;
        int state = utf8_decode_byte(&d, *p, &cp);
        if (state == UTF8_BAD || used + 3 > PROBE_PATH_CHARS) return 0;
        if (state == UTF8_DONE) used += (size_t)wide_put_code_point(cp, out + used);
    }
    out[used] = 0;
    return used > 0;
}

void load(void) {
    g_count = 0;
    if (!list_path()) return;
    FILE* f = plat_open_read_text(g_list_path);
    if (!f) return;
    static char line[PROBE_PATH_CHARS * 4 + 2];
    while (g_count < MAX_LISTED && fgets(line, sizeof line, f)) {
        if (line_to_wide(line, g_listed[g_count])) g_count++;
    }
    fclose(f);
}

int save(void) {
    if (!g_list_path[0] && !list_path()) return 0;
    if (g_count == 0) {
        plat_delete_file(g_list_path);
        return 1;
    }
    // The program's own file in its state folder: no output of a command.
    plat_file handle = PLAT_NO_FILE;
    int created = 0;
    if (!plat_open_output(g_list_path, 0, &handle, &created)) return 0;
    if (!created && !plat_empty_file(handle)) {
        plat_close(handle);
        return 0;
    }
    FILE* f = plat_output_stream(handle);
    if (!f) return 0;
    static char line[PROBE_PATH_CHARS * 4 + 2];
    for (int i = 0; i < g_count; i++) {
        if (wide_to_utf8(g_listed[i], line, sizeof line)) fprintf(f, "%s\n", line);
    }
    int ok = fflush(f) == 0 && !ferror(f);
    return fclose(f) == 0 && ok;
}

int find(const wchar_t* journal) {
    for (int i = 0; i < g_count; i++)
        if (!wcscmp(g_listed[i], journal)) return i;
    return -1;
}

void drop(int i) {
    for (int j = i + 1; j < g_count; j++) wcscpy(g_listed[j - 1], g_listed[j]);
    g_count--;
}

} // namespace

int probe_state_add(const wchar_t* journal) {
    load();
    if (!g_list_path[0]) return 0;
    if (find(journal) >= 0) return 1;
    if (g_count == MAX_LISTED) drop(0);
    wcsncpy(g_listed[g_count], journal, PROBE_PATH_CHARS - 1);
    g_listed[g_count++][PROBE_PATH_CHARS - 1] = 0;
    return save();
}

int probe_state_remove(const wchar_t* journal) {
    load();
    int i = find(journal);
    if (i < 0) return 1;
    drop(i);
    return save();
}

int probe_state_find(uint64_t device_bytes, const char* identity,
                     wchar_t journal[PROBE_PATH_CHARS]) {
    load();
    static JournalHeader header;
    int changed = 0;
    int found = 0;
    for (int i = 0; i < g_count && !found;) {
        int is_dir = 0;
        if (!plat_file_attributes(g_listed[i], &is_dir)) {
            drop(i); // restored by hand, or deleted: nothing left to restore from
            changed = 1;
            continue;
        }
        if (journal_read_header(g_listed[i], &header) == JOURNAL_OPENED &&
            journal_matches_device(&header, device_bytes, identity)) {
            wcscpy(journal, g_listed[i]);
            found = 1;
        }
        i++;
    }
    if (changed) save();
    return found;
}
