// Host folders. On this host the data folder follows the XDG base directory
// rules and the program folder falls back to /proc/self/exe.
#include "platform/host_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "kernel/system.h"

std::string hovi_argv0;

namespace {

std::string env_or_empty(const char *name) {
  const char *v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

void add_slash(std::string &path) {
  if (!path.empty() && path.back() != '/') path += '/';
}

std::string program_folder() {
  std::string argv0 = hovi_argv0;
  size_t cut = argv0.find_last_of("/\\");
  if (cut != std::string::npos) return argv0.substr(0, cut + 1);
  // Started through PATH: argv[0] names no folder, but the kernel knows.
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    std::string self(exe, static_cast<size_t>(n));
    cut = self.find_last_of('/');
    if (cut != std::string::npos) return self.substr(0, cut + 1);
  }
  return argv0.empty() ? std::string() : std::string("/");
}

}  // namespace

bool hovi_mkdir(const std::string &path) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  return false;
}

std::string hovi_prefix_with_program_path(std::string_view name) {
  return program_folder() + std::string(name);
}

namespace {

// One level of the data folder: made when asked for.
void data_level(const std::string &path, bool make) {
  if (make) hovi_mkdir(path);
}

void append_export_home(std::string &path, bool make) {
  path += "exp/";
  data_level(path, make);
  buffer *rec0 = get_dat_file(0);
  if (rec0 && rec0->length > 0) {
    // The record is a name, not a path: stop at a NUL or a line end and keep
    // it from leaving the data folder.
    std::string sub(reinterpret_cast<const char *>(rec0->data), static_cast<size_t>(rec0->length));
    sub = sub.substr(0, sub.find_first_of(std::string("\0\r\n", 3)));
    if (sub.empty() || sub == "." || sub == ".." || sub.find('/') != std::string::npos)
      sub = "shared";
    path += sub + "/";
  } else {
    path += "shared/";
  }
  data_level(path, make);
}

std::string appdata_path(std::string_view name, bool make) {
  std::string path;
  if (!config.home_path.empty() && config.home_path[0] != ' ') {
    path = config.home_path;
    for (char &c : path)
      if (c == '\\') c = '/';
    add_slash(path);
    return path + std::string(name);
  }
  std::string base = env_or_empty("XDG_DATA_HOME");
  if (base.empty()) {
    std::string home = env_or_empty("HOME");
    if (!home.empty()) {
      base = home + "/.local";
      data_level(base, make);
      base += "/share";
    }
  }
  if (!base.empty()) {
    data_level(base, make);
    path = base + "/Kestrune";
    data_level(path, make);
    path += "/";
  }
  append_export_home(path, make);
  return path + std::string(name);
}

}  // namespace

void append_export_home(std::string &path) { append_export_home(path, true); }

std::string hovi_prefix_with_appdata_path(std::string_view name) { return appdata_path(name, true); }

std::string hovi_appdata_path(std::string_view name) { return appdata_path(name, false); }

std::string hovi_prefix_with_desktop_path(std::string_view name) {
  std::string path;
  if (!config.desktop_path.empty()) {
    path = config.desktop_path;
    hovi_mkdir(path);
  } else {
    path = env_or_empty("XDG_DESKTOP_DIR");
    if (path.empty()) {
      std::string home = env_or_empty("HOME");
      if (!home.empty()) path = home + "/Desktop";
    }
  }
  add_slash(path);
  return path + std::string(name);
}
