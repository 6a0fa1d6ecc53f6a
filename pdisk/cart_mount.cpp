// cart_mount: mounting cartridges met on a path, and writing changed ones back.
#include "pdisk/cart_mount.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "kernel/accounting.h"
#include "kernel/buffer.h"
#include "kernel/system.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"
#include "pdisk/png_form.h"
#include "pdisk/ram_folder.h"
#include "platform/host_log.h"

namespace {

constexpr int cart_name_letters = 8;
constexpr int cart_name_tries = 1000;
// Nested cartridges need one pass a level; mounts that write into each other
// must not keep the flush going for ever.
constexpr int flush_passes_max = 16;
constexpr int64_t cart_out_capacity = 65536;

// not_due: nothing looked at but the deadline (the tables are as they were).
enum class flushed { not_due, nothing, written, failed };

// The automounter's test: exact lower-case endings, as file names are given.
bool names_cartridge(std::string_view prefix) {
  return (prefix.size() > 4 && prefix.ends_with(".kvt")) ||
         (prefix.size() > 8 && (prefix.ends_with(".kvt.png") || prefix.ends_with(".kvt.rom")));
}

// "/ram/mount/" and 8 letters naming no folder yet; empty when none is found.
std::string fresh_cart_folder() {
  for (int t = 0; t < cart_name_tries; t++) {
    std::string folder(pmount_cart_folder);
    for (int i = 0; i < cart_name_letters; i++) folder += char(rand() % 65536 * 26 / 65536 + 'a');
    if (!pdisk_directory_exists(folder, false)) return folder;
  }
  return std::string();
}

std::string_view parent_of(std::string_view path) {
  size_t cut = path.rfind('/');
  return cut == std::string_view::npos || cut == 0 ? std::string_view() : path.substr(0, cut);
}

// The cartridge file of one form, built from the RAM folder; false when the
// form cannot hold it.
bool build_cart_file(buffer *out, const std::string &folder, int form) {
  switch (form) {
  case kvt_kind_text:
    return write_kvt_from_ram_files(out, folder, false);
  case kvt_kind_rom:
    return write_kvt_rom_from_ram_files(out, folder, 0);
  default:
    return write_kvt_png_from_ram_files(out, folder);
  }
}

// Builds the cartridge first and only then opens its file, so nothing is
// emptied when the form refuses. A host file goes through the atomic write.
bool write_cart_file(const std::string &path, const std::string &folder, int form) {
  buffer_owner out(create_buffer_2(cart_out_capacity, buffer_group_pfile));
  if (!out || !build_cart_file(out.get(), folder, form)) return false;
  pfile *f = pfopen_to_replace(path, "wf", int64_t(out->capacity) - 1);
  if (!f) {
    std::printf("** could not open %s to write the cartridge back\n", path.c_str());
    return false;
  }
  bool stored = pfset_data(f, std::move(out));
  return pfclose(f) && stored;
}

// now: the time a delayed write-back compares deadlines with (read once a
// pass: a full table of dirty mounts not due yet costs no clock per mount).
flushed flush_one(int index, bool delayed, int64_t now) {
  if (index < 0 || index >= int(pmount_table.size())) return flushed::nothing;
  pmount &m = pmount_table[size_t(index)];
  if (!m.dirty) return flushed::nothing;
  if (delayed && now < m.flush_deadline) return flushed::not_due;
  if (shutdown_hold_active()) return flushed::nothing;
  int form = kvt_cart_form(m.mount_point);
  if (form == 0 || m.keep_file) {
    if (form != 0)
      std::printf("** not writing back %s: its cartridge file could not be read whole\n",
                  m.mount_point.c_str());
    mark_mount_clean(m);
    return flushed::nothing;
  }
  // The table may change under the write (an enclosing cartridge mounted, an
  // early clearing): the mount is found again afterwards.
  std::string mount_point = m.mount_point, origin = m.origin;
  uint64_t seq = m.seq;
  bool ok = write_cart_file(mount_point, origin, form);
  int i = pmount_index_of(seq);
  if (i < 0) return ok ? flushed::written : flushed::failed;
  pmount &n = pmount_table[size_t(i)];
  if (ok) {
    mark_mount_clean(n);
    n.write_failures = 0;
    return flushed::written;
  }
  // Stays dirty: tried again later, waiting longer after each failure.
  if (n.write_failures == 0)
    hovi_debugf("could not write back %s; trying again later\n", mount_point.c_str());
  n.write_failures = std::min(n.write_failures + 1, 30);
  int64_t wait = pmount_retry_ms << std::min(n.write_failures - 1, 10);
  n.flush_deadline = pdisk_now() + std::min(wait, pmount_retry_max_ms);
  return flushed::failed;
}

// The dirty mounts from the last record to the first, those dirtied on the
// way included: written mounts count. Clean records are not visited.
bool flush_pass(bool delayed) {
  bool wrote = false;
  int64_t now = pdisk_now();
  const std::set<uint64_t> &dirty = dirty_mount_seqs();
  for (auto it = dirty.end(); it != dirty.begin();) {
    uint64_t seq = *--it;
    flushed done = flush_one(pmount_index_of(seq), delayed, now);
    wrote = wrote || done == flushed::written;
    // Anything but a look at the deadline may have changed the set.
    if (done != flushed::not_due) it = dirty.lower_bound(seq);
  }
  return wrote;
}

} // namespace

