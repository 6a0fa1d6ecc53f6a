// dat_pack: building the system data pack ("sysrom.dat") from host folders;
// used by the kvt_pack tool and its tests, not by the running system.
#include "pdisk/dat_pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "kernel/buffer.h"

namespace fs = std::filesystem;

namespace {

// Deeper trees are taken for a folder link that loops back on itself.
constexpr int max_tree_depth = 64;

bool fail(std::string *error, const std::string &what) {
  if (error) *error = what;
  return false;
}

bool read_host_file(const fs::path &path, std::string *bytes, std::string *error) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return fail(error, "cannot open " + path.string() + ": " + std::strerror(errno));
  char chunk[16384];
  size_t got;
  bool ok = true;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    if (int64_t(bytes->size() + got) > buffer_max_length) {
      ok = fail(error, path.string() + " is too large for a cartridge");
      break;
    }
    bytes->append(chunk, got);
  }
  if (ok && std::ferror(f)) ok = fail(error, "cannot read " + path.string());
  std::fclose(f);
  return ok;
}

// The rom reader stops at a name it cannot take, and everything after it
// would be lost at boot; catch that here instead.
bool check_entry_name(const std::string &name, const fs::path &host, std::string *error) {
  if (name.size() > size_t(kvt_rom_max_name))
    return fail(error, host.string() + ": cartridge name longer than " +
                           std::to_string(kvt_rom_max_name) + " characters");
  if (name.find("..") != std::string::npos)
    return fail(error, host.string() + ": cartridge names cannot contain \"..\"");
  return true;
}

bool walk(const fs::path &dir, const std::string &prefix, int depth,
          std::vector<cart_entry> *entries, std::string *error) {
  if (depth > max_tree_depth) return fail(error, dir.string() + ": folders nested too deeply");
  std::error_code ec;
  fs::directory_iterator it(dir, ec), end;
  if (ec) return fail(error, "cannot list " + dir.string() + ": " + ec.message());
  std::vector<std::string> names;
  for (; it != end; it.increment(ec)) names.push_back(it->path().filename().string());
  if (ec) return fail(error, "cannot list " + dir.string() + ": " + ec.message());
  std::sort(names.begin(), names.end());

  for (const std::string &n : names) {
    fs::path host = dir / n;
    fs::file_status st = fs::status(host, ec);
    if (ec) return fail(error, "cannot read " + host.string() + ": " + ec.message());
    if (fs::is_directory(st)) {
      std::string name = prefix + n + "/";
      if (!check_entry_name(name, host, error)) return false;
      entries->push_back({name, std::string()});
      if (!walk(host, name, depth + 1, entries, error)) return false;
    } else if (fs::is_regular_file(st)) {
      std::string name = prefix + n;
      if (!check_entry_name(name, host, error)) return false;
      cart_entry e{name, std::string()};
      if (!read_host_file(host, &e.data, error)) return false;
      entries->push_back(std::move(e));
    } else {
      return fail(error, host.string() + " is neither a file nor a folder");
    }
  }
  return true;
}

// Rom form of a host tree, as one data pack record.
bool append_rom_record(buffer *out, const std::string &dir, const std::string &prefix,
                       const char *what, std::string *error) {
  std::vector<cart_entry> entries;
  if (!collect_host_tree(dir, prefix, &entries, error)) return false;
  buffer_owner rom(create_buffer_2(0, 0));
  if (!write_kvt_rom_entries(rom.get(), entries, 0))
    return fail(error, std::string(what) + " cartridge from " + dir + " is too large");
  if (!append_dat_record(out, rom->data, rom->length))
    return fail(error, std::string(what) + " cartridge from " + dir + " is " +
                           std::to_string(rom->length) + " bytes; a record holds at most " +
                           std::to_string(dat_record_max_length));
  return true;
}

} // namespace

bool append_dat_record(buffer *out, const void *bytes, int64_t n) {
  if (n < 0 || n > dat_record_max_length) return false;
  if (int64_t(out->position) + 4 + n > buffer_max_length) return false;
  uint8_t head[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
  if (bwrite(head, 1, 4, out) != 4) return false;
  if (n > 0 && bwrite(bytes, 1, n, out) != n) return false;
  return true;
}

bool collect_host_tree(const std::string &dir, const std::string &prefix,
                       std::vector<cart_entry> *entries, std::string *error) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return fail(error, dir + " is not a folder");
  return walk(dir, prefix, 0, entries, error);
}

bool build_dat_pack(buffer *out, const std::string &name, const std::string &system_dir,
                    const std::string &extra_dir, std::string *error) {
  // record 0 names a sub-folder of the data folder: keep it a single level
  if (name.find_first_of("/\\") != std::string::npos || name.find("..") != std::string::npos)
    return fail(error, "the pack name \"" + name + "\" must not contain '/', '\\' or \"..\"");
  if (!append_dat_record(out, name.data(), int64_t(name.size())))
    return fail(error, "the pack name is too long");
  if (!append_rom_record(out, system_dir, "system/", "system", error)) return false;
  if (!extra_dir.empty() && !append_rom_record(out, extra_dir, "", "extra", error))
    return false;
  return true;
}
