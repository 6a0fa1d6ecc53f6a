// pfile: the file slots, the mounts, and the operations on both.
#include "pdisk/pfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <unordered_map>

#include "kernel/accounting.h"
#include "kernel/held_memory.h"
#include "kernel/system.h"
#include "pdisk/cart_mount.h"
#include "pdisk/path.h"
#include "pdisk/path_index.h"
#include "pdisk/yorelog.h"
#include "platform/atomic_write.h"
#include "platform/host_log.h"

std::array<pfile, pfile_max> pfile_table;
std::vector<pmount> pmount_table;
int32_t next_pfile_index = -1;
bool pending_prune = false;
bool block_automounting = false;
int64_t total_pdisk_calls = 0;

namespace {

constexpr size_t host_read_chunk = 16384;
constexpr int64_t pfile_data_capacity = 1024;
constexpr int64_t pfile_probe_capacity = 32;
constexpr int64_t pfile_clearing_line_cycles = 256;

bool tables_zeroed = false;
int32_t pfile_used = 0;
std::array<int32_t, 3> slots_of_kind{}; // taken slots by pfile.kind
// A set bit for each taken slot: the next free one is found a word at a time.
std::array<uint64_t, pfile_max / 64> taken_slot_bits{};
// RAM origin -> slot, by hash (opening) and in text order (folders). The
// keys are the slots' own origins, which stay put while the slot is taken.
std::unordered_map<std::string_view, int32_t> ram_slot_index;
std::map<std::string_view, int32_t, std::less<>> ram_slot_order;
// RAM slots a caller holds between pfopen and pfclose (a handful at most).
std::vector<int32_t> held_ram_slots;
// Early clearing opens files to write them back, which may want a slot again.
bool early_clearing = false;

// The mounts by mount point (all, and RAM ones) and by origin (RAM ones),
// and the dirty ones, by seq.
path_index mount_points_index, ram_mount_points_index, ram_mount_origins_index;
uint64_t last_mount_seq = 0;
std::vector<uint64_t> table_seqs; // beside the table: found by seq in cache
std::set<uint64_t> dirty_mounts;

pfile *find_ram_slot(std::string_view origin) {
  auto it = ram_slot_index.find(origin);
  return it == ram_slot_index.end() ? nullptr : &pfile_table[size_t(it->second)];
}

bool is_folder(const pfile &f) { return (f.flags & pfile_flag_folder) != 0; }

int32_t slot_number(const pfile &f) { return int32_t(&f - pfile_table.data()); }

void set_taken_bit(int32_t i, bool taken) {
  uint64_t bit = uint64_t{1} << (i & 63);
  if (taken) taken_slot_bits[size_t(i >> 6)] |= bit;
  else taken_slot_bits[size_t(i >> 6)] &= ~bit;
}

// A caller takes or gives back a RAM file it opened.
void hold_slot(pfile &f) {
  if (f.holds++ == 0 && f.kind == pfile_ram) held_ram_slots.push_back(slot_number(f));
}

void forget_held(pfile &f) {
  auto it = std::find(held_ram_slots.begin(), held_ram_slots.end(), slot_number(f));
  if (it != held_ram_slots.end()) held_ram_slots.erase(it);
}

void release_slot(pfile &f) {
  if (f.holds > 0 && --f.holds == 0) forget_held(f);
}

void free_slot(pfile &f) {
  if (f.kind == pfile_ram) {
    ram_slot_index.erase(f.origin);
    ram_slot_order.erase(f.origin);
    if (f.holds > 0) forget_held(f);
  }
  if (f.kind != pfile_free) {
    pfile_used--;
    slots_of_kind[size_t(f.kind)]--;
    set_taken_bit(slot_number(f), false);
  }
  f = pfile{};
}

// The first free slot in [from, to); -1 when none.
int first_free_slot(int from, int to) {
  for (int i = from; i < to;) {
    uint64_t bits = ~taken_slot_bits[size_t(i >> 6)] & (~uint64_t{0} << (i & 63));
    if (bits) {
      int found = (i & ~63) + std::countr_zero(bits);
      return found < to ? found : -1;
    }
    i = (i & ~63) + 64;
  }
  return -1;
}

// The next free slot after the last one found, cleaned, with kind and origin
// set; null when every slot is taken.
pfile *claim_slot(int32_t kind, std::string origin) {
  int start = (next_pfile_index + 1) % pfile_max;
  int i = first_free_slot(start, pfile_max);
  if (i < 0) i = first_free_slot(0, start);
  if (i < 0) return nullptr;
  pfile &f = pfile_table[size_t(i)];
  next_pfile_index = i;
  f = pfile{};
  f.kind = kind;
  f.origin = std::move(origin);
  pfile_used++;
  slots_of_kind[size_t(kind)]++;
  set_taken_bit(i, true);
  if (kind == pfile_ram) {
    ram_slot_index[f.origin] = i;
    ram_slot_order[f.origin] = i;
  }
  return &f;
}

void index_mount(const pmount &m) {
  path_index_add(mount_points_index, m.mount_point, m.seq);
  if (m.kind != pmount_ram) return;
  path_index_add(ram_mount_points_index, m.mount_point, m.seq);
  path_index_add(ram_mount_origins_index, m.origin, m.seq);
}

void unindex_mount(const pmount &m) {
  path_index_remove(mount_points_index, m.mount_point, m.seq);
  dirty_mounts.erase(m.seq);
  if (m.kind != pmount_ram) return;
  path_index_remove(ram_mount_points_index, m.mount_point, m.seq);
  path_index_remove(ram_mount_origins_index, m.origin, m.seq);
}

void clear_mounts() {
  pmount_table.clear();
  table_seqs.clear();
  path_index_clear(mount_points_index);
  path_index_clear(ram_mount_points_index);
  path_index_clear(ram_mount_origins_index);
  dirty_mounts.clear();
}

int first_of(const std::vector<uint64_t> *seqs) { return seqs ? pmount_index_of(seqs->front()) : -1; }

void too_many_files(const char *message) {
  std::printf("%s\n", message);
  hovi_debugf("%s\n", message);
}

// Whether `capacity` bytes fit the RAM file space once a file gives back
// `freed`; a refusal is reported.
bool ram_space_fits(int64_t capacity, int64_t freed) {
  if (capacity <= host_memory_room(ram_files_holder) + freed) return true;
  too_many_files("** out of RAM file space **");
  return false;
}

// Holds a RAM file's bytes against the RAM file space.
bool hold_ram_bytes(buffer *data) {
  return ram_space_fits(int64_t(data->capacity), 0) && bcharge_to(data, ram_files_holder);
}

// Frees RAM slots held by clean cartridges when the table runs low. Callers
// run it before they resolve the path they want a slot for, so the mount
// serving that path is never the one dropped.
void clear_early() {
  if (early_clearing) return;
  early_clearing = true;
  int before = pfile_used;
  flush_dirty_mounts_immediately();
  delete_clean_ram_mounts();
  std::printf("@@@@ early clearing; %d -> %d\n", before, pfile_used);
  // Every open while the table stays low clears again: the line is charged.
  spend_cpu(pfile_clearing_line_cycles);
  pending_prune = true;
  early_clearing = false;
}

bool low_on_slots() { return pfile_max - pfile_used <= pfile_low_water; }

void store_mode(pfile &f, char m0, char m1) {
  f.mode[0] = m0;
  f.mode[1] = m1;
}

bool host_is_regular_file(const std::string &host_path) {
  struct stat st;
  return stat(host_path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Reads a regular host file into data (from its end), stopping once more than
// limit bytes are in when limit >= 0. A folder, device or pipe is refused:
// opening a folder as a file succeeds on some hosts.
bool read_host_file(const std::string &host_path, int64_t limit, buffer *data) {
  int fd = open(host_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  char chunk[host_read_chunk];
  while (ok && (limit < 0 || data->length <= limit)) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) ok = false;
    if (got <= 0) break;
    if (bappend_bytes(data, chunk, got) != got) ok = false; // beyond a buffer's size
  }
  close(fd);
  return ok;
}

// read_host_file charged: the open whatever comes of it, then the bytes read.
bool charged_host_read(const std::string &host_path, int64_t limit, buffer *data) {
  spend_cpu(pfile_host_open_cycles);
  int64_t before = data->length;
  bool ok = read_host_file(host_path, limit, data);
  spend_cpu((data->length - before) / pfile_bytes_per_cycle);
  return ok;
}

// Whether a host file could be written at host_path: not a folder, in a
// folder that exists and lets us write.
bool host_file_writable(const std::string &host_path) {
  struct stat st;
  if (stat(host_path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) return false;
    if (access(host_path.c_str(), W_OK) != 0) return false;
  }
  size_t cut = host_path.find_last_of('/');
  std::string folder = cut == std::string::npos ? "." : cut == 0 ? "/" : host_path.substr(0, cut);
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && access(folder.c_str(), W_OK) == 0;
}

[[noreturn]] void no_mount_for(const std::string &path, int best_depth) {
  std::printf("** fatal: could not resolve file to origin: %s (no matching mount found; / not "
              "mounted?)\n",
              path.c_str());
  std::printf("   // best_depth = %d\n", best_depth);
  print_mounts();
  kestrune_end(0);
}

} // namespace

void pfile_init() {
  if (tables_zeroed) return;
  tables_zeroed = true;
  for (pfile &f : pfile_table) f = pfile{};
  clear_mounts();
  ram_slot_index.clear();
  ram_slot_order.clear();
  held_ram_slots.clear();
  taken_slot_bits = {};
  slots_of_kind = {};
  pfile_used = 0;
  next_pfile_index = -1;
}

void pfile_reset() {
  for (pfile &f : pfile_table)
    if (f.kind == pfile_ram) free_slot(f);
  clear_mounts();
}

int64_t pdisk_now() { return host_ms_since_start(); }

std::string join_origin(std::string_view origin, std::string_view rest) {
  while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  std::string out(origin);
  if (rest.empty()) return out.empty() ? std::string("/") : out;
  if (out.empty() || out.back() != '/') out += '/';
  out.append(rest);
  return out;
}

resolved_path resolve_to_origin(std::string_view path, bool skip_self) {
  resolved_path r;
  std::optional<std::string> norm = normalise_kestrune_path(path);
  if (!norm) return r;
  r.path = std::move(*norm);
  automount_p_path(r.path);
  std::optional<uint64_t> seq = path_index_deepest(mount_points_index, r.path, skip_self);
  if (seq) r.mount = pmount_index_of(*seq);
  if (r.mount < 0) no_mount_for(r.path, -1);
  const pmount &m = pmount_table[size_t(r.mount)];
  r.kind = m.kind;
  r.origin = join_origin(m.origin, std::string_view(r.path).substr(m.mount_point.size()));
  return r;
}

pfile *pfopen(std::string_view path, const char *mode) {
  total_pdisk_calls++;
  char m0 = mode ? mode[0] : 0;
  char m1 = m0 ? mode[1] : 0;
  if (m0 != 'r' && m0 != 'w' && m0 != 'a') return nullptr;
  bool skip_self = m1 == 'f';
  // "rf" reads a cartridge file as it stands after every change so far.
  if (m0 == 'r' && m1 == 'f') flush_dirty_mounts_immediately();
  resolved_path r;
  for (bool cleared = false;; cleared = true) {
    r = resolve_to_origin(path, skip_self);
    if (!r.kind) return nullptr;
    if (r.kind == pmount_ram) {
      if (pfile *f = find_ram_slot(r.origin)) {
        if (is_folder(*f)) return nullptr;
        if (m0 == 'w') bclear(f->data.get());
        f->data->position = m0 == 'a' ? f->data->length : 0;
        store_mode(*f, m0, m1);
        hold_slot(*f);
        return f;
      }
      if (m0 == 'r') return nullptr;
    }
    // Clearing may change the mounts, and its write-backs may make the file.
    if (cleared || !low_on_slots() || early_clearing) break;
    clear_early();
  }

  int64_t capacity = m0 == 'r' && m1 == 'e' ? pfile_probe_capacity : pfile_data_capacity;
  buffer_owner data(create_buffer_2(capacity, buffer_group_pfile));
  if (!data || (r.kind == pmount_ram && !hold_ram_bytes(data.get()))) return nullptr;
  if (r.kind == pmount_host) {
    if (m0 == 'r' && m1 == 'e') {
      spend_cpu(pfile_probe_cycles);
      if (!host_is_regular_file(r.origin)) return nullptr;
    } else if (m0 == 'r') {
      if (!charged_host_read(r.origin, m1 == 'm' ? pfile_meta_read_max : -1, data.get()))
        return nullptr;
    } else {
      // Nothing reaches the host before pfclose; refuse now what could not
      // be written then.
      spend_cpu(pfile_host_open_cycles);
      if (!host_file_writable(r.origin)) return nullptr;
      if (m0 == 'a' && host_is_regular_file(r.origin) &&
          !charged_host_read(r.origin, -1, data.get()))
        return nullptr;
    }
  }

  pfile *f = claim_slot(r.kind == pmount_host ? pfile_host : pfile_ram, r.origin);
  if (!f) {
    too_many_files("** too many files **");
    return nullptr;
  }
  f->path = std::move(r.path);
  f->data = std::move(data);
  f->data->position = m0 == 'a' ? f->data->length : 0;
  store_mode(*f, m0, m1);
  hold_slot(*f);
  return f;
}

bool pfclose(pfile *f) {
  if (!f || f->kind == pfile_free) return false;
  bool writing = f->mode[0] == 'w' || f->mode[0] == 'a';
  bool ok = true;
  if (f->kind == pfile_host) {
    if (writing) {
      int64_t n = f->data->length;
      std::string why;
      // Today's history starts (with its snapshot) before the file changes.
      yorelog_event(yorelog_open_day, f->path, f->origin);
      ok = write_host_file_atomically(f->origin, f->data->data, size_t(n), &why);
      if (!ok) {
        std::printf("** could not write %s: %s\n", f->path.c_str(), why.c_str());
        hovi_debugf("could not write %s: %s\n", f->origin.c_str(), why.c_str());
      }
      spend_cpu(n / pfile_bytes_per_cycle);
      spend_cpu(pfile_write_cycles);
      if (ok) yorelog_event(yorelog_file_written, f->path, f->origin);
    }
    free_slot(*f);
    return ok;
  }
  if (writing) mark_parent_mount_dirty(f->origin);
  store_mode(*f, 0, 0);
  release_slot(*f);
  return ok;
}

int64_t pfread(void *dst, int64_t size, int64_t count, pfile *f) {
  if (!f || !f->data) return 0;
  return bread(dst, size, count, f->data.get());
}

int64_t pfwrite(const void *src, int64_t size, int64_t count, pfile *f) {
  if (!f || !f->data) return 0;
  return bwrite(src, size, count, f->data.get());
}

bool pfset_data(pfile *f, buffer_owner data) {
  if (!f || f->kind == pfile_free || !data) return false;
  data->group = buffer_group_pfile;
  data->position = data->length;
  if (f->kind == pfile_ram) {
    bclear(f->data.get());
    // The file's present bytes go back to the space as the new ones come in.
    if (!ram_space_fits(int64_t(data->capacity), int64_t(f->data->capacity))) return false;
    f->data.reset();
    hold_ram_bytes(data.get());
  }
  f->data = std::move(data);
  return true;
}

bool pfile_room_for(std::string_view path, const char *mode, int64_t bytes) {
  resolved_path r = resolve_to_origin(path, mode && mode[0] && mode[1] == 'f');
  if (r.kind != pmount_ram) return true;
  int64_t freed = 0;  // a file opened for writing gives its bytes back
  if (pfile *f = find_ram_slot(r.origin); f && !is_folder(*f)) freed = int64_t(f->data->capacity);
  return ram_space_fits(bytes + 1, freed);
}

bool append_pmount(pmount record, int refuse_at) {
  // Only the latest record of a mount point: one between with another origin
  // would serve in its place once the earlier ones are unmounted.
  if (const std::vector<uint64_t> *same = path_index_find(mount_points_index, record.mount_point)) {
    pmount &last = pmount_table[size_t(pmount_index_of(same->back()))];
    if (last.kind == record.kind && last.origin == record.origin && last.isr == record.isr) {
      if (last.refs < INT32_MAX) last.refs++;
      return true;
    }
  }
  if (int(pmount_table.size()) >= std::min(refuse_at, pmount_max)) {
    std::printf("** too many mounts; not mounting %s\n", record.mount_point.c_str());
    return false;
  }
  record.seq = ++last_mount_seq;
  record.refs = 1;
  if (record.dirty) dirty_mounts.insert(record.seq);
  table_seqs.push_back(record.seq);
  pmount_table.push_back(std::move(record));
  index_mount(pmount_table.back());
  return true;
}

int first_mount_at(std::string_view mount_point) {
  return first_of(path_index_find(mount_points_index, mount_point));
}

int pmount_index_of(uint64_t seq) {
  auto it = std::lower_bound(table_seqs.begin(), table_seqs.end(), seq);
  return it != table_seqs.end() && *it == seq ? int(it - table_seqs.begin()) : -1;
}

int parent_mount_of_origin(std::string_view origin) {
  std::optional<uint64_t> seq = path_index_deepest(ram_mount_origins_index, origin, false);
  return seq ? pmount_index_of(*seq) : -1;
}

std::vector<int> mounts_at_or_under(std::string_view path) {
  std::vector<int> out;
  for_each_under(mount_points_index.texts, path, [&](auto it) {
    for (uint64_t seq : it->second.seqs) out.push_back(pmount_index_of(seq));
  });
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string_view> mount_point_children(std::string_view path, int64_t *unlisted) {
  std::vector<std::string_view> names;
  int64_t passed = for_each_child(mount_points_index.texts, path,
                                  [&](std::string_view name, auto) { names.push_back(name); });
  if (unlisted) *unlisted += passed;
  return names;
}

bool is_mount_point(std::string_view path) { return path_index_find(mount_points_index, path); }

bool mount_host_path(std::string_view mount_point, std::string_view host_folder) {
  pmount m;
  m.kind = pmount_host;
  m.mount_point.assign(mount_point);
  m.origin.assign(host_folder);
  if (!m.mount_point.empty() && m.mount_point.back() == '/') m.mount_point.pop_back();
  if (!m.origin.empty() && m.origin.back() == '/') m.origin.pop_back();
  return append_pmount(std::move(m));
}

bool mount_ram_folder(std::string_view path) {
  std::optional<std::string> norm = normalise_kestrune_path(path);
  if (!norm) return false;
  pmount m;
  m.kind = pmount_ram;
  m.mount_point = *norm;
  m.origin = std::move(*norm);
  m.isr = 1;
  return append_pmount(std::move(m));
}

bool mount_p_path(std::string_view mount_point, std::string_view target) {
  std::optional<std::string> norm = normalise_kestrune_path(mount_point);
  if (!norm) return false;
  resolved_path r = resolve_to_origin(target, false);
  if (!r.kind) return false;
  pmount m;
  m.kind = r.kind;
  m.mount_point = std::move(*norm);
  m.origin = std::move(r.origin);
  return append_pmount(std::move(m), pmount_script_refuse_at);
}

void mark_parent_mount_dirty(std::string_view origin) {
  int i = parent_mount_of_origin(origin);
  if (i >= 0) mark_mount_dirty(pmount_table[size_t(i)]);
}

void mark_mount_dirty(pmount &m) {
  dirty_mounts.insert(m.seq);
  m.dirty = 1;
  if (m.flush_deadline == 0) m.flush_deadline = pdisk_now() + pmount_flush_delay_ms;
}

void mark_mount_clean(pmount &m) {
  dirty_mounts.erase(m.seq);
  m.dirty = 0;
  m.flush_deadline = 0;
}

int pmount_dirty_count() { return int(dirty_mounts.size()); }

const std::set<uint64_t> &dirty_mount_seqs() { return dirty_mounts; }

int pmkdir(std::string_view path) {
  std::optional<std::string> norm = normalise_kestrune_path(path);
  if (!norm) return 1;
  // A cartridge "folder" is a cartridge mount, written out as a file on the
  // next delayed write-back ("a.kvt/" names one too).
  if (kvt_cart_form(*norm) != 0) {
    int i = mount_kvt_path(*norm);
    if (i < 0) return 1;
    mark_mount_dirty(pmount_table[size_t(i)]);
    return 0;
  }
  resolved_path r = resolve_to_origin(path, false);
  if (r.kind == pmount_ram && !find_ram_slot(r.origin) && low_on_slots() && !early_clearing) {
    clear_early();
    r = resolve_to_origin(path, false); // the mounts may have changed
  }
  if (r.kind == pmount_host) {
    yorelog_event(yorelog_open_day, "", "");
    int made = mkdir(r.origin.c_str(), 0755);
    spend_cpu(made == 0 ? pfile_host_mkdir_cycles : pfile_host_stat_cycles);
    if (made == 0) yorelog_event(yorelog_folder_made, r.path, r.origin);
    return made;
  }
  if (find_ram_slot(r.origin)) return 1;
  buffer_owner data(create_buffer_2(0, buffer_group_pfile));
  if (!data || !hold_ram_bytes(data.get())) return 2;
  pfile *f = claim_slot(pfile_ram, r.origin);
  if (!f) {
    too_many_files("** too many files (during mkdir) **");
    return 2;
  }
  f->flags = pfile_flag_folder;
  f->data = std::move(data);
  return 0;
}

bool pdisk_file_exists(std::string_view path) {
  resolved_path r = resolve_to_origin(path, false);
  if (r.kind == pmount_ram) {
    pfile *f = find_ram_slot(r.origin);
    return f && !is_folder(*f);
  }
  if (r.kind != pmount_host) return false;
  spend_cpu(pfile_probe_cycles);
  return host_is_regular_file(r.origin);
}

bool host_directory_exists(const std::string &host_path) {
  DIR *d = opendir(host_path.c_str());
  if (!d) return false;
  closedir(d);
  return true;
}

bool pdisk_directory_exists(std::string_view path, bool follow) {
  resolved_path r = resolve_to_origin(path, false);
  if (!r.kind) return false;
  if (r.kind == pmount_host) {
    spend_cpu(pfile_host_folder_cycles);
    if (host_directory_exists(r.origin)) return true;
  }
  if (r.kind == pmount_ram) {
    pfile *f = find_ram_slot(r.origin);
    if (f && is_folder(*f)) return true;
  }
  if (!follow) return false;
  int i = first_of(path_index_find(ram_mount_points_index, r.path));
  if (i < 0) return false;
  const pmount &m = pmount_table[size_t(i)];
  return m.isr || pdisk_directory_exists(m.origin, false);
}

int64_t pfile_size(std::string_view path, bool skip_self) {
  resolved_path r = resolve_to_origin(path, skip_self);
  if (r.kind == pmount_ram) {
    pfile *f = find_ram_slot(r.origin);
    return f ? f->data->length : 0;
  }
  if (r.kind != pmount_host) return 0;
  spend_cpu(pfile_host_stat_cycles);
  struct stat st;
  return stat(r.origin.c_str(), &st) == 0 ? int64_t(st.st_size) : 0;
}

void delete_path(std::string_view path) {
  std::optional<std::string> norm = normalise_kestrune_path(path);
  if (!norm) return;
  delete_mount_point(*norm);
  bool was_blocked = block_automounting;
  block_automounting = true;
  resolved_path r = resolve_to_origin(*norm, false);
  if (r.kind == pmount_host) {
    // The folder a mount stands on stays, or every path under it would fail.
    if (r.origin != join_origin(pmount_table[size_t(r.mount)].origin, "")) {
      yorelog_event(yorelog_open_day, r.path, r.origin);
      // A file is unlinked, else a folder removed; each try is charged by
      // what came of it.
      bool removed = unlink(r.origin.c_str()) == 0;
      spend_cpu(removed ? pfile_host_unlink_cycles : pfile_host_stat_cycles);
      if (!removed) {
        removed = rmdir(r.origin.c_str()) == 0;
        spend_cpu(removed ? pfile_host_rmdir_cycles : pfile_host_stat_cycles);
      }
      if (removed) yorelog_event(yorelog_deleted, r.path, r.origin);
    }
  } else if (r.kind == pmount_ram) {
    mark_parent_mount_dirty(r.origin);
    pfile *f = find_ram_slot(r.origin);
    if (r.origin.starts_with(pmount_cart_folder)) {
      delete_ram_files_in_path(r.path);
      // The origin is a RAM path already: delete there directly rather than
      // resolve it again, which a mount whose origin lies under its own
      // mount point would turn into a descent without end.
      if (r.origin != r.path) {
        delete_mount_point(r.origin);
        delete_ram_files_in_path(r.origin);
      }
    } else if (f && is_folder(*f)) {
      delete_ram_files_in_path(r.origin);
    } else if (f) {
      free_slot(*f);
    }
  }
  block_automounting = was_blocked;
}

int delete_mount_point(std::string_view path) {
  std::optional<std::string> norm = normalise_kestrune_path(path);
  if (!norm) return 0;
  int i = first_mount_at(*norm);
  if (i < 0) return 0;
  uint64_t seq = pmount_table[size_t(i)].seq;
  if (pmount_table[size_t(i)].dirty) {
    flush_dirty_mount(i, false);
    // The write-back may have changed the table.
    i = pmount_index_of(seq);
    if (i < 0) return 1;
  }
  pmount &m = pmount_table[size_t(i)];
  if (m.refs > 1) {
    m.refs--;
    return 1;
  }
  spend_cpu(int64_t(pmount_table.size() - size_t(i)) * pmount_move_cycles);
  remove_pmount(size_t(i));
  return 1;
}

int delete_ram_files_in_path(std::string_view origin) {
  std::vector<int32_t> slots;
  for_each_under(ram_slot_order, origin, [&](auto it) { slots.push_back(it->second); });
  for (int32_t i : slots) free_slot(pfile_table[size_t(i)]);
  return int(slots.size());
}

std::vector<int32_t> ram_slots_under(std::string_view folder) {
  std::string prefix(folder);
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  std::vector<int32_t> slots;
  for_each_under(ram_slot_order, folder, [&](auto it) {
    if (it->first.size() > prefix.size() && it->first.starts_with(prefix)) slots.push_back(it->second);
  });
  std::sort(slots.begin(), slots.end());
  return slots;
}

std::vector<int32_t> ram_children(std::string_view folder, int64_t *unlisted) {
  std::vector<int32_t> slots;
  int64_t passed = for_each_child(ram_slot_order, folder,
                                  [&](std::string_view, auto it) { slots.push_back(it->second); });
  if (unlisted) *unlisted += passed;
  return slots;
}

void remove_pmounts(const std::vector<int> &indexes) {
  if (indexes.empty()) return;
  std::vector<std::string> carts; // origins whose files may go
  size_t out = size_t(indexes.front()), next = 0;
  for (size_t i = out; i < pmount_table.size(); i++) {
    pmount &m = pmount_table[i];
    if (next < indexes.size() && size_t(indexes[next]) == i) {
      next++;
      unindex_mount(m);
      if (m.origin.starts_with(pmount_cart_folder)) carts.push_back(std::move(m.origin));
      continue;
    }
    if (out != i) {
      pmount_table[out] = std::move(m);
      table_seqs[out] = table_seqs[i];
    }
    out++;
  }
  pmount_table.resize(out);
  table_seqs.resize(out);
  // A RAM mount made onto the same files (a script's mount of the cartridge)
  // still stands on them.
  for (const std::string &origin : carts)
    if (!path_index_any_under(ram_mount_origins_index, origin)) delete_ram_files_in_path(origin);
}

void remove_pmount(size_t index) {
  if (index < pmount_table.size()) remove_pmounts({int(index)});
}

int delete_clean_ram_mounts() {
  // The cartridges come from the index of RAM origins, not a walk of the
  // table. A file someone holds open must outlive this: keep its cartridge.
  std::vector<int> drop;
  for_each_under(ram_mount_origins_index.texts, pmount_cart_folder, [&](auto it) {
    if (it->first.size() < pmount_cart_folder.size()) return; // the folder itself
    bool held = false;
    for (int32_t h : held_ram_slots)
      if (path_is_under(pfile_table[size_t(h)].origin, it->first)) held = true;
    for (uint64_t seq : it->second.seqs) {
      int i = pmount_index_of(seq);
      if (!held && !pmount_table[size_t(i)].dirty) drop.push_back(i);
    }
  });
  std::sort(drop.begin(), drop.end());
  remove_pmounts(drop);
  return int(pmount_table.size());
}

int64_t fcopy(std::string_view src, std::string_view dst) {
  resolved_path from = resolve_to_origin(src, false);
  resolved_path to = resolve_to_origin(dst, false);
  if (!from.kind || !to.kind) return 0;
  if (from.kind == to.kind && from.origin == to.origin) {
    // Opening the target for writing would empty the one file both name.
    if (from.kind == pmount_host) {
      spend_cpu(pfile_probe_cycles);
      return host_is_regular_file(from.origin) ? pfile_size(src, false) : 0;
    }
    pfile *f = find_ram_slot(from.origin);
    return f && !is_folder(*f) ? f->data->length : 0;
  }
  pfile *in = pfopen(src, "r");
  if (!in) return 0;
  if (!pfile_room_for(dst, "w", in->data->length)) {  // the target keeps its bytes
    pfclose(in);
    return 0;
  }
  pfile *out = pfopen(dst, "w");
  if (!out) {
    pfclose(in);
    return 0;
  }
  int64_t n = in->data->length;
  bool ok = n == 0 || bwrite(in->data->data, 1, n, out->data.get()) == n;
  pfclose(in);
  ok = pfclose(out) && ok;
  return ok ? n : 0;
}

std::optional<std::string> get_mount_description(std::string_view path) {
  std::optional<std::string> norm = normalise_kestrune_path(path);
  if (!norm) return std::nullopt;
  int i = first_mount_at(*norm);
  // A host mount of "/" keeps its mount point as the empty text.
  if (*norm == "/") {
    int root = first_mount_at("");
    if (root >= 0 && (i < 0 || root < i)) i = root;
  }
  if (i < 0) return std::nullopt;
  const pmount &m = pmount_table[size_t(i)];
  return m.kind == pmount_host ? "host:" + m.origin : m.origin;
}

int pdisk_count_slots_by_kind(int32_t kind) {
  if (kind == pfile_free) return pfile_max - pfile_used;
  return kind > 0 && kind < int32_t(slots_of_kind.size()) ? slots_of_kind[size_t(kind)] : 0;
}

int pfile_free_count() { return pfile_max - pfile_used; }

void print_mounts() {
  for (size_t i = 0; i < pmount_table.size(); i++) {
    const pmount &m = pmount_table[i];
    std::printf("mount %d kind: %d isr:%d mount_point: %-10s origin: %-20s\n", int(i), m.kind,
                m.isr, m.mount_point.c_str(), m.origin.c_str());
  }
}
