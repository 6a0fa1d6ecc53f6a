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
std::string temp_path(const std::string &folder, const std::string &base) {
  long max = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
  if (max <= 0) max = name_max_default;
  std::string name = "." + base + temp_suffix;
  if (name.size() > size_t(max)) {
    char hash[24];
    std::snprintf(hash, sizeof hash, "~%016" PRIx64, name_hash(base));
    size_t fixed = 1 + std::strlen(hash) + std::strlen(temp_suffix);
    name = "." + base.substr(0, size_t(max) > fixed ? size_t(max) - fixed : 0) + hash + temp_suffix;
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

} // namespace

bool write_host_file_atomically(const std::string &path, const void *data, size_t n,
                                std::string *error) {
  if (path.empty()) return fail(error, "no file name");
  std::string target = write_target(path);
  struct stat st;
  bool existed = stat(target.c_str(), &st) == 0;
  if (existed && !S_ISREG(st.st_mode)) return fail(error, target + " is not a file");
  mode_t mode = existed ? (st.st_mode & 07777) : 0644;

  size_t cut = target.find_last_of('/');
  std::string folder = cut == std::string::npos ? std::string() : target.substr(0, cut + 1);
  std::string base = cut == std::string::npos ? target : target.substr(cut + 1);
  std::string temp = temp_path(folder, base);
  std::string why;
  int fd = open_temp(temp, &why);
  if (fd < 0) return fail(error, why + " (" + target + " left as it was)");

  // The rename happens before the close: the lock keeps another write of the
  // target from rewriting the file between its sync and its rename.
  if (ftruncate(fd, 0) != 0) why = because("cannot empty " + temp);
  if (why.empty() && !write_all(fd, data, n)) why = because("write failed");
  if (why.empty() && fchmod(fd, mode) != 0) why = because("chmod failed");
  if (why.empty() && fsync(fd) != 0) why = because("sync failed");
  if (why.empty() && std::rename(temp.c_str(), target.c_str()) != 0)
    why = because("cannot replace " + target);
  if (!why.empty()) unlink(temp.c_str());
  close(fd);
  if (!why.empty()) return fail(error, why + " (" + target + " left as it was)");
  sync_folder(folder);
  return true;
}
