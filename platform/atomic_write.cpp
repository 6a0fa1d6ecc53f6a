// atomic_write: the one way the system writes a host file.
#include "platform/atomic_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// mkstemp's template must stay within the host's name limit.
constexpr size_t temp_base_max = 200;

bool fail(std::string *error, const std::string &what) {
  if (error) *error = what;
  return false;
}

std::string because(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

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
  // A leading '.' keeps a temporary file that a crash leaves behind out of
  // every listing.
  std::string temp = folder + "." + base.substr(0, temp_base_max) + ".XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) return fail(error, because(("cannot create a file beside " + target).c_str()));
  FILE *f = fdopen(fd, "wb");
  if (!f) {
    std::string why = because("cannot open the temporary file");
    close(fd);
    unlink(temp.c_str());
    return fail(error, why);
  }

  std::string why;
  if (n > 0 && std::fwrite(data, 1, n, f) != n) why = because("write failed");
  if (why.empty() && std::fflush(f) != 0) why = because("write failed");
  if (why.empty() && fchmod(fileno(f), mode) != 0) why = because("chmod failed");
  if (why.empty() && fsync(fileno(f)) != 0) why = because("sync failed");
  if (std::fclose(f) != 0 && why.empty()) why = because("close failed");
  if (why.empty() && std::rename(temp.c_str(), target.c_str()) != 0)
    why = because(("cannot replace " + target).c_str());
  if (!why.empty()) {
    unlink(temp.c_str());
    return fail(error, why + " (" + target + " left as it was)");
  }
  sync_folder(folder);
  return true;
}
