// In-memory stand-in for the operating system, with fault injection.
#include "fake/fake_platform.h"
#include "platform/posix/posix_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <mutex>
#include <semaphore>
#include <thread>

#include "console/console.h"

FakePlatform g_fake;
// The verification may read on its helper thread while the main thread reads
// the clock: the clock, the reads and the error code take turns.
static std::recursive_mutex g_clock_lock;

namespace {

struct OpenFile {
    std::wstring path;
    uint64_t pos = 0;
    bool in_use = false;
};
OpenFile g_open[16];
// Outputs are temporary files behind handles of their own, each its own file.
enum { OUTPUT_HANDLES = 1000 };
FILE* g_outputs[32];

int fail(uint32_t code) {
    std::lock_guard<std::recursive_mutex> hold(g_clock_lock);
    g_fake.last_error = code;
    return 0;
}

OpenFile* handle_of(plat_file f) {
    if (f < 0 || f >= 16 || !g_open[f].in_use) return nullptr;
    return &g_open[f];
}

plat_file new_handle(const std::wstring& path) {
    for (int i = 0; i < 16; i++) {
        if (!g_open[i].in_use) {
            g_open[i] = OpenFile{path, 0, true};
            g_fake.open_files++;
            return i;
        }
    }
    return PLAT_NO_FILE;
}

std::wstring parent_of(const std::wstring& path) {
    size_t cut = path.find_last_of(L'/', path.size() > 1 ? path.size() - 2 : 0);
    return cut == std::wstring::npos ? L"" : path.substr(0, cut + 1);
}

const FakeVolume* volume_of(const std::wstring& path) {
    const FakeVolume* best = nullptr;
    for (const FakeVolume& v : g_fake.volumes) {
        if (path.compare(0, v.root.size(), v.root) == 0 &&
            (!best || v.root.size() > best->root.size()))
            best = &v;
    }
    return best;
}

const FakeVolume* volume_at_root(const wchar_t* root) {
    for (const FakeVolume& v : g_fake.volumes)
        if (v.root == root) return &v;
    return nullptr;
}

// Directories are kept without their trailing separator; volume roots count too.
bool dir_exists(const std::wstring& dir) {
    if (volume_at_root(dir.c_str())) return true;
    std::wstring bare = dir.size() > 1 && dir.back() == L'/' ? dir.substr(0, dir.size() - 1) : dir;
    auto it = g_fake.files.find(bare);
    return it != g_fake.files.end() && it->second.is_dir;
}

int copy_out(const std::wstring& text, wchar_t* out, size_t cap) {
    if (text.size() + 1 > cap) return fail(122);
    wcscpy(out, text.c_str());
    return 1;
}

}  // namespace

void fake_reset() {
    for (OpenFile& f : g_open) f = OpenFile{};
    g_fake = FakePlatform{};
    g_fake.test_thread = std::this_thread::get_id();
    g_stop_requested.store(0);
    g_console = plat_stdout_handle();
}

void fake_stdin(const std::string& bytes) {
    g_fake.stdin_bytes = bytes;
    g_fake.stdin_pos = 0;
}

const std::vector<uint8_t>& fake_file(const std::wstring& path) {
    static const std::vector<uint8_t> none;
    auto it = g_fake.files.find(path);
    return it == g_fake.files.end() ? none : it->second.data;
}

// The texts that differ by platform and the error messages are the Linux ones,
// linked from src/platform/posix/texts.cpp.

// ---- console and process ----
void plat_console_setup(void) {}
intptr_t plat_stdout_handle(void) { return 1; }
int plat_console_clear(intptr_t) {
    if (!g_fake.out_is_console) return 0;
    g_fake.clear_calls++;
    g_fake.out += "<clear>";
    return 1;
}
void plat_console_home(intptr_t) {
    if (g_fake.out_is_console) g_fake.out += "<home>";
}
void plat_console_erase_line(intptr_t) {
    if (g_fake.out_is_console) g_fake.out += "<erase>";
}
void plat_console_cursor_visible(intptr_t, int visible) {
    if (g_fake.out_is_console) g_fake.cursor_visible = visible;
}
void plat_console_restore(void) {}
void plat_set_ctrl_handler(plat_ctrl_handler handler, int add) {
    g_fake.handler = add ? handler : nullptr;
}
void plat_ctrl_release(void) { g_fake.ctrl_released = true; }
void plat_end_waits(void) { g_fake.waits_ended = true; }
int plat_console_closes_with_process(void) { return g_fake.console_closes_with_process; }
int plat_key_waiting(void) { return !g_fake.keys.empty(); }
int plat_key_read(void) {
    if (g_fake.keys.empty()) return 0;
    int key = g_fake.keys.front();
    g_fake.keys.erase(g_fake.keys.begin());
    return key;
}

