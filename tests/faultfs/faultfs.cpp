// faultfs: a test-only FUSE file system that keeps its files in a backing
// directory and injects the storage faults chosen at mount time.
//
//   faultfs MOUNTPOINT -o backing=DIR[,option...]
//
//   capacity=N            statfs reports N bytes in total (default 1 GiB)
//   write_fault_at=X      the write request that touches byte X fails ...
//   write_fault=KIND      ... with eio, enospc, or short (keeps [off, X))
//   flip_at=X             the byte at X is inverted when read back
//   read_fault_at=X       the read request that touches byte X fails ...
//   read_fault=KIND       ... with eio, or short (returns [off, X))
//   keep=R                only R bytes of a file are stored: offset p lands on
//                         p mod R (a counterfeit drive that wraps around) ...
//   drop_past_keep        ... or: writes past R are acknowledged and dropped,
//                         reads past R return the wrapped earlier data
//   past_keep_fill=KIND   ... or: writes past R are dropped and reads past R
//                         return zero or ff bytes (no data kept there at all)
//   fsync_fault           every fsync fails with EIO
//   deny_read=KIND        once a file was opened for writing and closed, opening
//                         it for reading fails with eio or eacces
//   delay_us=N            every read and write request takes N microseconds
//                         more (a slow device, for tests that act mid-phase)
//   volatile_cache=N      the last N bytes written stay in memory only: reads
//                         see them, fsync does not store them, and an unmount
//                         loses them (a drive cache that lies about flushes);
//                         the file keeps its size, the lost part reads as zeros
//   cache=N               a drive cache over the medium: the newest N bytes
//                         written are held in memory and served by offset, so
//                         a wrap (keep=R) stays hidden until they are pushed
//                         out by later writes; fsync leaves them, a close of
//                         the file stores them
//   write_bps=N           writes move N bytes per second (a slow device) ...
//   write_req_us=N        ... and every write request takes N microseconds more
//   read_bps=N            reads move N bytes per second
//   max_file=N            no file grows past N bytes: a write that would is cut
//                         there, one that starts at N fails with EFBIG (FAT's
//                         4 GiB - 1 limit, as the kernel enforces it)
//   subtype=NAME          the mount table shows fuse.NAME (default: faultfs),
//                         e.g. "vfat" for a user-space FAT driver
//
// Offsets are file offsets. Every open gets direct_io, so O_DIRECT reaches it.
#define FUSE_USE_VERSION 35
#include <fuse3/fuse.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

struct Options {
  char* backing;
  unsigned long long capacity;
  long long write_fault_at;
  char* write_fault;
  long long flip_at;
  long long read_fault_at;
  char* read_fault;
  unsigned long long keep;
  int drop_past_keep;
  int fsync_fault;
  char* deny_read;
  unsigned delay_us;
  unsigned long long volatile_cache;
  unsigned long long max_file;
  char* subtype;
  char* past_keep_fill;
  unsigned long long cache;
  unsigned long long write_bps;
  unsigned write_req_us;
  unsigned long long read_bps;
};

Options g_opt = {nullptr, 1ull << 30, -1, nullptr, -1, -1, nullptr, 0, 0, 0, nullptr, 0, 0, 0, nullptr, nullptr, 0, 0, 0, 0};
int g_dir = -1;
int g_write_errno = 0;  // 0 = short transfer
int g_read_errno = 0;
int g_deny_errno = 0;
int g_past_keep_fill = -1;  // the byte read past keep; -1: data wraps
std::map<std::string, unsigned long long> g_logical_size;  // files larger than keep
std::set<std::string> g_written;                           // closed after writing

// The volatile cache: write requests not yet stored, oldest first.
struct Pending {
  std::string path;
  unsigned long long off;
  std::string bytes;
};
std::deque<Pending> g_pending;
unsigned long long g_pending_bytes = 0;

