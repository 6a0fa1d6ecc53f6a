// atomic_write: the one way the system writes a host file.
#include "platform/atomic_write.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The temporary file's name says whose it is: no other program ends a hidden
// name so, and nothing else of a user's is ever taken for one.
constexpr char temp_suffix[] = ".kestrune-partial";
constexpr char stream_suffix[] = ".kestrune-stream";
constexpr long name_max_default = 255; // a folder that does not say its limit
// Writers of one target that keep renaming the temporary file away from each
// other between its open and its lock: give up after this many tries.
constexpr int open_tries_max = 64;

bool fail(std::string *error, const std::string &what) {
  if (error) *error = what;
  return false;
}

std::string because(const std::string &what) { return what + ": " + std::strerror(errno); }

// The file that path names: writing through a link keeps the link.
std::string write_target(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char *real = realpath(path.c_str(), nullptr);
  if (!real) return path; // a dangling link is replaced like a missing file
  std::string target(real);
  std::free(real);
  return target;
}

uint64_t name_hash(const std::string &s) {
  uint64_t h = 14695981039346656037ull; // FNV-1a: the same on every host and every run
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return h;
}

// One temporary name per target, so a write cut short by a kill or a power
// cut leaves a file that the next write of the target takes over, never one
// more. A name past the folder's limit keeps its head and a hash of the whole.
std::string temp_path(const std::string &folder, const std::string &base, const char *suffix) {
  long max = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
  if (max <= 0) max = name_max_default;
  std::string name = "." + base + suffix;
  if (name.size() > size_t(max)) {
    char hash[24];
    std::snprintf(hash, sizeof hash, "~%016" PRIx64, name_hash(base));
    size_t fixed = 1 + std::strlen(hash) + std::strlen(suffix);
    name = "." + base.substr(0, size_t(max) > fixed ? size_t(max) - fixed : 0) + hash + suffix;
  }
  return folder + name;
}

// Opens the target's temporary file for this write alone. The lock waits for
// another write of the same target (another thread, another run of the
// system) to rename or remove it; a file gone from under the name meanwhile
// is let go for a fresh one. A host without locks gets one writer's guarantee.
int open_temp(const std::string &temp, std::string *why) {
  constexpr int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC; // a fifo refuses at once
  for (int tries = 0; tries < open_tries_max; tries++) {
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | flags, 0600);
    // A read-only one was left by a write that gave it the target's mode
    // and was stopped before its rename: once locked it is removed.
    bool read_only = fd < 0 && errno == EACCES;
    if (read_only) {
      fd = open(temp.c_str(), O_RDONLY | flags);
      if (fd < 0) errno = EACCES;
    }
    if (fd < 0) {
      *why = because("cannot create " + temp);
      return -1;
    }
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat mine, named;
    if (fstat(fd, &mine) != 0 || !S_ISREG(mine.st_mode)) {
      close(fd);
      *why = temp + " is not a file";
      return -1;
    }
    bool ours = lstat(temp.c_str(), &named) == 0 && named.st_dev == mine.st_dev &&
                named.st_ino == mine.st_ino;
    if (ours && !read_only) return fd;
    if (ours && unlink(temp.c_str()) != 0) {
      *why = because("cannot remove " + temp);
      close(fd);
      return -1;
    }
    close(fd);
  }
  *why = "other writes keep taking " + temp;
  return -1;
}

bool write_all(int fd, const void *data, size_t n) {
  const char *p = static_cast<const char *>(data);
  while (n > 0) {
    ssize_t k = write(fd, p, n);
    if (k < 0 && errno == EINTR) continue;
    if (k == 0) errno = EIO;
    if (k <= 0) return false;
    p += k;
    n -= size_t(k);
  }
  return true;
}