// ---- standard streams ----
void plat_write_stdout(const char* bytes, size_t count) { g_fake.out.append(bytes, count); }
void plat_flush_stdout(void) {}
void plat_write_stderr(const char* bytes, size_t count) { g_fake.err.append(bytes, count); }
long plat_read_stdin(char* buffer, size_t cap) {
    if (g_fake.stdin_error || g_fake.waits_ended) return -1;
    size_t n = std::min(cap, g_fake.stdin_bytes.size() - g_fake.stdin_pos);
    memcpy(buffer, g_fake.stdin_bytes.data() + g_fake.stdin_pos, n);
    g_fake.stdin_pos += n;
    return (long)n;
}

// ---- files ----
int plat_open_write_through(const wchar_t* path, plat_file* out) {
    uint64_t call = ++g_fake.open_write_calls;
    if (g_fake.open_write_error && (!g_fake.open_write_call || call == g_fake.open_write_call))
        return fail(g_fake.open_write_error);
    auto it = g_fake.files.find(path);
    if (it != g_fake.files.end() && it->second.is_dir) return fail(5);
    if (!dir_exists(parent_of(path))) return fail(3);
    g_fake.files[path] = FakeFile{};
    *out = new_handle(path);
    return *out == PLAT_NO_FILE ? fail(4) : 1;
}

int plat_open_read_sequential(const wchar_t* path, plat_file* out) {
    uint64_t call = ++g_fake.open_read_calls;
    if (g_fake.open_read_error && (!g_fake.open_read_call || call == g_fake.open_read_call))
        return fail(g_fake.open_read_error);
    auto it = g_fake.files.find(path);
    if (it == g_fake.files.end() || it->second.is_dir) return fail(2);
    *out = new_handle(path);
    return *out == PLAT_NO_FILE ? fail(4) : 1;
}

int plat_write(plat_file f, const void* buffer, uint32_t length, uint32_t* moved) {
    uint64_t call = ++g_fake.write_calls;
    g_fake.write_lengths.push_back(length);
    if (g_fake.on_write) g_fake.on_write(call);
    g_fake.now += g_fake.write_cost;
    OpenFile* h = handle_of(f);
    if (!h) return fail(6);
    uint32_t n = length;
    bool failed = false;
    if (call == g_fake.fail_write_call) {
        n = std::min(g_fake.fail_write_moved, length);
        failed = true;
    } else if (call == g_fake.short_write_call) {
        n = std::min(g_fake.short_write_moved, length);
    }
    std::vector<uint8_t>& data = g_fake.files[h->path].data;
    if (data.size() < h->pos + n) data.resize(h->pos + n);
    memcpy(data.data() + h->pos, buffer, n);
    h->pos += n;
    *moved = n;
    return failed ? fail(g_fake.fail_write_error) : 1;
}

int plat_read(plat_file f, void* buffer, uint32_t length, uint32_t* moved) {
    std::lock_guard<std::recursive_mutex> hold(g_clock_lock);
    if (std::this_thread::get_id() != g_fake.test_thread) g_fake.reads_elsewhere++;
    uint64_t call = ++g_fake.read_calls;
    if (g_fake.on_read) g_fake.on_read(call);
    g_fake.now += g_fake.read_cost;
    OpenFile* h = handle_of(f);
    if (!h) return fail(6);
    if (call == g_fake.fail_read_call) return fail(g_fake.fail_read_error);
    const std::vector<uint8_t>& data = g_fake.files[h->path].data;
    uint64_t avail = data.size() > h->pos ? data.size() - h->pos : 0;
    uint32_t n = (uint32_t)std::min<uint64_t>(length, avail);
    if (call == g_fake.short_read_call) n = std::min(n, g_fake.short_read_moved);
    memcpy(buffer, data.data() + h->pos, n);
    for (uint64_t off : g_fake.corrupt_offsets)
        if (off >= h->pos && off < h->pos + n) ((uint8_t*)buffer)[off - h->pos] ^= 0x5A;
    h->pos += n;
    *moved = n;
    return 1;
}

int plat_flush(plat_file f) {
    g_fake.flush_calls++;
    OpenFile* h = handle_of(f);
    if (!h) return fail(6);
    if (g_fake.flush_error) return fail(g_fake.flush_error);
    FakeFile& file = g_fake.files[h->path];
    file.durable = file.data.size();
    return 1;
}

