// yorelog: the file history (per-day logs, hashed blobs, deltas).
#include "pdisk/yorelog.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
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
// Each event makes sure of today's folders: the data folder's levels twice
// and the history's three, each a mkdir and a stat, and a look for the log.
constexpr int64_t day_folders_cycles = 24 * pfile_host_stat_cycles;

// The notes around a snapshot taken over several frames: a log that holds
// the first without the second stopped part way (exit, reboot, a crash), and
// the walk goes on when the log is loaded again.
constexpr std::string_view snapshot_begun_note = "__start_snapshot";
constexpr std::string_view snapshot_ended_note = "__end_snapshot";

std::unique_ptr<htable> path_table;
std::string current_log;

struct dir_closer {
  void operator()(DIR *d) const { closedir(d); }
};

// A folder on the walk's way: its names are read a step at a time, then
// sorted and visited in order, as a walk made in one go visits them.
struct walk_folder {
  std::string path;   // virtual
  std::string origin; // on the host
  int depth = 0;
  std::unique_ptr<DIR, dir_closer> listing; // open until every name is read
  std::vector<std::string> names;
  size_t next = 0;
};

// The day's snapshot while it is being walked.
struct snapshot_walk {
  std::string log, tuk;
  std::string day_start; // the time mark of the day's 00:00:00
  std::vector<walk_folder> folders;
  std::set<std::pair<dev_t, ino_t>> seen; // host folders met twice are walked once
  // Paths recorded ahead of the walk (about to change, go or be fetched), or
  // written meanwhile without room in the path table: the walk passes them.
  std::unordered_set<std::string> reached;
  // The log's last time mark is day_start: snapshot lines may follow as they are.
  bool at_day_start = false;
};
std::unique_ptr<snapshot_walk> walk;

// A step's work. The step after a frame also ends once its host time is up:
// a blob's write waits for the disk's sync, whose time no count foretells.
struct step_budget {
  int64_t entries = yorelog_step_entries;
  int64_t files = yorelog_step_files;
  int64_t bytes = yorelog_step_bytes;
  std::optional<std::chrono::steady_clock::time_point> until;
  bool spent() const {
    return entries <= 0 || files <= 0 || bytes <= 0 ||
           (until && std::chrono::steady_clock::now() >= *until);
  }
};

// What recording a version did on the host, for the caller to charge.
struct checkpoint_cost {
  bool read = false;
  int64_t bytes = 0;
  bool blob_written = false;
};

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

std::string with_note(const std::string &mark, std::string_view note) {
  return mark.substr(0, mark.size() - 1) + " " + std::string(note) + "\n";
}

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
  spend_cpu(pfile_host_open_cycles + int64_t(text.size()) / pfile_bytes_per_cycle);
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

