// The test file as a run of segment files: names, sizes, opening the next one.
#include "engine/test_file.h"

#include <wctype.h>

#include "platform/error_codes.h"
#include "engine/run_files.h"
#include "platform/platform.h"

int filesystem_caps_file_size(const wchar_t* fs) {
    static const wchar_t* const names[] = {L"vfat",  L"msdos", L"fat",    L"fat32",
                                           L"fat16", L"fat12", L"fusefat"};
    // A user-space driver shows as "fuse.<name>" or "fuseblk.<name>" in the mount table.
    if (wcsncmp(fs, L"fuse.", 5) == 0) fs += 5;
    else if (wcsncmp(fs, L"fuseblk.", 8) == 0) fs += 8;
    for (const wchar_t* name : names) {
        size_t i = 0;
        while (name[i] && fs[i] && (wchar_t)towlower((wint_t)fs[i]) == name[i]) i++;
        if (!name[i] && !fs[i]) return 1;
    }
    return 0;
}

uint64_t segment_size_for(uint32_t alignment, uint32_t block) {
    uint64_t a = alignment ? alignment : 1;
    uint64_t b = block ? block : 1;
    uint64_t x = a, y = b;
    while (y != 0) {
        uint64_t r = x % y;
        x = y;
        y = r;
    }
    uint64_t unit = a / x * b;
    return FAT_FILE_LIMIT_BYTES / unit * unit;
}

uint64_t segment_bytes_for_run(const wchar_t* filesystem, uint64_t target, uint32_t alignment,
                               uint32_t block) {
    if (!filesystem_caps_file_size(filesystem) || target <= FAT_FILE_LIMIT_BYTES) return 0;
    return segment_size_for(alignment, block);
}

int segment_path(const wchar_t* first, uint32_t index, wchar_t* out, size_t cap) {
    size_t len = wcslen(first);
    if (len + 1 > cap) return 0;
    wcscpy(out, first);
    if (index == 0) return 1;
    int n = swprintf(out + len, cap - len, L".%03lu", (unsigned long)index);
    return n > 0;
}

// Names on the stack: drives tested side by side open their segments at once.
uint32_t segments_after(const wchar_t* first) {
    wchar_t path[SEGMENT_PATH_CHARS];
    uint32_t n = 0;
    int is_dir = 0;
    while (segment_path(first, n + 1, path, SEGMENT_PATH_CHARS) &&
           plat_file_attributes(path, &is_dir) && !is_dir)
        n++;
    return n;
}

int find_segments(const wchar_t* first, uint32_t* count, uint64_t* total_bytes) {
    wchar_t path[SEGMENT_PATH_CHARS];
    uint32_t n = 1 + segments_after(first);
    uint64_t total = 0;
    for (uint32_t k = 0; k < n; k++) {
        uint64_t size = 0;
        if (!segment_path(first, k, path, SEGMENT_PATH_CHARS) || !plat_file_size(path, &size))
            return 0;
        total += size;
    }
    *count = n;
    *total_bytes = total;
    return 1;
}

int delete_segments_from(const wchar_t* first, uint32_t from) {
    wchar_t path[SEGMENT_PATH_CHARS];
    PlatFileId id;
    int is_dir = 0;
    for (uint32_t k = from; segment_path(first, k, path, SEGMENT_PATH_CHARS) &&
                            plat_file_attributes(path, &is_dir) && !is_dir;
         k++) {
        // A segment's name given to an output (a log NAME.001) is no segment to remove.
        const RunFile* known = plat_file_identity(path, 0, &id) ? run_files_match(&id) : nullptr;
        if (known && wcscmp(known->path, first) != 0) continue;
        if (!plat_delete_file(path)) return 0;
    }
    return 1;
}

static int open_segment(TestFile* f, uint32_t index) {
    wchar_t path[SEGMENT_PATH_CHARS];
    f->index = index;
    // Cannot fail for a path below PATH_CHARS; the open then reports a bad name.
    if (!segment_path(f->first_path, index, path, SEGMENT_PATH_CHARS)) path[0] = 0;
    if (!f->writing) return plat_open_read_sequential(path, &f->file.handle);
    if (!plat_open_write_through(path, &f->file.handle)) return 0;
    // Known to the command from now on: no output made later may land on it.
    PlatFileId id;
    if (plat_handle_identity(f->file.handle, &id)) run_files_add(&id, "test file", f->first_path);
    return 1;
}

int test_file_open(TestFile* f, const wchar_t* first_path, uint64_t segment_bytes, int writing) {
    f->first_path = first_path;
    f->segment_bytes = segment_bytes;
    f->writing = writing;
    f->error = 0;
    return open_segment(f, 0);
}

uint32_t test_file_cut(const TestFile* f, uint64_t offset, uint32_t chunk) {
    if (f->segment_bytes == 0) return chunk;
    uint64_t room = f->segment_bytes - offset % f->segment_bytes;
    return room < chunk ? (uint32_t)room : chunk;
}

int test_file_split_at_limit(TestFile* f, uint64_t offset, uint32_t moved, uint32_t code,
                             uint64_t target) {
    wchar_t path[SEGMENT_PATH_CHARS];
    if (f->segment_bytes != 0 || offset == 0 || (target - 1) / offset > 999) return 0;
    // An unbuffered write cut at an unaligned end leaves no reason (29): where it
    // ended tells. What it moved past offset stays in this segment, unread.
    if (code != WINERR_FILE_TOO_LARGE &&
        !(code == WINERR_WRITE_FAULT && offset + moved == FAT_FILE_LIMIT_BYTES))
        return 0;
    // No question covered NAME.001 and on here: a file of that name is not ours to overwrite.
    int is_dir = 0;
    for (uint32_t k = 1; (uint64_t)k * offset < target; k++) {
        if (!segment_path(f->first_path, k, path, SEGMENT_PATH_CHARS) ||
            plat_file_attributes(path, &is_dir))
            return 0;
    }
    f->segment_bytes = offset;
    return 1;
}

TestFileStep test_file_reach(TestFile* f, uint64_t offset) {
    if (f->segment_bytes == 0 || offset / f->segment_bytes == f->index) return STEP_READY;
    TestFileStep step = STEP_READY;
    if (f->writing && !plat_flush(f->file.handle)) step = STEP_FLUSH_FAILED;
    if (step != STEP_READY) f->error = plat_last_error();
    f->file.release();
    if (step == STEP_READY && !open_segment(f, (uint32_t)(offset / f->segment_bytes))) {
        step = STEP_OPEN_FAILED;
        f->error = plat_last_error();
    }
    return step;
}