int plat_journal_create(const wchar_t* path, plat_file* out) {
    *out = PLAT_NO_FILE;
    if (g_fake.files.count(path)) return fail(80);
    if (!dir_exists(parent_of(path))) return fail(3);
    g_fake.files[path] = FakeFile{};
    *out = new_handle(path);
    return *out == PLAT_NO_FILE ? fail(4) : 1;
}

int plat_journal_open_read(const wchar_t* path, plat_file* out) {
    *out = PLAT_NO_FILE;
    auto it = g_fake.files.find(path);
    if (it == g_fake.files.end()) return fail(2);
    if (it->second.is_dir) return fail(5);
    *out = new_handle(path);
    return *out == PLAT_NO_FILE ? fail(4) : 1;
}

int plat_write_at(plat_file f, uint64_t offset, const void* buffer, uint32_t length,
                  uint32_t* moved) {
    *moved = 0;
    uint64_t call = ++g_fake.write_at_calls;
    OpenFile* h = handle_of(f);
    if (!h) return fail(6);
    if (call == g_fake.fail_write_at_call) return fail(29);
    std::vector<uint8_t>& data = g_fake.files[h->path].data;
    if (data.size() < offset + length) data.resize(offset + length);
    memcpy(data.data() + offset, buffer, length);
    *moved = length;
    return 1;
}

int plat_read_at(plat_file f, uint64_t offset, void* buffer, uint32_t length, uint32_t* moved) {
    *moved = 0;
    OpenFile* h = handle_of(f);
    if (!h) return fail(6);
    const std::vector<uint8_t>& data = g_fake.files[h->path].data;
    uint64_t avail = data.size() > offset ? data.size() - offset : 0;
    uint32_t n = (uint32_t)std::min<uint64_t>(length, avail);
    if (n) memcpy(buffer, data.data() + offset, n);
    *moved = n;
    return 1;
}

void plat_close(plat_file f) {
    if (f >= OUTPUT_HANDLES && f < OUTPUT_HANDLES + 32) {
        if (g_outputs[f - OUTPUT_HANDLES]) fclose(g_outputs[f - OUTPUT_HANDLES]);
        g_outputs[f - OUTPUT_HANDLES] = nullptr;
        return;
    }
    OpenFile* h = handle_of(f);
    if (!h) return;
    h->in_use = false;
    g_fake.open_files--;
}

int plat_delete_file(const wchar_t* path) {
    if (g_fake.delete_error) return fail(g_fake.delete_error);
    auto it = g_fake.files.find(path);
    if (it == g_fake.files.end()) return fail(2);
    if (it->second.is_dir) return fail(5);
    g_fake.files.erase(it);
    return 1;
}

int plat_file_size(const wchar_t* path, uint64_t* bytes) {
    auto it = g_fake.files.find(path);
    if (it == g_fake.files.end()) return fail(2);
    if (it->second.is_dir) return fail(5);
    *bytes = it->second.data.size();
    return 1;
}

int plat_file_attributes(const wchar_t* path, int* is_dir) {
    std::wstring p = path;
    auto it = g_fake.files.find(p);
    if (it == g_fake.files.end() && p.size() > 1 && p.back() == L'/')
        it = g_fake.files.find(p.substr(0, p.size() - 1));
    if (it == g_fake.files.end()) {
        for (const FakeVolume& v : g_fake.volumes) {
            if (v.root == p) {
                *is_dir = 1;
                return 1;
            }
        }
        return fail(parent_of(p).empty() || g_fake.files.count(parent_of(p)) ? 2 : 3);
    }
    *is_dir = it->second.is_dir ? 1 : 0;
    return 1;
}

uint32_t plat_full_path(const wchar_t* path, wchar_t* out, uint32_t cap) {
    std::wstring full = path[0] == L'/' ? std::wstring(path) : g_fake.current_dir + path;
    if (full.size() + 1 > cap) return (uint32_t)full.size() + 1;
    wcscpy(out, full.c_str());
    return (uint32_t)full.size();
}

// The unit tests read logs from memory streams; no fake file is ever a log.
FILE* plat_open_read_text(const wchar_t*) {
    fail(2);
    return nullptr;
}