int kvt_cart_form(std::string_view path) {
  if (int kind = kvt_path_kind(path)) return kind;
  if (path.ends_with(".kvt.rom")) return kvt_kind_rom;
  if (path.ends_with(".kvt.png")) return kvt_kind_png;
  if (path.ends_with(".kvt")) return kvt_kind_text;
  return 0;
}

int automount_p_path(std::string_view path) {
  if (block_automounting || path.size() < 2) return 0;
  if (path.find(".kvt") == std::string_view::npos) return 0;
  block_automounting = true;
  int names = 0;
  for (size_t end = 1; end <= path.size() && end <= automount_prefix_max; end++) {
    if (end < path.size() && path[end] != '/') continue;
    std::string_view prefix = path.substr(0, end);
    if (!names_cartridge(prefix)) continue;
    if (names == automount_names_max) break;
    names++;
    // A mounted cartridge, most often: charged as the look-up it stands for.
    if (is_mounted_ram_folder(prefix)) {
      spend_cpu(path_walk_cycles);
      continue;
    }
    if (pdisk_directory_exists(prefix, true)) continue;
    // Only a file that can be read is mounted.
    pfile *f = pfopen(prefix, "r");
    if (!f) continue;
    pfclose(f);
    mount_kvt_path(prefix);
  }
  block_automounting = false;
  return names;
}

int mount_kvt_path(std::string_view path) {
  std::optional<std::string> norm = normalise_kestrune_path(path);
  if (!norm) return -1;
  if (int i = first_mount_at(*norm); i >= 0) return i;
  // The mount table holds no text of any length.
  if (app.cart_mount_blocked || norm->size() > automount_prefix_max) return -1;
  // Cartridges that hold this one are mounted first, so its file is read
  // from where it really lies.
  if (std::string_view parent = parent_of(*norm); !parent.empty()) automount_p_path(parent);
  if (int i = first_mount_at(*norm); i >= 0) return i;

  bool was_blocked = block_automounting;
  block_automounting = true;
  int index = -1;
  std::string folder = fresh_cart_folder();
  // A script's mount over "/ram/mount" would put the cartridge's files where
  // neither write-back nor pruning looks for them.
  resolved_path where = folder.empty() ? resolved_path{} : resolve_to_origin(folder, false);
  if (where.kind == pmount_ram && where.origin == folder) {
    pmkdir(std::string_view(pmount_cart_folder).substr(0, pmount_cart_folder.size() - 1));
    if (pmkdir(folder) == 0) {
      pmount m;
      m.kind = where.kind;
      m.mount_point = *norm;
      m.origin = folder;
      int form = kvt_cart_form(*norm);
      int64_t size = pfile_size(*norm, false);
      if (size > kvt_file_read_max) {
        std::printf("** cartridge too large to mount: %s\n", norm->c_str());
        m.keep_file = true;
      } else if (pfile *f = pfopen(*norm, "r")) {
        // Held open while the folder fills, so no clearing drops its source.
        f->data->position = 0;
        bool whole = form == kvt_kind_text  ? populate_ram_folder_from_kvt_buffer(folder, f->data.get())
                     : form == kvt_kind_rom ? populate_ram_folder_from_kvt_rom_buffer(folder, f->data.get())
                                            : populate_ram_folder_from_kvt_png_buffer(folder);
        m.keep_file = !whole && f->data->length > 0;
        pfclose(f);
        if (m.keep_file) hovi_debugf("cartridge %s mounted without its write-back\n", norm->c_str());
      } else if (pdisk_file_exists(*norm)) {
        // There but unreadable: its empty folder must not replace it.
        m.keep_file = true;
      }
      std::string mount_point = m.mount_point;
      if (append_pmount(std::move(m))) index = first_mount_at(mount_point);
      else delete_ram_files_in_path(folder);
    }
  }
  block_automounting = was_blocked;
  return index;
}

void flush_dirty_mount(int index, bool delayed) { flush_one(index, delayed, pdisk_now()); }

void flush_dirty_mounts_immediately() {
  for (int pass = 0; pass < flush_passes_max; pass++)
    if (!flush_pass(false) || pmount_dirty_count() == 0) return;
}

void flush_dirty_mounts_delayed() { flush_pass(true); }

void prune_mounts() {
  if (pending_prune && !shutdown_hold_active()) {
    pending_prune = false;
    flush_dirty_mounts_immediately();
  } else if (int(pmount_table.size()) <= pmount_prune_above) {
    return;
  } else {
    flush_dirty_mounts_immediately();
  }
  int before = int(pmount_table.size());
  int after = delete_clean_ram_mounts();
  std::printf("pruned %d -> %d mounts\n", before, after);
  if (after > pmount_fatal_above) {
    std::printf("** fatal: too many mounts (%d); could not prune.\n", after);
    print_mounts();
    kestrune_end(0);
  }
}

void drop_stale_cart_mounts(std::string_view path) {
  std::optional<std::string> norm = normalise_kestrune_path(path);
  if (!norm) return;
  std::vector<int> stale;
  for (int i : mounts_at_or_under(*norm))
    if (pmount_table[size_t(i)].origin.starts_with(pmount_cart_folder)) stale.push_back(i);
  remove_pmounts(stale);
}
