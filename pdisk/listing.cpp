// listing: the names in a virtual folder and the order they are shown in.
#include "pdisk/listing.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <unordered_set>

#include "pdisk/path.h"
#include "pdisk/pfile.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

// The run's value as digits without leading zeros (so any length compares).
std::string_view digit_run(std::string_view s, size_t &at) {
  size_t start = at;
  while (at < s.size() && is_digit(s[at])) at++;
  std::string_view run = s.substr(start, at - start);
  while (run.size() > 1 && run.front() == '0') run.remove_prefix(1);
  return run;
}

// The mount points, looked up once a name: a scan of the table for each of
// 65,536 names would cost far more than a listing is charged.
std::unordered_set<std::string_view> mount_points() {
  std::unordered_set<std::string_view> points;
  for (const pmount &m : pmount_table) points.insert(m.mount_point);
  return points;
}

// The name of child when it lies directly under folder, else empty.
std::string_view child_name(std::string_view child, std::string_view folder) {
  if (folder != "/") {
    if (child.size() <= folder.size() + 1 || !child.starts_with(folder) || child[folder.size()] != '/')
      return {};
    child.remove_prefix(folder.size() + 1);
  } else {
    if (child.size() < 2 || child[0] != '/') return {};
    child.remove_prefix(1);
  }
  return child.find('/') == std::string_view::npos ? child : std::string_view();
}

std::string virtual_child(const std::string &folder, const std::string &name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

bool list_host_folder(const resolved_path &r, std::vector<std::string> &names) {
  DIR *d = opendir(r.origin.c_str());
  if (!d) return false;
  std::unordered_set<std::string_view> points = mount_points();
  while (dirent *e = readdir(d)) {
    if (names.size() >= pflist_max) break;
    std::string name = e->d_name;
    if (name.empty() || name[0] == '.') continue;
    if (points.contains(virtual_child(r.path, name))) continue;
    struct stat st;
    bool folder = stat(join_origin(r.origin, name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    // A folder named like a cartridge is shown as one.
    if (folder && kvt_path_kind(name) == 0) name += '/';
    names.push_back(std::move(name));
  }
  closedir(d);
  return true;
}

void list_ram_folder(const resolved_path &r, std::vector<std::string> &names) {
  std::unordered_set<std::string_view> points = mount_points();
  for (const pfile &f : pfile_table) {
    if (names.size() >= pflist_max) return;
    if (f.kind != pfile_ram) continue;
    std::string_view name = child_name(f.origin, r.origin);
    if (name.empty() || name[0] == '.' || points.contains(f.origin)) continue;
    names.emplace_back(name);
    if (f.flags & pfile_flag_folder) names.back() += '/';
  }
}

void list_mount_points(const std::string &path, std::vector<std::string> &names) {
  for (const pmount &m : pmount_table) {
    if (names.size() >= pflist_max) return;
    std::string_view name = child_name(m.mount_point, path);
    if (name.empty()) continue;
    names.emplace_back(name);
    if (get_ext(name).empty()) names.back() += '/';
  }
}

} // namespace

bool compare_str_item(std::string_view a, std::string_view b) {
  bool a_folder = !a.empty() && a.back() == '/';
  bool b_folder = !b.empty() && b.back() == '/';
  if (a_folder != b_folder) return a_folder;
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    bool da = is_digit(a[i]), db = is_digit(b[j]);
    if (da && db) {
      std::string_view ra = digit_run(a, i), rb = digit_run(b, j);
      if (ra.size() != rb.size()) return ra.size() < rb.size();
      if (ra != rb) return ra < rb;
      continue;
    }
    if (da != db) return db;
    char ca = upper(a[i]), cb = upper(b[j]);
    if (ca != cb) return static_cast<unsigned char>(ca) < static_cast<unsigned char>(cb);
    i++;
    j++;
  }
  return i == a.size() && j < b.size();
}

std::optional<pdisk_listing> pflist(std::string_view path) {
  resolved_path r = resolve_to_origin(path, false);
  if (!r.kind) return std::nullopt;
  pdisk_listing out;
  if (r.kind == pmount_host) {
    if (!list_host_folder(r, out.names)) return std::nullopt;
  } else {
    list_ram_folder(r, out.names);
  }
  list_mount_points(r.path, out.names);
  // A name met twice (two mounts at one point, a mount over a file) is
  // listed once.
  std::sort(out.names.begin(), out.names.end());
  out.names.erase(std::unique(out.names.begin(), out.names.end()), out.names.end());
  std::stable_sort(out.names.begin(), out.names.end(),
                   [](const std::string &a, const std::string &b) { return compare_str_item(a, b); });
  for (const std::string &n : out.names)
    if (n.back() == '/') out.folders++;
  return out;
}