// No links in the fake: one file has one name, its number the name's hash.
int plat_file_identity(const wchar_t* path, int, PlatFileId* id) {
    std::wstring p = path[0] == L'/' ? std::wstring(path) : g_fake.current_dir + path;
    *id = PlatFileId{};
    auto it = g_fake.files.find(p);
    if (it != g_fake.files.end()) {
        id->volume = 1;
        id->kind = it->second.is_dir ? PLAT_DIRECTORY : PLAT_REGULAR;
        id->index = std::hash<std::wstring>()(p);
        return 1;
    }
    std::wstring dir = parent_of(p);
    std::wstring name = p.substr(dir.size());
    if (dir.empty() || name.empty() || name.size() >= PLAT_NAME_CHARS || !dir_exists(dir))
        return fail(3);
    if (dir.size() > 1) dir.pop_back();
    id->kind = PLAT_MISSING;
    id->named = 1;
    id->dir_volume = 1;
    id->dir_index = std::hash<std::wstring>()(dir);
    wcscpy(id->name, name.c_str());
    return 1;
}

int plat_same_identity(const PlatFileId* a, const PlatFileId* b) {
    if (a->kind != PLAT_MISSING && a->kind == b->kind && a->index == b->index) return 1;
    return a->named && b->named && a->dir_index == b->dir_index && wcscmp(a->name, b->name) == 0;
}

int plat_same_file(const wchar_t* a, const wchar_t* b) { return wcscmp(a, b) == 0; }

int plat_open_output(const wchar_t* path, int, plat_file* out, int* created) {
    *created = 1;
    std::wstring dir = parent_of(path);
    if (!dir.empty() && !dir_exists(dir)) return fail(3);
    for (int i = 0; i < 32; i++) {
        if (!g_outputs[i]) {
            g_outputs[i] = tmpfile();
            *out = OUTPUT_HANDLES + i;
            return g_outputs[i] ? 1 : fail(4);
        }
    }
    return fail(4);
}

int plat_empty_file(plat_file) { return 1; }

FILE* plat_output_stream(plat_file f) {
    if (f < OUTPUT_HANDLES || f >= OUTPUT_HANDLES + 32) return nullptr;
    FILE* stream = g_outputs[f - OUTPUT_HANDLES];
    g_outputs[f - OUTPUT_HANDLES] = nullptr;
    return stream;
}

int plat_handle_identity(plat_file f, PlatFileId* id) {
    *id = PlatFileId{};
    id->kind = PLAT_REGULAR;
    id->volume = 1;
    OpenFile* h = handle_of(f);
    id->index = h ? std::hash<std::wstring>()(h->path) : (uint64_t)f;
    return 1;
}

int plat_stream_identity(FILE* f, PlatFileId* id) {
    *id = PlatFileId{};
    id->kind = PLAT_REGULAR;
    id->volume = 2;
    id->index = (uint64_t)(uintptr_t)f;
    return 1;
}

// ---- volumes ----
int plat_volume_root(const wchar_t* path, wchar_t* root, uint32_t cap) {
    const FakeVolume* v = volume_of(path);
    if (!v) return fail(3);
    if (v->root_error) return fail(v->root_error);
    return copy_out(v->root, root, cap);
}

int plat_same_volume(const wchar_t* dir_a, const wchar_t* dir_b) {
    const FakeVolume* a = volume_of(dir_a);
    return a && a == volume_of(dir_b);
}

// Every fake volume is a disk of its own.
int plat_whole_disk_id(const wchar_t* dir, uint64_t* disk) {
    const FakeVolume* v = volume_of(dir);
    if (!v) return fail(3);
    *disk = (uint64_t)(uintptr_t)v;
    return 1;
}

int plat_free_bytes_available(const wchar_t* root, uint64_t* bytes) {
    const FakeVolume* v = volume_at_root(root);
    if (!v) return fail(3);
    if (v->free_error) return fail(v->free_error);
    *bytes = v->free_bytes;
    return 1;
}

int plat_logical_sector_bytes(const wchar_t* root, uint32_t* bytes) {
    const FakeVolume* v = volume_at_root(root);
    if (!v) return fail(3);
    if (v->sector_error) return fail(v->sector_error);
    *bytes = v->logical;
    return 1;
}

int plat_physical_sector_bytes(const wchar_t* root, uint32_t* bytes) {
    const FakeVolume* v = volume_at_root(root);
    if (!v || v->physical == 0) return fail(50);
    *bytes = v->physical;
    return 1;
}

int plat_filesystem_name(const wchar_t* root, wchar_t* name, uint32_t cap) {
    const FakeVolume* v = volume_at_root(root);
    if (!v || v->filesystem.empty()) return fail(1);
    return copy_out(v->filesystem, name, cap);
}

