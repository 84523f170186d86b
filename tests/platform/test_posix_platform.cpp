// The real Linux platform layer: error codes and texts, lexical full paths,
// volume queries, direct I/O and signals, in a temporary directory.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "platform/disk.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::wstring message_for(uint32_t code) {
    wchar_t text[512];
    return plat_error_message(code, text, 512) ? std::wstring(text) : L"<none>";
}

// A fresh directory under the build's temp space, removed afterwards.
class TempDir : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override {
        char pattern[] = "/tmp/plat-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::wstring path(const std::string& name) const { return widen(dir + "/" + name); }
};

TEST(ErrorCodes, ErrnoMapsToWindowsCodes) {
    struct Case { int err; uint32_t code; } cases[] = {
        {ENOENT, 2}, {EACCES, 5}, {EPERM, 5}, {EISDIR, 5}, {ENOMEM, 8}, {EROFS, 19},
        {ENXIO, 21}, {ENODEV, 21}, {EOPNOTSUPP, 50}, {EINVAL, 87}, {ENOSPC, 112},
        {EDQUOT, 112}, {EBUSY, 170}, {ENAMETOOLONG, 206}, {EFBIG, 223}, {ENOTDIR, 267},
        {EIO, 1117}, {ELOOP, 31}, {EXDEV, 31}, {0, 31},
    };
    for (const auto& c : cases) EXPECT_EQ(plat_posix_error_code(c.err), c.code) << c.err;
}

TEST(ErrorCodes, MessagesFollowTheErrnoBehindTheCode) {
    plat_posix_set_error(ENOSPC, 0);
    EXPECT_EQ(message_for(112), L"No space left on device");
    plat_posix_set_error(EISDIR, 0);
    EXPECT_EQ(message_for(5), L"Is a directory");
    EXPECT_EQ(message_for(267), L"Not a directory");          // no failure behind it: the usual errno
    plat_posix_set_error(EXDEV, 0);
    EXPECT_EQ(plat_last_error(), 31u);
    EXPECT_EQ(message_for(31), L"Invalid cross-device link");
    plat_posix_set_error(EINVAL, 1);
    EXPECT_EQ(message_for(87), L"Invalid argument (direct I/O is not supported on this file system)");
    plat_posix_set_error(EINVAL, 0);
    EXPECT_EQ(message_for(87), L"Invalid argument");
    EXPECT_EQ(message_for(8), L"Not enough memory resources are available to process this command.");
    EXPECT_EQ(message_for(23), L"Data error (cyclic redundancy check).");
    EXPECT_EQ(message_for(29), L"The system cannot write to the specified device.");
    EXPECT_EQ(message_for(30), L"The system cannot read from the specified device.");
    EXPECT_EQ(message_for(4242), L"<none>");
    wchar_t tiny[4];
    EXPECT_EQ(plat_error_message(23, tiny, 4), 0);
}