// Makes the rename itself durable; a host that cannot sync folders still has
// the whole file in place, so this is best effort.
void sync_folder(const std::string &folder) {
  int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// The file a write of path replaces (a link written through), its folder and
// the mode it keeps; the temporary file's name beside it, with the suffix.
bool plan_write(host_file_stream &s, const std::string &path, const char *suffix, std::string *error) {
  if (path.empty()) return fail(error, "no file name");
  s.target = write_target(path);
  struct stat st;
  bool existed = stat(s.target.c_str(), &st) == 0;
  if (existed && !S_ISREG(st.st_mode)) return fail(error, s.target + " is not a file");
  s.mode = existed ? (st.st_mode & 07777) : 0644;
  size_t cut = s.target.find_last_of('/');
  s.folder = cut == std::string::npos ? std::string() : s.target.substr(0, cut + 1);
  std::string base = cut == std::string::npos ? s.target : s.target.substr(cut + 1);
  s.temp = temp_path(s.folder, base, suffix);
  s.why.clear();
  s.written = 0;
  return true;
}

} // namespace

bool write_host_file_atomically(const std::string &path, const void *data, size_t n,
                                std::string *error) {
  host_file_stream s;
  if (!plan_write(s, path, temp_suffix, error)) return false;
  std::string why;
  s.fd = open_temp(s.temp, &why);
  if (s.fd < 0) return fail(error, why + " (" + s.target + " left as it was)");
  if (ftruncate(s.fd, 0) != 0) s.why = because("cannot empty " + s.temp);
  host_stream_write(s, data, n);
  return host_stream_finish(s, error);
}

bool host_stream_open(host_file_stream &s, const std::string &path, std::string *error) {
  host_stream_abandon(s);
  if (!plan_write(s, path, stream_suffix, error)) return false;
  // Its own name, not the one other writes of the target share: they would
  // wait on it for the whole stream. One left by a kill is taken over here.
  s.fd = open(s.temp.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  std::string why;
  struct stat st;
  if (s.fd < 0)
    why = because("cannot create " + s.temp);
  else if (fstat(s.fd, &st) != 0 || !S_ISREG(st.st_mode))
    why = s.temp + " is not a file";
  else if (flock(s.fd, LOCK_EX | LOCK_NB) != 0)
    why = because(s.temp + " is being written");
  else if (ftruncate(s.fd, 0) != 0)
    why = because("cannot empty " + s.temp);
  if (why.empty()) return true;
  if (s.fd >= 0) close(s.fd);  // not ours: left where it is
  s.fd = -1;
  return fail(error, why + " (" + s.target + " left as it was)");
}

bool host_stream_write(host_file_stream &s, const void *data, size_t n) {
  if (s.fd < 0 || !s.why.empty()) return false;
  if (!write_all(s.fd, data, n)) {
    s.why = because("write failed");
    return false;
  }
#ifdef __linux__
  // Starts the bytes on their way to the disk without waiting for them, so
  // the sync at the finish has little left; the sync makes it sure.
  if (n > 0) sync_file_range(s.fd, off_t(s.written), off_t(n), SYNC_FILE_RANGE_WRITE);
#endif
  s.written += int64_t(n);
  return true;
}

bool host_stream_finish(host_file_stream &s, std::string *error) {
  if (s.fd < 0) return fail(error, "no file is being written");
  // The rename happens before the close: the lock keeps another write of the
  // target from rewriting the file between its sync and its rename.
  std::string why = s.why;
  if (why.empty() && fchmod(s.fd, mode_t(s.mode)) != 0) why = because("chmod failed");
  if (why.empty() && fsync(s.fd) != 0) why = because("sync failed");
  if (why.empty() && std::rename(s.temp.c_str(), s.target.c_str()) != 0)
    why = because("cannot replace " + s.target);
  if (!why.empty()) unlink(s.temp.c_str());
  close(s.fd);
  s.fd = -1;
  if (!why.empty()) return fail(error, why + " (" + s.target + " left as it was)");
  sync_folder(s.folder);
  return true;
}

void host_stream_abandon(host_file_stream &s) {
  if (s.fd < 0) return;
  unlink(s.temp.c_str());
  close(s.fd);
  s.fd = -1;
}

host_file_stream::~host_file_stream() { host_stream_abandon(*this); }