#define OPT(t, p) {t, offsetof(Options, p), 1}
const fuse_opt k_opts[] = {
    OPT("backing=%s", backing),
    OPT("capacity=%llu", capacity),
    OPT("write_fault_at=%lld", write_fault_at),
    OPT("write_fault=%s", write_fault),
    OPT("flip_at=%lld", flip_at),
    OPT("read_fault_at=%lld", read_fault_at),
    OPT("read_fault=%s", read_fault),
    OPT("keep=%llu", keep),
    OPT("drop_past_keep", drop_past_keep),
    OPT("past_keep_fill=%s", past_keep_fill),
    OPT("fsync_fault", fsync_fault),
    OPT("deny_read=%s", deny_read),
    OPT("delay_us=%u", delay_us),
    OPT("volatile_cache=%llu", volatile_cache),
    OPT("max_file=%llu", max_file),
    OPT("subtype=%s", subtype),
    OPT("cache=%llu", cache),
    OPT("write_bps=%llu", write_bps),
    OPT("write_req_us=%u", write_req_us),
    OPT("read_bps=%llu", read_bps),
    FUSE_OPT_END};

// Paths arrive as "/name"; the backing directory is flat.
const char* rel(const char* path) {
  return path[1] == '\0' ? "." : path + 1;
}

void forget_pending(const char* path) {
  for (auto it = g_pending.begin(); it != g_pending.end();) {
    if (it->path == path) {
      g_pending_bytes -= it->bytes.size();
      it = g_pending.erase(it);
    } else {
      ++it;
    }
  }
}

// Holds a write in the cache; the oldest requests beyond its size reach the backing file.
int cache_write(const char* path, int fd, const char* buf, size_t n, off_t off) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -errno;
  if (st.st_size < off + (off_t)n && ftruncate(fd, off + (off_t)n) != 0) return -errno;
  g_pending.push_back({path, (unsigned long long)off, std::string(buf, n)});
  g_pending_bytes += n;
  while (g_pending_bytes > g_opt.volatile_cache) {
    Pending& p = g_pending.front();
    int out = openat(g_dir, rel(p.path.c_str()), O_WRONLY | O_CLOEXEC);
    if (out < 0) return -errno;
    ssize_t r = pwrite(out, p.bytes.data(), p.bytes.size(), (off_t)p.off);
    close(out);
    if (r != (ssize_t)p.bytes.size()) return -EIO;
    g_pending_bytes -= p.bytes.size();
    g_pending.pop_front();
  }
  return (int)n;
}

// Reads see the cached writes over the stored data, newest last.
void overlay_pending(const char* path, char* buf, size_t n, unsigned long long off) {
  for (const Pending& p : g_pending) {
    if (p.path != path) continue;
    unsigned long long from = p.off > off ? p.off : off;
    unsigned long long end = p.off + p.bytes.size() < off + n ? p.off + p.bytes.size() : off + n;
    if (from < end) memcpy(buf + (from - off), p.bytes.data() + (from - p.off), (size_t)(end - from));
  }
}

// The size of a file larger than keep lives in an extended attribute of its
// backing file too, so that it survives an unmount as a drive's file-system
// metadata would.
const char k_size_attr[] = "user.faultfs.size";
std::string backing_path(const char* path) {
  return "/proc/self/fd/" + std::to_string(g_dir) + path;
}

void set_logical_size(const char* path, unsigned long long size) {
  g_logical_size[path] = size;
  setxattr(backing_path(path).c_str(), k_size_attr, &size, sizeof size, 0);
}

void forget_logical_size(const char* path) {
  g_logical_size.erase(path);
  removexattr(backing_path(path).c_str(), k_size_attr);
}

unsigned long long logical_size(const char* path, unsigned long long stored) {
  auto it = g_logical_size.find(path);
  if (it == g_logical_size.end()) {
    unsigned long long size = 0;
    if (getxattr(backing_path(path).c_str(), k_size_attr, &size, sizeof size) != sizeof size) {
      return stored;
    }
    it = g_logical_size.emplace(path, size).first;
  }
  return it->second > stored ? it->second : stored;
}

int fs_getattr(const char* path, struct stat* st, fuse_file_info*) {
  if (fstatat(g_dir, rel(path), st, AT_SYMLINK_NOFOLLOW) != 0) return -errno;
  if (S_ISREG(st->st_mode)) st->st_size = (off_t)logical_size(path, (unsigned long long)st->st_size);
  return 0;
}