TEST_F(TempDir, FailuresOfFileCallsGiveTheirCodes) {
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    FILE* f = fopen((dir + "/file").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    ASSERT_EQ(symlink("loop", (dir + "/loop").c_str()), 0);

    plat_file h = 0;
    int is_dir = -1;
    struct Case { const char* what; std::function<int()> call; uint32_t code; std::wstring text; } cases[] = {
        {"missing file", [&] { return plat_open_read_sequential(path("missing").c_str(), &h); }, 2,
         L"No such file or directory"},
        {"missing parent", [&] { return plat_open_read_sequential(path("nodir/x").c_str(), &h); }, 3,
         L"No such file or directory"},
        {"through a file", [&] { return plat_file_attributes(path("file/x").c_str(), &is_dir); }, 267,
         L"Not a directory"},
        {"delete missing", [&] { return plat_delete_file(path("missing").c_str()); }, 2,
         L"No such file or directory"},
        {"write a directory", [&] { return plat_open_write_through(path("sub").c_str(), &h); }, 5,
         L"Is a directory"},
        {"symlink loop", [&] { return plat_file_attributes(path("loop").c_str(), &is_dir); }, 31,
         L"Too many levels of symbolic links"},
        {"long name", [&] { return plat_file_attributes(path(std::string(300, 'n')).c_str(), &is_dir); }, 206,
         L"File name too long"},
        {"unencodable", [&] { return plat_file_attributes(std::wstring(1, (wchar_t)0xD800).c_str(), &is_dir); },
         31, L"Invalid or incomplete multibyte or wide character"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(), 0);
        EXPECT_EQ(plat_last_error(), c.code);
        EXPECT_EQ(message_for(c.code), c.text);
    }
    EXPECT_EQ(h, PLAT_NO_FILE);  // a failed open leaves no handle behind

    EXPECT_EQ(plat_file_attributes(path("sub/").c_str(), &is_dir), 1);
    EXPECT_EQ(is_dir, 1);
    EXPECT_EQ(plat_file_attributes(path("file").c_str(), &is_dir), 1);
    EXPECT_EQ(is_dir, 0);
}

TEST_F(TempDir, TestFileInPlaceOfASymlinkIsRefusedAndTheTargetKept) {
    std::string victim = dir + "/victim";
    FILE* f = fopen(victim.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("keep me", f);
    fclose(f);
    ASSERT_EQ(symlink(victim.c_str(), (dir + "/link").c_str()), 0);
    plat_file h = PLAT_NO_FILE;
    EXPECT_EQ(plat_open_write_through(path("link").c_str(), &h), 0);
    EXPECT_EQ(plat_last_error(), 31u);
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 7);
}

TEST_F(TempDir, FullPathIsLexical) {
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(mkdir((dir + "/cwd").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/usr/share", (dir + "/cwd/ln").c_str()), 0);
    ASSERT_EQ(chdir((dir + "/cwd").c_str()), 0);
    const std::wstring cwd = widen(dir + "/cwd");
    const std::wstring parent = widen(dir);
    struct Case { std::wstring in; std::wstring out; } cases[] = {
        {L"log.csv", cwd + L"/log.csv"},
        {L"./a/../b", cwd + L"/b"},
        {L".", cwd},
        {L"dir/.", cwd + L"/dir"},
        {L"../", parent + L"/"},
        {L"ln/..", cwd},                    // no symlink resolution
        {L"missing/deeper/file", cwd + L"/missing/deeper/file"},
        {L"/x/./y/../z", L"/x/z"},
        {L"//a//b/", L"/a/b/"},
        {L"/..", L"/"},
        {L"/", L"/"},
        {L"/a/../..", L"/"},
        {L"\u00e9t\u00e9.csv", cwd + L"/\u00e9t\u00e9.csv"},
    };
    for (const auto& c : cases) {
        wchar_t out[4096];
        uint32_t n = plat_full_path(c.in.c_str(), out, 4096);
        EXPECT_EQ(std::wstring(out), c.out) << std::string(c.in.begin(), c.in.end());
        EXPECT_EQ(n, c.out.size());
    }
    // Like GetFullPathNameW: too small a buffer gives the size needed, NUL included.
    wchar_t out[64];
    EXPECT_EQ(plat_full_path(L"/ab/cd", out, 7), 6u);
    EXPECT_STREQ(out, L"/ab/cd");
    EXPECT_EQ(plat_full_path(L"/ab/cd", out, 6), 7u);
    EXPECT_EQ(plat_full_path(L"", out, 64), 0u);
    ASSERT_EQ(chdir(saved), 0);
}

TEST_F(TempDir, VolumeOfATemporaryDirectory) {
    wchar_t root[4096];
    ASSERT_EQ(plat_volume_root(path("").c_str(), root, 4096), 1) << plat_last_error();
    std::wstring r = root;
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back(), L'/');
    std::string narrow(r.begin(), r.end());
    struct stat at_root, at_dir;
    ASSERT_EQ(stat(narrow.c_str(), &at_root), 0);
    ASSERT_EQ(stat(dir.c_str(), &at_dir), 0);
    EXPECT_EQ(at_root.st_dev, at_dir.st_dev);
    char real[4096];
    ASSERT_NE(realpath(dir.c_str(), real), nullptr);
    EXPECT_EQ(std::string(real).rfind(narrow, 0), 0u);

    // A path that does not exist yet belongs to its nearest existing parent's volume.
    wchar_t later[4096];
    ASSERT_EQ(plat_volume_root(path("not/yet/there.bin").c_str(), later, 4096), 1);
    EXPECT_EQ(std::wstring(later), r);
    EXPECT_EQ(plat_volume_root(path("").c_str(), later, (uint32_t)r.size()), 0);
    EXPECT_EQ(plat_last_error(), 206u);

    uint64_t free_bytes = 0;
    ASSERT_EQ(plat_free_bytes_available(root, &free_bytes), 1);
    EXPECT_GT(free_bytes, 0u);
    uint32_t logical = 0, physical = 0;
    ASSERT_EQ(plat_logical_sector_bytes(root, &logical), 1);
    EXPECT_TRUE(logical == 512 || logical == 1024 || logical == 2048 || logical == 4096) << logical;
    if (plat_physical_sector_bytes(root, &physical)) {
        EXPECT_GE(physical, logical);
    }
    wchar_t fs[64];
    ASSERT_EQ(plat_filesystem_name(root, fs, 64), 1);
    EXPECT_GT(wcslen(fs), 0u);
    ASSERT_EQ(plat_filesystem_name(root, fs, 3), 1);
    EXPECT_EQ(wcslen(fs), 2u);
}

TEST(Volumes, PseudoFileSystemHasNoBlockDevice) {
    wchar_t root[256];
    ASSERT_EQ(plat_volume_root(L"/proc/self/status", root, 256), 1);
    EXPECT_STREQ(root, L"/proc/");
    wchar_t fs[64];
    ASSERT_EQ(plat_filesystem_name(root, fs, 64), 1);
    EXPECT_STREQ(fs, L"proc");
    uint32_t logical = 0, physical = 0;
    ASSERT_EQ(plat_logical_sector_bytes(root, &logical), 1);
    EXPECT_EQ(logical, 512u);
    EXPECT_EQ(plat_physical_sector_bytes(root, &physical), 0);
}

TEST_F(TempDir, EscapedMountPointIsFound) {
    const std::string point = dir + "/with space\tand tab";
    ASSERT_EQ(mkdir(point.c_str(), 0755), 0);
    if (mount("none", point.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount here";
    wchar_t root[4096];
    int ok = plat_volume_root(widen(point + "/new.bin").c_str(), root, 4096);
    wchar_t fs[64] = L"";
    int fs_ok = plat_filesystem_name(root, fs, 64);
    umount(point.c_str());
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(std::wstring(root), widen(point + "/"));
    EXPECT_EQ(fs_ok, 1);
    EXPECT_STREQ(fs, L"tmpfs");
}

// A directory and its subdirectory share their disk; two memory file systems
// are each a volume of their own, on no disk and apart from the directory's.
TEST_F(TempDir, WholeDiskBehindADirectory) {
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    uint64_t here = 0, sub = 0, missing = 0;
    ASSERT_EQ(plat_whole_disk_id(path("").c_str(), &here), 1);
    ASSERT_EQ(plat_whole_disk_id(path("sub").c_str(), &sub), 1);
    EXPECT_EQ(here, sub);
    EXPECT_EQ(plat_whole_disk_id(path("not-there").c_str(), &missing), 0);

    const std::string a = dir + "/a", b = dir + "/b";
    ASSERT_EQ(mkdir(a.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(b.c_str(), 0755), 0);
    if (mount("none", a.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount here";
    int mounted_b = mount("none", b.c_str(), "tmpfs", 0, "size=1m") == 0;
    uint64_t in_a = 0, in_b = 0;
    int ok_a = plat_whole_disk_id(widen(a).c_str(), &in_a);
    int ok_b = plat_whole_disk_id(widen(b).c_str(), &in_b);
    umount(a.c_str());
    if (mounted_b) umount(b.c_str());
    ASSERT_TRUE(mounted_b);
    EXPECT_EQ(ok_a, 1);
    EXPECT_EQ(ok_b, 1);
    EXPECT_NE(in_a, in_b);
    EXPECT_NE(in_a, here);
}

TEST_F(TempDir, DirectWriteAndReadRoundTrip) {
    const uint32_t size = 1u << 20;
    const std::wstring file = path("io.bin");
    plat_file h = PLAT_NO_FILE;
    if (!plat_open_write_through(file.c_str(), &h)) {
        if (plat_last_error() == 87) GTEST_SKIP() << "O_DIRECT refused here";
        FAIL() << plat_last_error();
    }
    EXPECT_NE(fcntl((int)h, F_GETFD) & FD_CLOEXEC, 0);
    unsigned char* out = (unsigned char*)plat_alloc_pages(size);
    unsigned char* in = (unsigned char*)plat_alloc_pages(size);
    ASSERT_NE(out, nullptr);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(in[size - 1], 0);
    for (uint32_t i = 0; i < size; ++i) out[i] = (unsigned char)(i * 7 + (i >> 12));
    uint32_t moved = 0;
    ASSERT_EQ(plat_write(h, out, size, &moved), 1) << plat_last_error();
    EXPECT_EQ(moved, size);
    // A misaligned length is refused by O_DIRECT: a failure with a code, not a crash.
    EXPECT_EQ(plat_write(h, out, 100, &moved), 0);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(plat_last_error(), 87u);
    EXPECT_EQ(plat_flush(h), 1);
    plat_close(h);

    ASSERT_EQ(plat_open_read_sequential(file.c_str(), &h), 1);
    ASSERT_EQ(plat_read(h, in, size, &moved), 1);
    EXPECT_EQ(moved, size);
    EXPECT_EQ(memcmp(in, out, size), 0);
    ASSERT_EQ(plat_read(h, in, 4096, &moved), 1);   // end of file: success, nothing moved
    EXPECT_EQ(moved, 0u);
    plat_close(h);

    // Creating again truncates.
    ASSERT_EQ(plat_open_write_through(file.c_str(), &h), 1);
    plat_close(h);
    struct stat st;
    ASSERT_EQ(stat((dir + "/io.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(plat_delete_file(file.c_str()), 1);
    plat_free_pages(out, size);
    plat_free_pages(in, size);
}

// The CPU count follows the affinity mask; threads run their body and are
// joined; a semaphore hands over one post per wait, in both directions.
TEST(Threads, CountFollowsAffinityAndPostsReachTheWaiters) {
    cpu_set_t saved;
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    EXPECT_EQ(plat_cpu_count(), (uint32_t)CPU_COUNT(&saved));
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
        if (CPU_ISSET(cpu, &saved)) {
            CPU_SET(cpu, &one);
            break;
        }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(plat_cpu_count(), 1u);
    ASSERT_EQ(sched_setaffinity(0, sizeof saved, &saved), 0);

    struct Shared {
        plat_semaphore go;
        plat_semaphore back;
        std::atomic<int> rounds{0};
    } shared;
    ASSERT_EQ(plat_semaphore_create(&shared.go), 1);
    ASSERT_EQ(plat_semaphore_create(&shared.back), 1);
    const int threads = 3;
    const int rounds = 50;
    plat_thread t[threads];
    for (plat_thread& each : t) {
        ASSERT_EQ(plat_thread_start(
                      [](void* arg) {
                          Shared* s = (Shared*)arg;
                          for (int i = 0; i < rounds; i++) {
                              plat_semaphore_wait(s->go);
                              s->rounds++;
                              plat_semaphore_post(s->back);
                          }
                      },
                      &shared, &each),
                  1);
    }
    for (int i = 0; i < threads * rounds; i++) plat_semaphore_post(shared.go);
    for (int i = 0; i < threads * rounds; i++) plat_semaphore_wait(shared.back);
    EXPECT_EQ(shared.rounds.load(), threads * rounds);
    for (plat_thread each : t) plat_thread_join(each);
    plat_semaphore_destroy(shared.go);
    plat_semaphore_destroy(shared.back);
}

// Buffers of 2 MiB and more are placed on 2 MiB boundaries; every byte of the
// asked length is usable and zero, and freeing gives the whole range back.
TEST(Memory, PageBuffersAreAlignedZeroedAndReleased) {
    const size_t mib = 1u << 20;
    for (size_t size : {(size_t)4096, 2 * mib, 3 * mib + 4096, 8 * mib}) {
        SCOPED_TRACE(size);
        unsigned char* p = (unsigned char*)plat_alloc_pages(size);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ((uintptr_t)p % (size >= 2 * mib ? 2 * mib : 4096), 0u);
        size_t nonzero = 0;
        for (size_t i = 0; i < size; ++i) nonzero += p[i] != 0;
        EXPECT_EQ(nonzero, 0u);
        memset(p, 0xA5, size);
        plat_free_pages(p, size);
        unsigned char resident;
        for (size_t at : {(size_t)0, size - 4096}) EXPECT_EQ(mincore(p + at, 4096, &resident), -1);
    }
}

// An output is opened without being emptied, so that it can still be given up:
// created when missing, exclusive only when new, never through a link or onto
// a directory; its handle names the file its path named.
TEST_F(TempDir, OutputIsOpenedUnchangedThenEmptied) {
    const std::wstring log = path("run.csv");
    plat_file f = PLAT_NO_FILE;
    int created = 0;
    ASSERT_EQ(plat_open_output(log.c_str(), 1, &f, &created), 1);
    EXPECT_EQ(created, 1);
    EXPECT_NE(fcntl((int)f, F_GETFD) & FD_CLOEXEC, 0);
    FILE* stream = plat_output_stream(f);
    ASSERT_NE(stream, nullptr);
    fputs("old text\n", stream);
    fclose(stream);
    struct stat st;
    const std::string bytes = dir + "/run.csv";

    EXPECT_EQ(plat_open_output(log.c_str(), 1, &f, &created), 0);
    EXPECT_EQ(plat_last_error(), 80u);
    ASSERT_EQ(plat_open_output(log.c_str(), 0, &f, &created), 1);
    EXPECT_EQ(created, 0);
    ASSERT_EQ(stat(bytes.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 9);
    PlatFileId by_handle, by_path;
    ASSERT_EQ(plat_handle_identity(f, &by_handle), 1);
    ASSERT_EQ(plat_file_identity(log.c_str(), 0, &by_path), 1);
    EXPECT_EQ(plat_same_identity(&by_handle, &by_path), 1);
    ASSERT_EQ(plat_empty_file(f), 1);
    plat_close(f);
    ASSERT_EQ(stat(bytes.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);

    ASSERT_EQ(symlink(bytes.c_str(), (dir + "/link.csv").c_str()), 0);
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0700), 0);
    for (const char* name : {"link.csv", "sub"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(plat_open_output(path(name).c_str(), 0, &f, &created), 0);
        EXPECT_EQ(created, 0);
    }
    EXPECT_EQ(plat_open_output(path("nodir/run.csv").c_str(), 0, &f, &created), 0);
    EXPECT_EQ(plat_last_error(), 3u);
}

// The probe's journal: created only where nothing is (a link included),
// private, and read and written at explicit offsets whatever came before.
TEST_F(TempDir, JournalFileIsNewPrivateAndPositioned) {
    const std::wstring journal = path("probe.journal");
    plat_file f;
    ASSERT_TRUE(plat_journal_create(journal.c_str(), &f));
    struct stat st;
    ASSERT_EQ(stat((dir + "/probe.journal").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(fcntl((int)f, F_GETFD) & FD_CLOEXEC, 0);
    uint32_t moved = 0;
    ASSERT_TRUE(plat_write_at(f, 4096, "tail", 4, &moved));
    EXPECT_EQ(moved, 4u);
    ASSERT_TRUE(plat_write_at(f, 0, "head", 4, &moved));
    ASSERT_TRUE(plat_flush(f));
    char buffer[8] = {};
    ASSERT_TRUE(plat_read_at(f, 4096, buffer, 8, &moved));
    EXPECT_EQ(moved, 4u);
    EXPECT_EQ(std::string(buffer, 4), "tail");
    ASSERT_TRUE(plat_read_at(f, 8192, buffer, 8, &moved));
    EXPECT_EQ(moved, 0u);
    plat_close(f);
    ASSERT_TRUE(plat_journal_open_read(journal.c_str(), &f));
    ASSERT_TRUE(plat_read_at(f, 0, buffer, 4, &moved));
    EXPECT_EQ(std::string(buffer, 4), "head");
    plat_close(f);
    // Never over an existing file or through a link, never a directory read.
    EXPECT_FALSE(plat_journal_create(journal.c_str(), &f));
    ASSERT_EQ(symlink((dir + "/elsewhere").c_str(), (dir + "/link.journal").c_str()), 0);
    EXPECT_FALSE(plat_journal_create(path("link.journal").c_str(), &f));
    EXPECT_NE(access((dir + "/elsewhere").c_str(), F_OK), 0);
    EXPECT_FALSE(plat_journal_create(path("nodir/probe.journal").c_str(), &f));
    EXPECT_EQ(plat_last_error(), 3u);
    EXPECT_FALSE(plat_journal_open_read(widen(dir).c_str(), &f));
    EXPECT_FALSE(plat_journal_open_read(path("none").c_str(), &f));
    EXPECT_EQ(plat_last_error(), 2u);
}

std::atomic<int> g_events{0};
std::atomic<uint32_t> g_last_event{99};
int record_event(uint32_t event) {
    g_last_event.store(event);
    g_events.fetch_add(1);
    return 1;
}

TEST(Signals, StopSignalsReachTheHandlerAndBlockingReadsSurvive) {
    struct sigaction before;
    sigaction(SIGHUP, nullptr, &before);
    const bool hangup_ignored = before.sa_handler == SIG_IGN;   // started under nohup
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int saved_stdin = dup(STDIN_FILENO);
    ASSERT_EQ(dup2(fds[0], STDIN_FILENO), STDIN_FILENO);
    plat_set_ctrl_handler(record_event, 1);

    pthread_t reader = pthread_self();
    std::thread other([&] {
        usleep(100000);
        pthread_kill(reader, SIGINT);   // arrives while the read below blocks
        usleep(100000);
        ASSERT_EQ(write(fds[1], "k", 1), 1);
    });
    char byte = 0;
    long n = plat_read_stdin(&byte, 1);
    other.join();
    EXPECT_EQ(n, 1);
    EXPECT_EQ(byte, 'k');
    EXPECT_EQ(g_events.load(), 1);
    EXPECT_EQ(g_last_event.load(), (uint32_t)PLAT_CTRL_C);

    struct { int signo; uint32_t event; } table[] = {
        {SIGQUIT, PLAT_CTRL_BREAK}, {SIGHUP, PLAT_CTRL_CLOSE}, {SIGTERM, PLAT_CTRL_SHUTDOWN},
    };
    for (const auto& t : table) {
        if (t.signo == SIGHUP && hangup_ignored) continue;
        raise(t.signo);
        EXPECT_EQ(g_last_event.load(), t.event) << t.signo;
    }
    struct sigaction now;
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);

    plat_set_ctrl_handler(record_event, 0);
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    dup2(saved_stdin, STDIN_FILENO);
    close(saved_stdin);
    close(fds[0]);
    close(fds[1]);
}

TEST(Signals, SleepLastsThroughASignal) {
    plat_set_ctrl_handler(record_event, 1);
    pthread_t sleeper = pthread_self();
    std::thread other([&] {
        usleep(20000);
        pthread_kill(sleeper, SIGTERM);
    });
    int64_t start = plat_perf_counter();
    plat_sleep_ms(120);
    int64_t ticks = plat_perf_counter() - start;
    other.join();
    plat_set_ctrl_handler(record_event, 0);
    EXPECT_EQ(plat_perf_frequency(), 1000000000);
    EXPECT_GE(ticks, 120 * 1000000LL);
}


// A disk as sysfs shows it, in a tree of the test's own: disk 242:250 with its
// partition 242:251, device nodes for both, and a mount table and swap list of
// its own. Each row puts one use of the partition in place, or none.
TEST_F(TempDir, WhatForbidsWritingToADisk) {
    if (geteuid() != 0) GTEST_SKIP() << "device nodes need root";
    std::string sys = dir + "/sys";
    std::string disk = sys + "/devices/virtual/block/fakedisk";
    auto write = [](const std::string& file, const std::string& text) {
        FILE* f = fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr) << file;
        fputs(text.c_str(), f);
        fclose(f);
    };
    auto run = [](const std::string& cmd) { ASSERT_EQ(system(cmd.c_str()), 0) << cmd; };
    run("mkdir -p " + disk + "/fakedisk1/holders " + disk + "/holders " + sys + "/dev/block");
    write(disk + "/dev", "242:250\n");
    write(disk + "/size", "262144\n");
    write(disk + "/ro", "0\n");
    write(disk + "/fakedisk1/dev", "242:251\n");
    write(disk + "/fakedisk1/partition", "1\n");
    write(disk + "/fakedisk1/size", "260096\n");
    write(disk + "/fakedisk1/ro", "0\n");
    run("ln -s " + disk + " " + sys + "/dev/block/242:250");
    run("ln -s " + disk + "/fakedisk1 " + sys + "/dev/block/242:251");
    std::string node = dir + "/disk", part = dir + "/disk1";
    ASSERT_EQ(mknod(node.c_str(), S_IFBLK | 0600, makedev(242, 250)), 0);
    ASSERT_EQ(mknod(part.c_str(), S_IFBLK | 0600, makedev(242, 251)), 0);
    std::string mounts = dir + "/mountinfo", swaps = dir + "/swaps";
    const char* other_mount = "22 1 8:3 / /home rw - ext4 /dev/sdz3 rw\n";

    struct Row {
        const char* label;
        std::string mountinfo, swaps;
        bool held;
        int use;
        const wchar_t* part;
        std::string detail;
    } rows[] = {
        {"free", other_mount, "Filename Type Size Used Priority\n", false, PLAT_USE_NONE, L"", ""},
        {"mounted", std::string(other_mount) + "40 1 242:251 / /media/my\\040card rw - vfat /dev/x rw\n",
         "", false, PLAT_USE_MOUNTED, L"/dev/fakedisk1", "/media/my card"},
        {"mounted by source", "41 1 0:77 / /srv rw - btrfs " + part + " rw\n", "", false,
         PLAT_USE_MOUNTED, L"/dev/fakedisk1", "/srv"},
        {"swap", other_mount, "Filename Type Size Used Priority\n" + part + " partition 1 0 -2\n",
         false, PLAT_USE_SWAP, L"/dev/fakedisk1", ""},
        {"held", other_mount, "", true, PLAT_USE_HELD, L"/dev/fakedisk1", "/dev/dm-9"},
    };
    for (const Row& r : rows) {
        write(mounts, r.mountinfo);
        write(swaps, r.swaps);
        run(std::string(r.held ? "mkdir -p " : "rm -rf ") + disk + "/fakedisk1/holders/dm-9");
        PlatDiskUse use;
        ASSERT_EQ(posix_disk_use(sys.c_str(), mounts.c_str(), swaps.c_str(), widen(node).c_str(),
                                 nullptr, &use), 1) << r.label;
        EXPECT_EQ(use.use, r.use) << r.label;
        EXPECT_EQ(std::wstring(use.part), std::wstring(r.part)) << r.label;
        EXPECT_EQ(std::wstring(use.detail), widen(r.detail)) << r.label;
    }

    // The partition names its disk; the disk is whole; the sizes come from the
    // tree when the nodes lead to no device.
    PlatDiskFacts facts;
    ASSERT_EQ(posix_disk_facts(sys.c_str(), widen(part).c_str(), &facts), 1);
    EXPECT_EQ(facts.kind, PLAT_DISK_PARTITION);
    EXPECT_EQ(std::wstring(facts.disk), L"/dev/fakedisk");
    EXPECT_EQ(facts.bytes, 260096ull * 512);
    ASSERT_EQ(posix_disk_facts(sys.c_str(), widen(node).c_str(), &facts), 1);
    EXPECT_EQ(facts.kind, PLAT_DISK_WHOLE);
    EXPECT_EQ(facts.bytes, 262144ull * 512);
    EXPECT_EQ(std::string(facts.identity), "block fakedisk");
}

}  // namespace