// ---- identity ----
void plat_directory_identity(const wchar_t*, PlatDeviceIdentity* out) {
    g_fake.identity_calls++;
    *out = g_fake.identity;
}

void plat_device_identity(const wchar_t*, PlatDeviceIdentity* out) {
    g_fake.identity_calls++;
    *out = g_fake.identity;
}

int plat_list_disks(PlatDiskEntry* out, int cap) {
    int n = 0;
    for (const PlatDiskEntry& d : g_fake.disks)
        if (n < cap) out[n++] = d;
    return n;
}

// ---- memory ----
void* plat_alloc_pages(size_t bytes) {
    if (g_fake.alloc_pages_error) {
        fail(g_fake.alloc_pages_error);
        return nullptr;
    }
    void* p = aligned_alloc(4096, (bytes + 4095) / 4096 * 4096);
    if (!p) {
        fail(8);
        return nullptr;
    }
    memset(p, 0, bytes);
    g_fake.page_buffers++;
    return p;
}

void plat_free_pages(void* p, size_t) {
    if (!p) return;
    free(p);
    g_fake.page_buffers--;
}

void* plat_mem_realloc(void* p, size_t bytes) {
    g_fake.realloc_sizes.push_back(bytes);
    if (g_fake.fail_realloc_calls.count(++g_fake.realloc_calls)) return nullptr;
    return realloc(p, bytes);
}

void* plat_mem_alloc(size_t bytes) {
    if (g_fake.fail_alloc_calls.count(++g_fake.alloc_calls)) return nullptr;
    return malloc(bytes);
}

void plat_mem_free(void* p) { free(p); }

// ---- time ----
int64_t plat_perf_counter(void) {
    std::lock_guard<std::recursive_mutex> hold(g_clock_lock);
    int64_t ticks = (int64_t)(g_fake.now * 1e9 + 0.5);
    g_fake.now += g_fake.read_tick;
    return ticks;
}
int64_t plat_perf_frequency(void) { return 1000000000; }
int plat_local_time(PlatLocalTime* out) {
    if (g_fake.local_time_fails) return 0;
    *out = g_fake.local;
    return 1;
}
void plat_sleep_ms(uint32_t ms) { g_fake.sleeps.push_back(ms); }

// ---- CPUs and threads ----
uint32_t plat_cpu_count(void) { return g_fake.cpus; }
double plat_thread_cpu_seconds(void) {
    std::lock_guard<std::recursive_mutex> hold(g_clock_lock);
    return g_fake.reads_use_cpu ? g_fake.now : 0.0;
}
int plat_thread_start(plat_thread_body body, void* arg, plat_thread* out) {
    if (g_fake.thread_start_error != 0) return fail(g_fake.thread_start_error);
    *out = (plat_thread) new std::thread(body, arg);
    g_fake.threads_started++;
    g_fake.threads_running++;
    return 1;
}
void plat_thread_yield(void) { std::this_thread::yield(); }
void plat_thread_join(plat_thread thread) {
    std::thread* t = (std::thread*)thread;
    t->join();
    delete t;
    g_fake.threads_running--;
}
int plat_semaphore_create(plat_semaphore* out) {
    *out = (plat_semaphore) new std::counting_semaphore<>(0);
    return 1;
}
void plat_semaphore_post(plat_semaphore s) { ((std::counting_semaphore<>*)s)->release(); }
void plat_semaphore_wait(plat_semaphore s) { ((std::counting_semaphore<>*)s)->acquire(); }
void plat_semaphore_destroy(plat_semaphore s) { delete (std::counting_semaphore<>*)s; }

// ---- errors ----
uint32_t plat_last_error(void) {
    std::lock_guard<std::recursive_mutex> hold(g_clock_lock);
    return g_fake.last_error;
}

int plat_error_message(uint32_t code, wchar_t* out, size_t cap) {
    const char* text = posix_code_text(code);
    if (!text || cap == 0) return 0;
    size_t n = 0;
    for (; text[n] && n + 1 < cap; ++n) out[n] = (wchar_t)(unsigned char)text[n];
    out[n] = 0;
    return 1;
}

void fake_reset_with_card() {
    fake_reset();
    FakeVolume card;
    card.root = L"/mnt/card/";
    card.free_bytes = 4ull << 30;
    g_fake.volumes = {card};
    g_fake.files[L"/home/user"].is_dir = true;
    g_fake.write_cost = 0.01;
    g_fake.read_cost = 0.01;
}