// A blob's bytes, when they still match the hash that names them.
std::optional<std::string> read_blob(const std::string &tuk, std::string_view hash) {
  spend_cpu(pfile_host_open_cycles);
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

// A version recorded: the file opened and read, and its blob written and
// synced when it had none.
void charge_checkpoint(const checkpoint_cost &cost) {
  if (cost.read) spend_cpu(pfile_host_open_cycles + cost.bytes / pfile_bytes_per_cycle);
  if (cost.blob_written) spend_cpu(pfile_write_cycles + cost.bytes / pfile_bytes_per_cycle);
}

// The log lines that record one version of a file; empty when it is not
// recorded (unreadable, too large, its blob could not be written).
std::string store_file_checkpoint(const std::string &host_path, std::string_view path,
                                  const std::string &tuk, bool snapshot, time_t now,
                                  checkpoint_cost *cost) {
  std::optional<std::string> bytes = read_host(host_path, yorelog_blob_max);
  if (!bytes) return std::string();
  cost->read = true;
  cost->bytes = int64_t(bytes->size());
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
  if (!is_regular(blob)) {
    if (!write_host_file_atomically(blob, bytes->data(), bytes->size())) {
      hovi_debugf("[yorelog] couldn't write blob %s\n", blob.c_str());
      return std::string();
    }
    cost->blob_written = true;
  }
  if (path_table) htable_insert(*path_table, path, hash);
  std::string line = std::string(snapshot ? ":" : "$") + " " + hash + " " + std::string(path) + "\n";
  return snapshot ? line : time_mark(now) + line;
}

bool is_reached(const snapshot_walk &w, std::string_view path) {
  return (path_table && htable_get(*path_table, path)) || w.reached.count(std::string(path));
}

// Whether the walk comes to this path: as the walk writes it, no name on the
// way beginning '.', no ".bin" folder on the way, within the depth limit.
bool walk_would_visit(std::string_view path) {
  if (path.size() < 2 || path[0] != '/' || normalise_kestrune_path_from(path, "/") != path)
    return false;
  int depth = 0;
  for (size_t at = 1;;) {
    size_t slash = path.find('/', at);
    std::string_view name = path.substr(at, slash == std::string_view::npos ? slash : slash - at);
    if (name.empty() || name[0] == '.') return false;
    if (slash == std::string_view::npos) return true;
    if (get_ext(name) == "bin" || ++depth > yorelog_depth_max) return false;
    at = slash + 1;
  }
}

// The history mounts no cartridges on its way.
resolved_path resolve_without_mounting(std::string_view path) {
  bool was_blocked = block_automounting;
  block_automounting = true;
  resolved_path r = resolve_to_origin(path, false);
  block_automounting = was_blocked;
  return r;
}

// Enters a folder: its "^" line now, its names over the next steps. Host
// folders met twice (a link or a mount back up the tree) are walked once.
void enter_folder(snapshot_walk &w, const std::string &path, int depth, std::string &lines) {
  if (depth > yorelog_depth_max) {
    hovi_debug("** yorelog exceeded maximum depth (1024). circular mount?\n");
    return;
  }
  if (path != "/") lines += "^ " + path + "/\n";
  resolved_path r = resolve_without_mounting(path);
  if (r.kind != pmount_host) return;
  struct stat st;
  if (stat(r.origin.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  if (!w.seen.insert({st.st_dev, st.st_ino}).second) return;
  std::unique_ptr<DIR, dir_closer> listing(opendir(r.origin.c_str()));
  if (!listing) return;
  walk_folder f;
  f.path = path;
  f.origin = std::move(r.origin);
  f.depth = depth;
  f.listing = std::move(listing);
  w.folders.push_back(std::move(f));
}

std::unique_ptr<snapshot_walk> start_walk(const day_folders &f, time_t now, std::string &lines) {
  auto w = std::make_unique<snapshot_walk>();
  w->log = f.log;
  w->tuk = f.tuk;
  w->day_start = "@ " + format_utc(now, "%Y-%m-%d") + "_00:00:00\n";
  enter_folder(*w, "/", 0, lines);
  return w;
}

// Walks on within one step's budget, adding the snapshot's lines; true once
// the snapshot is whole. A step does some work whatever its budget. Charged
// only when a script's call takes the step.
bool walk_some(snapshot_walk &w, time_t now, std::string &lines, step_budget b, bool charged) {
  for (bool first = true; !w.folders.empty(); first = false) {
    if (!first && b.spent()) return false;
    walk_folder &top = w.folders.back();
    if (top.listing) {
      for (; b.entries > 0; b.entries--) {
        dirent *e = readdir(top.listing.get());
        if (!e) {
          top.listing.reset();
          std::sort(top.names.begin(), top.names.end());
          break;
        }
        if (e->d_name[0] != '.') top.names.emplace_back(e->d_name);
      }
      continue;
    }
    if (top.next == top.names.size()) {
      w.folders.pop_back();
      continue;
    }
    b.entries--;
    std::string name = std::move(top.names[top.next++]);
    std::string child = top.path == "/" ? "/" + name : top.path + "/" + name;
    // A name the file system cannot reach (or that would break a log line)
    // has no history.
    if (normalise_kestrune_path_from(child, "/") != child || is_reached(w, child)) continue;
    std::string host_child = join_origin(top.origin, name);
    struct stat st;
    if (stat(host_child.c_str(), &st) != 0) continue;
    if (S_ISREG(st.st_mode)) {
      checkpoint_cost cost;
      lines += store_file_checkpoint(host_child, child, w.tuk, true, now, &cost);
      if (charged) {
        charge_checkpoint(cost);
      }
      b.files--;
      b.bytes -= cost.bytes;
    } else if (S_ISDIR(st.st_mode) && get_ext(name) != "bin") {
      enter_folder(w, child, top.depth + 1, lines);
    }
  }
  return true;
}

void append_snapshot_lines(snapshot_walk &w, const std::string &lines) {
  if (lines.empty()) return;
  append_log(w.log, w.at_day_start ? lines : w.day_start + lines);
  w.at_day_start = true;
}

// Records a file ahead of the walk, as the walk would have found it, because
// it is about to change or go or is being fetched; charged to the caller.
void reach_ahead(std::string_view path, const std::string &origin, time_t now) {
  if (!walk || is_reached(*walk, path) || !walk_would_visit(path)) return;
  spend_cpu(pfile_probe_cycles);
  struct stat st;
  if (stat(origin.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  checkpoint_cost cost;
  std::string line = store_file_checkpoint(origin, path, walk->tuk, true, now, &cost);
  charge_checkpoint(cost);
  walk->reached.emplace(path);
  append_snapshot_lines(*walk, line);
}

// Loads a log's paths. A log whose snapshot stopped part way gets its walk
// back, which passes over every path the log holds.
void load_path_table(const day_folders &f, time_t now) {
  path_table = create_htable(path_table_capacity);
  walk.reset();
  std::optional<std::string> text = read_host(f.log, INT64_MAX);
  if (!text) return;
  bool unfinished = false;
  std::vector<std::string_view> no_room;
  for (std::string_view line : log_lines(*text)) {
    std::string_view hash, path;
    if (line.empty()) continue;
    if ((line[0] == ':' || line[0] == '$') && split_blob_line(line, &hash, &path)) {
      if (htable_insert(*path_table, path, hash) != 0) no_room.push_back(path);
    } else if (line[0] == '@' && line.size() > 3 + date_length) {
      std::string_view note = line.substr(3 + date_length);
      if (note == snapshot_begun_note) unfinished = true;
      if (note == snapshot_ended_note) unfinished = false;
    }
  }
  if (!unfinished) return;
  std::string lines;
  walk = start_walk(f, now, lines);
  for (std::string_view path : no_room) walk->reached.emplace(path);
  append_snapshot_lines(*walk, lines);
}

// Today's log, made (with its snapshot's first step) when it does not exist
// yet, its paths loaded when it is not the current one. Empty when it cannot
// be made.
std::string open_today(time_t now, day_folders *out) {
  struct tm tm;
  gmtime_r(&now, &tm);
  spend_cpu(day_folders_cycles);
  day_folders f = folders_of(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  hovi_mkdir(hovi_prefix_with_appdata_path("yorelog"));
  hovi_mkdir(f.month);
  hovi_mkdir(f.tuk);
  *out = f;
  if (is_regular(f.log)) {
    if (f.log != current_log) {
      hovi_debugf("[yorelog] loading log file: %s\n", f.log.c_str());
      load_path_table(f, now);
    }
  } else {
    path_table = create_htable(path_table_capacity);
    hovi_debugf("[yorelog] generating new log file: %s\n", f.log.c_str());
    // A snapshot that one step takes whole is written whole. A larger one
    // goes on after each frame (yorelog_step), its lines following a note
    // that marks it begun, and a note marks it ended.
    std::string lines;
    std::unique_ptr<snapshot_walk> w = start_walk(f, now, lines);
    bool whole = walk_some(*w, now, lines, step_budget{}, true);
    if (!whole) lines = with_note(w->day_start, snapshot_begun_note) + lines;
    if (!write_host_file_atomically(f.log, lines.data(), lines.size())) {
      hovi_debugf("[yorelog] ** could not open new log file: %s\n", f.log.c_str());
      current_log.clear();
      return std::string();
    }
    // Another day's walk stops where it is; its log says so.
    walk.reset();
    if (!whole) {
      w->at_day_start = true;
      walk = std::move(w);
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
  time_t now = yorelog_clock();
  day_folders f;
  std::string log = config.yorelog ? open_today(now, &f) : std::string();
  if (type == yorelog_open_day) {
    // A snapshot begun while the history was on keeps what it has not come
    // to yet, even after the history is switched off.
    if (!path.empty()) reach_ahead(path, std::string(origin), now);
    return;
  }
  if (log.empty()) return;
  std::string text;
  checkpoint_cost cost;
  switch (type) {
  case yorelog_file_written:
    text = store_file_checkpoint(std::string(origin), path, f.tuk, false, now, &cost);
    charge_checkpoint(cost);
    break;
  case yorelog_deleted:
    text = "- " + std::string(path) + "\n";
    break;
  case yorelog_folder_made:
    text = "> " + std::string(path) + "\n";
    break;
  case yorelog_note:
    text = path.empty() ? time_mark(now) : with_note(time_mark(now), path);
    break;
  default:
    return;
  }
  if (text.empty()) return;
  if (walk && walk->log == log) {
    // After snapshot lines the time mark is the day's start: an entry with
    // no time mark of its own gets one.
    if (walk->at_day_start && (type == yorelog_deleted || type == yorelog_folder_made))
      text = time_mark(now) + text;
    walk->at_day_start = false;
    if (type == yorelog_file_written && !htable_get(*path_table, path)) walk->reached.emplace(path);
  }
  append_log(log, text);
}

void yorelog_step() {
  if (!walk) return;
  time_t now = yorelog_clock();
  std::string lines;
  step_budget b;
  b.until = std::chrono::steady_clock::now() + std::chrono::microseconds(yorelog_step_us);
  bool whole = walk_some(*walk, now, lines, b, false);
  append_snapshot_lines(*walk, lines);
  if (!whole) return;
  append_log(walk->log, with_note(time_mark(now), snapshot_ended_note));
  walk.reset();
}

bool yorelog_snapshot_pending() { return walk != nullptr; }

void yorelog_open() {
  current_log.clear();
  walk.reset(); // its log says where it stopped; loading the log again goes on
  yorelog_event(yorelog_note, "__start_session", "");
}

void yorelog_close() {
  walk.reset();
  path_table.reset();
}

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
  if (walk && walk_would_visit(path)) {
    // A file the day's snapshot has not come to yet is recorded first.
    resolved_path r = resolve_without_mounting(path);
    if (r.kind == pmount_host) reach_ahead(path, r.origin, yorelog_clock());
  }

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
  spend_cpu(pfile_host_open_cycles);
  std::optional<std::string> log = read_host(f.log, INT64_MAX);
  if (!log) return nullptr;
  spend_cpu(int64_t(log->size()) / pfile_bytes_per_cycle);

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
    case '+':
      // Most lines name another path: the length and the path go first.
      collecting = false;
      if (line.size() == line_path_at + path.size() && line.ends_with(path) &&
          split_blob_line(line, &h, &p) && mark <= wanted) {
        hash.assign(h);
        delta_hex.clear();
        collecting = line[0] == '+';
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