int fs_readdir(const char*, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
               fuse_readdir_flags) {
  int fd = openat(g_dir, ".", O_RDONLY | O_DIRECTORY);
  if (fd < 0) return -errno;
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    close(fd);
    return -ENOMEM;
  }
  while (dirent* e = readdir(d)) fill(buf, e->d_name, nullptr, 0, (fuse_fill_dir_flags)0);
  closedir(d);
  return 0;
}

int fs_truncate(const char* path, off_t size, fuse_file_info*) {
  if (g_opt.max_file > 0 && (unsigned long long)size > g_opt.max_file) return -EFBIG;
  forget_logical_size(path);
  forget_pending(path);
  off_t stored = g_opt.keep > 0 && (unsigned long long)size > g_opt.keep ? (off_t)g_opt.keep : size;
  int fd = openat(g_dir, rel(path), O_WRONLY);
  if (fd < 0) return -errno;
  int rc = ftruncate(fd, stored) == 0 ? 0 : -errno;
  close(fd);
  if (rc == 0 && stored != size) set_logical_size(path, (unsigned long long)size);
  return rc;
}

int open_backing(const char* path, int flags, mode_t mode, fuse_file_info* fi) {
  int acc = fi->flags & O_ACCMODE;
  if (g_deny_errno != 0 && acc != O_WRONLY && g_written.count(path) != 0) return -g_deny_errno;
  // The backing file is opened buffered: the faults are ours, not the host's.
  int fd = openat(g_dir, rel(path), (flags & ~(O_DIRECT | O_DSYNC | O_SYNC)) | O_CLOEXEC, mode);
  if (fd < 0) return -errno;
  if (flags & O_TRUNC) {
    forget_logical_size(path);
    forget_pending(path);
  }
  fi->fh = (uint64_t)fd;
  fi->direct_io = 1;
  return 0;
}

int fs_open(const char* path, fuse_file_info* fi) {
  return open_backing(path, fi->flags, 0, fi);
}

int fs_create(const char* path, mode_t mode, fuse_file_info* fi) {
  return open_backing(path, fi->flags | O_CREAT, mode, fi);
}

// flush comes with every close(), before it returns; release may come later.
int fs_flush(const char* path, fuse_file_info* fi) {
  if ((fi->flags & O_ACCMODE) != O_RDONLY) g_written.insert(path);
  return 0;
}

int cache_push(const char* path, unsigned long long keep_bytes);

int fs_release(const char* path, fuse_file_info* fi) {
  fs_flush(path, fi);
  if (g_opt.cache > 0) cache_push(path, 0);
  close((int)fi->fh);
  return 0;
}

int fs_unlink(const char* path) {
  g_logical_size.erase(path);
  forget_pending(path);
  g_written.erase(path);
  return unlinkat(g_dir, rel(path), 0) == 0 ? 0 : -errno;
}

int fs_fsync(const char*, int, fuse_file_info* fi) {
  if (g_opt.fsync_fault) return -EIO;
  return fsync((int)fi->fh) == 0 ? 0 : -errno;
}

