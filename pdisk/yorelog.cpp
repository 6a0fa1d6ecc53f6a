// yorelog: the file history (per-day logs, hashed blobs, deltas).
#include "pdisk/yorelog.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kernel/accounting.h"
#include "kernel/system.h"
#include "pdisk/htable.h"
#include "pdisk/murmur3.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"
#include "platform/atomic_write.h"
#include "platform/host_log.h"
#include "platform/host_paths.h"
#include "values/delta.h"

time_t (*yorelog_clock)() = [] { return time(nullptr); };

namespace {

constexpr uint32_t path_table_capacity = 65536;
constexpr size_t hash_digits = 32;
constexpr size_t line_path_at = 35; // ": <32 hex> <path>"
constexpr size_t date_length = 19;  // YYYY-MM-DD_HH:MM:SS
constexpr int first_log_year = 2024;
constexpr int last_log_year = 2030;
constexpr int day_steps_max = (last_log_year - first_log_year + 2) * 12 * 31;

std::unique_ptr<htable> path_table;
std::string current_log;

struct day_folders {
  std::string month; // "yorelog/%Y-%m" in the data folder
  std::string tuk;   // its blobs
  std::string log;   // "%d.log" in it
};

std::string format_utc(time_t t, const char *format) {
  struct tm tm;
  gmtime_r(&t, &tm);
  char text[64];
  size_t n = strftime(text, sizeof text, format, &tm);
  return std::string(text, n);
}

std::string time_mark(time_t t) { return "@ " + format_utc(t, "%Y-%m-%d_%H:%M:%S") + "\n"; }

day_folders folders_of(int year, int month, int day) {
  char month_name[32], log_name[16];
  snprintf(month_name, sizeof month_name, "yorelog/%04d-%02d", year, month);
  snprintf(log_name, sizeof log_name, "%02d.log", day);
  day_folders f;
  f.month = hovi_prefix_with_appdata_path(month_name);
  f.tuk = f.month + "/tuk";
  f.log = f.month + "/" + log_name;
  return f;
}

bool is_regular(const std::string &host_path) {
  struct stat st;
  return stat(host_path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A regular host file below max bytes, whole.
std::optional<std::string> read_host(const std::string &host_path, int64_t max) {
  int fd = open(host_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st;
  std::optional<std::string> out;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < max) {
    // Read into room for the stated size (and one byte more, to see a file
    // that grew meanwhile).
    std::string bytes(size_t(st.st_size) + 1, '\0');
    size_t have = 0;
    bool ok = true;
    for (;;) {
      if (have == bytes.size()) bytes.resize(bytes.size() * 2);
      ssize_t got = read(fd, bytes.data() + have, bytes.size() - have);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) ok = false;
      if (got <= 0) break;
      have += size_t(got);
      if (int64_t(have) >= max) ok = false;
      if (!ok) break;
    }
    bytes.resize(have);
    if (ok) out = std::move(bytes);
  }
  close(fd);
  return out;
}

bool append_log(const std::string &log, const std::string &text) {
  if (text.empty()) return true;
  int fd = open(log.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    std::printf(" ** couldn't open log file to append\n");
    return false;
  }
  // A log whose last line lost its end (a short write, a copy cut off) gets
  // that line ended and an empty line after it, which tells the reader the
  // line is cut; the new lines then start lines of their own.
  std::string out;
  struct stat st;
  char last = '\n';
  if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 &&
      last != '\n')
    out = "\n\n";
  out += text;
  // One write of whole lines: a reader never takes a cut line for a whole one.
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = write(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  close(fd);
  return done == out.size();
}

// The whole lines of a log, trailing characters below '!' removed. Left out:
// a last line without its line end (it was being written when the program
// stopped), and a line that an empty line follows (it was cut so, and
// append_log ended it with the empty line; no writer makes an empty line).
std::vector<std::string_view> log_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t at = 0;
  for (size_t nl; (nl = text.find('\n', at)) != std::string_view::npos; at = nl + 1) {
    std::string_view line = text.substr(at, nl - at);
    if (line.empty()) {
      if (!lines.empty()) lines.pop_back();
      continue;
    }
    while (!line.empty() && static_cast<unsigned char>(line.back()) < '!') line.remove_suffix(1);
    lines.push_back(line);
  }
  return lines;
}

bool is_hex_hash(std::string_view s) {
  if (s.size() != hash_digits) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// A ':' or '$' line's hash and path.
bool split_blob_line(std::string_view line, std::string_view *hash, std::string_view *path) {
  if (line.size() <= line_path_at || line[1] != ' ' || line[line_path_at - 1] != ' ') return false;
  *hash = line.substr(2, hash_digits);
  *path = line.substr(line_path_at);
  return is_hex_hash(*hash);
}

void load_path_table(const std::string &log) {
  path_table = create_htable(path_table_capacity);
  std::optional<std::string> text = read_host(log, INT64_MAX);
  if (!text) return;
  for (std::string_view line : log_lines(*text)) {
    std::string_view hash, path;
    if (line.empty()) continue;
    if ((line[0] == ':' || line[0] == '$') && split_blob_line(line, &hash, &path))
      htable_insert(*path_table, path, hash);
  }
}

// A blob's bytes, when they still match the hash that names them.
std::optional<std::string> read_blob(const std::string &tuk, std::string_view hash) {
  std::optional<std::string> blob = read_host(tuk + "/" + std::string(hash), yorelog_blob_max);
  if (!blob) return std::nullopt;
  if (murmur3_hex(blob->data(), blob->size()) != hash) {
    hovi_debugf("[yorelog] damaged blob %.*s\n", int(hash.size()), hash.data());
    return std::nullopt;
  }
  return blob;
}

std::string hex_lines(const uint8_t *bytes, int64_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (int64_t at = 0; at < n; at += yorelog_delta_line_bytes) {
    out += "| ";
    for (int64_t i = at; i < std::min<int64_t>(n, at + yorelog_delta_line_bytes); i++) {
      out += digits[bytes[i] >> 4];
      out += digits[bytes[i] & 15];
    }
    out += '\n';
  }
  return out;
}

// The log lines that record one version of a file; empty when it is not
// recorded (unreadable, too large, its blob could not be written).
std::string store_file_checkpoint(const std::string &host_path, std::string_view path,
                                  const std::string &tuk, bool snapshot, time_t now) {
  std::optional<std::string> bytes = read_host(host_path, yorelog_blob_max);
  if (!bytes) return std::string();
  spend_cpu(int64_t(bytes->size()) / 8);
  std::string hash = murmur3_hex(bytes->data(), bytes->size());
  std::optional<std::string_view> old = path_table ? htable_get(*path_table, path) : std::nullopt;
  if (!snapshot && old) {
    std::string old_hash(*old);
    if (std::optional<std::string> base = read_blob(tuk, old_hash)) {
      buffer_owner delta(generate_diff(reinterpret_cast<const uint8_t *>(base->data()),
                                       int64_t(base->size()),
                                       reinterpret_cast<const uint8_t *>(bytes->data()),
                                       int64_t(bytes->size())));
      int64_t n = delta ? delta->length : INT64_MAX;
      if (n <= yorelog_delta_max &&
          (n <= yorelog_delta_small || n <= int64_t(bytes->size()) / 16))
        return time_mark(now) + "+ " + old_hash + " " + std::string(path) + "\n" +
               hex_lines(delta->data, n);
    }
  }
  std::string blob = tuk + "/" + hash;
  if (!is_regular(blob) && !write_host_file_atomically(blob, bytes->data(), bytes->size())) {
    hovi_debugf("[yorelog] couldn't write blob %s\n", blob.c_str());
    return std::string();
  }
  if (path_table) htable_insert(*path_table, path, hash);
  std::string line = std::string(snapshot ? ":" : "$") + " " + hash + " " + std::string(path) + "\n";
  return snapshot ? line : time_mark(now) + line;
}

// The snapshot of one folder and everything below it; host folders met
// twice (a link or a mount back up the tree) are walked once.
void generate_daily_branch(const std::string &path, int depth, const std::string &tuk, time_t now,
                           std::set<std::pair<dev_t, ino_t>> &seen, std::string &lines) {
  if (depth > yorelog_depth_max) {
    hovi_debug("** yorelog exceeded maximum depth (1024). circular mount?\n");
    return;
  }
  if (path != "/") lines += "^ " + path + "/\n";
  resolved_path r = resolve_to_origin(path, false);
  if (r.kind != pmount_host) return;
  struct stat st;
  if (stat(r.origin.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  if (!seen.insert({st.st_dev, st.st_ino}).second) return;
  DIR *d = opendir(r.origin.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (dirent *e = readdir(d))
    if (e->d_name[0] != '.') names.emplace_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    std::string child = path == "/" ? "/" + name : path + "/" + name;
    // A name the file system cannot reach (or that would break a log line)
    // has no history.
    if (normalise_kestrune_path_from(child, "/") != child) continue;
    std::string host_child = join_origin(r.origin, name);
    if (stat(host_child.c_str(), &st) != 0) continue;
    if (S_ISREG(st.st_mode))
      lines += store_file_checkpoint(host_child, child, tuk, true, now);
    else if (S_ISDIR(st.st_mode) && get_ext(name) != "bin")
      generate_daily_branch(child, depth + 1, tuk, now, seen, lines);
  }
}

// Today's log, made (with its snapshot) when it does not exist yet, its
// paths loaded when it is not the current one. Empty when it cannot be made.
std::string open_today(time_t now, day_folders *out) {
  struct tm tm;
  gmtime_r(&now, &tm);
  day_folders f = folders_of(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  hovi_mkdir(hovi_prefix_with_appdata_path("yorelog"));
  hovi_mkdir(f.month);
  hovi_mkdir(f.tuk);
  *out = f;
  if (is_regular(f.log)) {
    if (f.log != current_log) {
      hovi_debugf("[yorelog] loading log file: %s\n", f.log.c_str());
      load_path_table(f.log);
    }
  } else {
    path_table = create_htable(path_table_capacity);
    hovi_debugf("[yorelog] generating new log file: %s\n", f.log.c_str());
    // The snapshot is made whole first: a log never holds half of one.
    std::string lines;
    std::set<std::pair<dev_t, ino_t>> seen;
    bool was_blocked = block_automounting;
    block_automounting = true; // the walk mounts no cartridges
    generate_daily_branch("/", 0, f.tuk, now, seen, lines);
    block_automounting = was_blocked;
    if (!write_host_file_atomically(f.log, lines.data(), lines.size())) {
      hovi_debugf("[yorelog] ** could not open new log file: %s\n", f.log.c_str());
      current_log.clear();
      return std::string();
    }
  }
  current_log = f.log;
  return f.log;
}

// Digits of the date text at [at, at + n), or -1.
int digits_at(std::string_view s, size_t at, size_t n) {
  int v = 0;
  for (size_t i = at; i < at + n; i++) {
    if (s[i] < '0' || s[i] > '9') return -1;
    v = v * 10 + (s[i] - '0');
  }
  return v;
}

// The delta's bytes from its hex lines; nothing for a bad digit or length.
std::optional<std::string> unhex(const std::string &hex) {
  if (hex.size() % 2) return std::nullopt;
  std::string out;
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    auto nibble = [](char c) {
      return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    int a = nibble(hex[i]), b = nibble(hex[i + 1]);
    if (a < 0 || b < 0) return std::nullopt;
    out.push_back(char(a << 4 | b));
  }
  return out;
}

} // namespace

void yorelog_event(int type, std::string_view path, std::string_view origin) {
  if (!config.yorelog) return;
  time_t now = yorelog_clock();
  day_folders f;
  std::string log = open_today(now, &f);
  if (log.empty() || type == yorelog_open_day) return;
  std::string text;
  switch (type) {
  case yorelog_file_written:
    text = store_file_checkpoint(std::string(origin), path, f.tuk, false, now);
    break;
  case yorelog_deleted:
    text = "- " + std::string(path) + "\n";
    break;
  case yorelog_folder_made:
    text = "> " + std::string(path) + "\n";
    break;
  case yorelog_note: {
    std::string mark = time_mark(now);
    text = path.empty() ? mark : mark.substr(0, mark.size() - 1) + " " + std::string(path) + "\n";
    break;
  }
  default:
    return;
  }
  append_log(log, text);
}

void yorelog_open() {
  current_log.clear();
  yorelog_event(yorelog_note, "__start_session", "");
}

void yorelog_close() { path_table.reset(); }

buffer_owner yorelog_fetch(std::string_view text) {
  size_t at_sign = text.find('@');
  if (at_sign == std::string_view::npos) return nullptr;
  std::string_view when = text.substr(at_sign + 1);
  if (when.size() != date_length) return nullptr;
  // A date that is no date returns at once.
  int year = digits_at(when, 0, 4), month = digits_at(when, 5, 2), day = digits_at(when, 8, 2);
  int hour = digits_at(when, 11, 2), minute = digits_at(when, 14, 2), second = digits_at(when, 17, 2);
  if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 60)
    return nullptr;
  std::string wanted(when);
  wanted[10] = '_';
  std::string path(text.substr(0, at_sign));
  if (std::optional<std::string> norm = normalise_kestrune_path(path)) path = std::move(*norm);
  year = std::min(year, last_log_year);

  // The latest log on or before that day. A month without its folder has no
  // log on any day: it is passed over with one probe.
  day_folders f;
  bool found = false, month_looked_at = false, month_exists = false;
  for (int step = 0; step < day_steps_max && !found; step++) {
    f = folders_of(year, month, day);
    if (!month_looked_at) {
      spend_cpu(yorelog_probe_cycles);
      month_exists = host_directory_exists(f.month);
      month_looked_at = true;
    }
    if (month_exists) {
      spend_cpu(yorelog_probe_cycles);
      if (is_regular(f.log)) {
        found = true;
        break;
      }
      if (day > 1) {
        day--;
        continue;
      }
    }
    if (month <= 4 && year <= first_log_year) return nullptr;
    day = 31;
    month_looked_at = false;
    if (--month == 0) {
      month = 12;
      year--;
    }
  }
  if (!found) return nullptr;
  std::optional<std::string> log = read_host(f.log, INT64_MAX);
  if (!log) return nullptr;
  spend_cpu(int64_t(log->size()) / 8);

  char start[32];
  snprintf(start, sizeof start, "%04d-%02d-%02d_00:00:00", year, month, day);
  std::string mark = start, hash, delta_hex;
  bool collecting = false;
  for (std::string_view line : log_lines(*log)) {
    if (line.empty()) {
      collecting = false;
      continue;
    }
    std::string_view h, p;
    switch (line[0]) {
    case '@':
      mark.assign(line.substr(std::min<size_t>(2, line.size()), date_length));
      collecting = false;
      break;
    case ':':
    case '$':
      collecting = false;
      if (split_blob_line(line, &h, &p) && p == path && mark <= wanted) {
        hash.assign(h);
        delta_hex.clear();
      }
      break;
    case '+':
      collecting = false;
      if (split_blob_line(line, &h, &p) && p == path && mark <= wanted) {
        hash.assign(h);
        delta_hex.clear();
        collecting = true;
      }
      break;
    case '|':
      if (collecting) delta_hex += line.substr(std::min<size_t>(2, line.size()));
      break;
    default:
      collecting = false;
      break;
    }
  }
  if (hash.empty()) return nullptr;
  std::optional<std::string> blob = read_blob(f.tuk, hash);
  if (!blob) return nullptr;
  spend_cpu(int64_t(blob->size()) / 8);
  if (delta_hex.empty()) {
    buffer_owner out(create_buffer_2(int64_t(blob->size()), buffer_group_pfile));
    if (!out || bappend_bytes(out.get(), blob->data(), int64_t(blob->size())) != int64_t(blob->size()))
      return nullptr;
    out->position = 0;
    return out;
  }
  std::optional<std::string> delta = unhex(delta_hex);
  if (!delta) return nullptr;
  // apply_diff checks the rebuilt bytes against the CRC the delta carries.
  buffer_owner out(apply_diff(reinterpret_cast<const uint8_t *>(blob->data()), int64_t(blob->size()),
                              reinterpret_cast<const uint8_t *>(delta->data()), int64_t(delta->size())));
  if (out) out->position = 0;
  return out;
}
