// listing: the names in a virtual folder and the order they are shown in.
#include "pdisk/listing.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

#include "kernel/accounting.h"
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

// Charged as it goes: the folder, then each entry read (hidden ones too).
bool list_host_folder(const resolved_path &r, std::vector<std::string> &names) {
  spend_cpu(pfile_host_folder_cycles);
  DIR *d = opendir(r.origin.c_str());
  if (!d) return false;
  while (dirent *e = readdir(d)) {
    if (names.size() >= pflist_max) break;
    spend_cpu(pfile_host_entry_cycles);
    std::string name = e->d_name;
    if (name.empty() || name[0] == '.') continue;
    if (is_mount_point(virtual_child(r.path, name))) continue;
    // The listing tells most entries' kind; a link or an entry of unknown
    // kind is looked at (a link to a folder is listed as a folder).
    bool folder = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      spend_cpu(pfile_host_stat_cycles);
      struct stat st;
      folder = stat(join_origin(r.origin, name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    // A folder named like a cartridge is shown as one.
    if (folder && kvt_path_kind(name) == 0) name += '/';
    names.push_back(std::move(name));
  }
  closedir(d);
  return true;
}

// Only the slots directly under the folder are visited; the ones passed over
// unlisted (hidden, under a mount point, deeper) count toward the charge.
void list_ram_folder(const resolved_path &r, pdisk_listing &out) {
  for (int32_t slot : ram_children(r.origin, &out.unlisted)) {
    if (out.names.size() >= pflist_max) return;
    const pfile &f = pfile_table[size_t(slot)];
    std::string_view name = child_name(f.origin, r.origin);
    if (name.empty() || name[0] == '.' || is_mount_point(f.origin)) {
      out.unlisted++;
      continue;
    }
    out.names.emplace_back(name);
    if (f.flags & pfile_flag_folder) out.names.back() += '/';
  }
}

void list_mount_points(const std::string &path, pdisk_listing &out) {
  for (std::string_view name : mount_point_children(path, &out.unlisted)) {
    if (out.names.size() >= pflist_max) return;
    out.names.emplace_back(name);
    if (get_ext(name).empty()) out.names.back() += '/';
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

// A folder mark, then each character upper-cased (0xFE escapes the two
// highest), each digit run as 0xFF, its length without leading zeros (4
// bytes) and those digits.
std::string listing_key(std::string_view name) {
  std::string key(1, !name.empty() && name.back() == '/' ? '\0' : '\1');
  key.reserve(name.size() + 8);
  for (size_t i = 0; i < name.size();) {
    if (is_digit(name[i])) {
      std::string_view run = digit_run(name, i);
      uint32_t n = uint32_t(run.size());
      key += '\xFF';
      for (int shift = 24; shift >= 0; shift -= 8) key += char(n >> shift);
      key.append(run);
      continue;
    }
    unsigned char c = static_cast<unsigned char>(upper(name[i++]));
    if (c >= 0xFE) key += '\xFE';
    key += char(c);
  }
  return key;
}

std::optional<pdisk_listing> pflist(std::string_view path) {
  resolved_path r = resolve_to_origin(path, false);
  if (!r.kind) return std::nullopt;
  pdisk_listing out;
  if (r.kind == pmount_host) {
    if (!list_host_folder(r, out.names)) return std::nullopt;
  } else {
    list_ram_folder(r, out);
  }
  list_mount_points(r.path, out);
  // Names the rule holds equal go in byte order; a name met twice (two
  // mounts at one point, a mount over a file) is listed once. The keys lie
  // in one text and the names are sorted by number, so little is moved.
  std::string keys;
  std::vector<uint32_t> starts, order(out.names.size());
  for (const std::string &n : out.names) {
    starts.push_back(uint32_t(keys.size()));
    keys += listing_key(n);
  }
  starts.push_back(uint32_t(keys.size()));
  auto key = [&](uint32_t i) { return std::string_view(keys).substr(starts[i], starts[i + 1] - starts[i]); };
  for (uint32_t i = 0; i < order.size(); i++) order[i] = i;
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    int c = key(a).compare(key(b));
    return c != 0 ? c < 0 : out.names[a] < out.names[b];
  });
  std::vector<std::string> sorted;
  sorted.reserve(order.size());
  for (uint32_t i : order)
    if (sorted.empty() || sorted.back() != out.names[i]) sorted.push_back(std::move(out.names[i]));
  out.names = std::move(sorted);
  for (const std::string &n : out.names)
    if (n.back() == '/') out.folders++;
  return out;
}