int fs_utimens(const char* path, const timespec tv[2], fuse_file_info*) {
  return utimensat(g_dir, rel(path), tv, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}

// Moves [off, off + n) between buf and the backing file, mapping offsets the
// way the counterfeit drive does. Returns bytes moved or -errno.
long transfer(int fd, char* buf, size_t n, unsigned long long off, bool write) {
  size_t done = 0;
  while (done < n) {
    unsigned long long p = off + done;
    size_t piece = n - done;
    unsigned long long at = p;
    if (g_opt.keep > 0) {
      at = p % g_opt.keep;
      if (piece > g_opt.keep - at) piece = (size_t)(g_opt.keep - at);
      if (write && (g_opt.drop_past_keep || g_past_keep_fill >= 0) && p >= g_opt.keep) {
        done += piece;
        continue;
      }
      if (!write && g_past_keep_fill >= 0 && p >= g_opt.keep) {
        memset(buf + done, g_past_keep_fill, piece);
        done += piece;
        continue;
      }
    }
    ssize_t r = write ? pwrite(fd, buf + done, piece, (off_t)at) : pread(fd, buf + done, piece, (off_t)at);
    if (r < 0) return -errno;
    if (r == 0) {  // a hole past the stored end reads as zeros
      if (write) return -EIO;
      memset(buf + done, 0, piece);
      r = (ssize_t)piece;
    }
    done += (size_t)r;
  }
  return (long)done;
}

// The drive cache: the oldest writes beyond its size reach the medium, wrapped
// as the medium wraps; all of them when the file is closed.
int cache_push(const char* path, unsigned long long keep_bytes) {
  int fd = -1;
  while (!g_pending.empty() && g_pending_bytes > keep_bytes) {
    auto it = g_pending.begin();
    while (it != g_pending.end() && it->path != path) ++it;
    if (it == g_pending.end()) break;
    if (fd < 0) fd = openat(g_dir, rel(path), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    long r = transfer(fd, it->bytes.data(), it->bytes.size(), it->off, true);
    if (r < 0) {
      close(fd);
      return (int)r;
    }
    g_pending_bytes -= it->bytes.size();
    g_pending.erase(it);
  }
  if (fd >= 0) close(fd);
  return 0;
}

void fs_destroy(void*) {
  while (!g_pending.empty() && g_opt.cache > 0) {
    std::string path = g_pending.front().path;
    if (cache_push(path.c_str(), 0) < 0) break;
  }
}

void pace(size_t n, unsigned long long bps, unsigned request_us) {
  unsigned long long us = request_us;
  if (bps > 0) us += (unsigned long long)n * 1000000ull / bps;
  if (us > 0) usleep((useconds_t)us);
}

int fs_read(const char* path, char* buf, size_t n, off_t off, fuse_file_info* fi) {
  struct stat st;
  if (fstat((int)fi->fh, &st) != 0) return -errno;
  unsigned long long size = logical_size(path, (unsigned long long)st.st_size);
  if ((unsigned long long)off >= size) return 0;
  if (n > size - (unsigned long long)off) n = (size_t)(size - (unsigned long long)off);
  if (g_opt.delay_us > 0) usleep(g_opt.delay_us);
  pace(n, g_opt.read_bps, 0);
  if (g_opt.read_fault_at >= off && g_opt.read_fault_at < off + (off_t)n) {
    if (g_read_errno != 0) return -g_read_errno;
    n = (size_t)(g_opt.read_fault_at - off);
  }
  long r = transfer((int)fi->fh, buf, n, (unsigned long long)off, false);
  if (r < 0) return (int)r;
  overlay_pending(path, buf, (size_t)r, (unsigned long long)off);
  if (g_opt.flip_at >= off && g_opt.flip_at < off + r) buf[g_opt.flip_at - off] ^= (char)0xFF;
  return (int)r;
}

int fs_write(const char* path, const char* buf, size_t n, off_t off, fuse_file_info* fi) {
  if (g_opt.delay_us > 0) usleep(g_opt.delay_us);
  pace(n, g_opt.write_bps, g_opt.write_req_us);
  if (g_opt.max_file > 0) {
    if ((unsigned long long)off >= g_opt.max_file) return -EFBIG;
    if (n > g_opt.max_file - (unsigned long long)off) n = (size_t)(g_opt.max_file - (unsigned long long)off);
  }
  if (g_opt.write_fault_at >= off && g_opt.write_fault_at < off + (off_t)n) {
    if (g_write_errno != 0) return -g_write_errno;
    n = (size_t)(g_opt.write_fault_at - off);
  }
  if (g_opt.volatile_cache > 0) return cache_write(path, (int)fi->fh, buf, n, off);
  if (g_opt.cache > 0) {
    g_pending.push_back({path, (unsigned long long)off, std::string(buf, n)});
    g_pending_bytes += n;
    int rc = cache_push(path, g_opt.cache);
    if (rc < 0) return rc;
    unsigned long long end = (unsigned long long)off + n;
    if (g_opt.keep > 0 && end > logical_size(path, 0)) set_logical_size(path, end);
    return (int)n;
  }
  long r = transfer((int)fi->fh, const_cast<char*>(buf), n, (unsigned long long)off, true);
  if (r < 0) return (int)r;
  unsigned long long end = (unsigned long long)off + (unsigned long long)r;
  if (g_opt.keep > 0 && end > logical_size(path, 0)) set_logical_size(path, end);
  return (int)r;
}

int fs_statfs(const char*, struct statvfs* sv) {
  unsigned long long used = 0;
  int fd = openat(g_dir, ".", O_RDONLY | O_DIRECTORY);
  if (fd < 0) return -errno;
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    close(fd);
    return -ENOMEM;
  }
  while (dirent* e = readdir(d)) {
    struct stat st;
    if (fstatat(g_dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      used += logical_size((std::string("/") + e->d_name).c_str(), (unsigned long long)st.st_size);
  }
  closedir(d);
  memset(sv, 0, sizeof *sv);
  sv->f_bsize = sv->f_frsize = 4096;
  sv->f_blocks = g_opt.capacity / 4096;
  unsigned long long used_blocks = (used + 4095) / 4096;
  sv->f_bfree = sv->f_bavail = used_blocks < sv->f_blocks ? sv->f_blocks - used_blocks : 0;
  sv->f_files = sv->f_ffree = sv->f_favail = 1024;
  sv->f_namemax = 255;
  return 0;
}

void* fs_init(fuse_conn_info* conn, fuse_config* cfg) {
  // Sequential direct I/O, so that a failed or short request ends the caller's
  // write() with exactly what the requests before it moved.
  conn->want &= ~FUSE_CAP_ASYNC_DIO;
  cfg->direct_io = 1;
  cfg->entry_timeout = cfg->attr_timeout = cfg->negative_timeout = 0;
  return nullptr;
}

int errno_named(const char* name, bool allow_short) {
  if (strcmp(name, "eio") == 0) return EIO;
  if (strcmp(name, "enospc") == 0) return ENOSPC;
  if (strcmp(name, "eacces") == 0) return EACCES;
  if (allow_short && strcmp(name, "short") == 0) return 0;
  return -1;
}

}  // namespace

int main(int argc, char* argv[]) {
  fuse_args args = FUSE_ARGS_INIT(argc, argv);
  if (fuse_opt_parse(&args, &g_opt, k_opts, nullptr) != 0) return 2;
  if (g_opt.backing == nullptr) {
    fprintf(stderr, "faultfs: -o backing=DIR is required\n");
    return 2;
  }
  g_dir = open(g_opt.backing, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (g_dir < 0) {
    perror(g_opt.backing);
    return 2;
  }
  g_write_errno = g_opt.write_fault != nullptr ? errno_named(g_opt.write_fault, true) : EIO;
  g_read_errno = g_opt.read_fault != nullptr ? errno_named(g_opt.read_fault, true) : EIO;
  g_deny_errno = g_opt.deny_read != nullptr ? errno_named(g_opt.deny_read, false) : 0;
  if (g_opt.past_keep_fill != nullptr) {
    std::string fill = g_opt.past_keep_fill;
    if (fill != "zero" && fill != "ff") {
      fprintf(stderr, "faultfs: past_keep_fill must be zero or ff\n");
      return 2;
    }
    g_past_keep_fill = fill == "zero" ? 0x00 : 0xFF;
  }
  if (g_write_errno < 0 || g_read_errno < 0 || g_deny_errno < 0) {
    fprintf(stderr, "faultfs: unknown fault kind\n");
    return 2;
  }
  // One thread: the fault state above is not shared between threads.
  fuse_opt_add_arg(&args, "-s");
  std::string names = std::string("-ofsname=faultfs,subtype=") +
                      (g_opt.subtype != nullptr ? g_opt.subtype : "faultfs");
  fuse_opt_add_arg(&args, names.c_str());

  static fuse_operations ops;
  ops.getattr = fs_getattr;
  ops.readdir = fs_readdir;
  ops.truncate = fs_truncate;
  ops.open = fs_open;
  ops.create = fs_create;
  ops.flush = fs_flush;
  ops.release = fs_release;
  ops.unlink = fs_unlink;
  ops.fsync = fs_fsync;
  ops.utimens = fs_utimens;
  ops.read = fs_read;
  ops.write = fs_write;
  ops.statfs = fs_statfs;
  ops.init = fs_init;
  ops.destroy = fs_destroy;
  int rc = fuse_main(args.argc, args.argv, &ops, nullptr);
  fuse_opt_free_args(&args);
  return rc;
}
