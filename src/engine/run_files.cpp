// The command's files in one table, filled slot by slot so that a drive thread
// can look up while another adds.
#include "engine/run_files.h"

#include <atomic>

namespace {

// Every output of the most drives, and the segments of a kept test file read back.
enum { RUN_FILES_MAX = 1200 };

struct Slot {
    RunFile file;
    std::atomic<int> ready;
};

Slot g_slots[RUN_FILES_MAX];
std::atomic<int> g_count{0};

} // namespace

void run_files_clear(void) { run_files_back_to(0); }

void run_files_add(const PlatFileId* id, const char* what, const wchar_t* path) {
    if (id->kind == PLAT_MISSING) return;
    int i = g_count.fetch_add(1);
    if (i >= RUN_FILES_MAX) {
        g_count.fetch_sub(1);
        return;
    }
    g_slots[i].file = {id->volume, id->index, what, path};
    g_slots[i].ready.store(1, std::memory_order_release);
}

void run_files_add_path(const wchar_t* path, const char* what) {
    static thread_local PlatFileId id;
    if (plat_file_identity(path, 1, &id)) run_files_add(&id, what, path);
}

const RunFile* run_files_match(const PlatFileId* id) {
    if (id->kind == PLAT_MISSING) return nullptr;
    int n = g_count.load();
    if (n > RUN_FILES_MAX) n = RUN_FILES_MAX;
    for (int i = 0; i < n; i++) {
        const Slot* s = &g_slots[i];
        if (s->ready.load(std::memory_order_acquire) && s->file.volume == id->volume &&
            s->file.index == id->index)
            return &s->file;
    }
    return nullptr;
}

int run_files_mark(void) { return g_count.load(); }

void run_files_back_to(int mark) {
    for (int i = mark; i < g_count.load() && i < RUN_FILES_MAX; i++) g_slots[i].ready.store(0);
    g_count.store(mark);
}
