// ram_folder: a RAM folder as a list of cartridge entries, both ways, and the
// cartridge forms on top of that.
#include "pdisk/ram_folder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "kernel/buffer.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"
#include "pdisk/text_form.h"
#include "pdisk/zqx.h"

std::vector<cart_entry> collect_ram_folder_entries(std::string_view folder) {
  std::string prefix(folder);
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  std::vector<cart_entry> entries;
  for (int32_t slot : ram_slots_under(folder)) {
    const pfile &f = pfile_table[size_t(slot)];
    cart_entry e{f.origin.substr(prefix.size()), std::string()};
    if (f.flags & pfile_flag_folder) e.name += '/';
    else e.data.assign(reinterpret_cast<const char *>(f.data->data), size_t(f.data->length));
    entries.push_back(std::move(e));
  }
  return entries;
}

int store_cart_entries_in_ram_folder(std::string_view folder, const std::vector<cart_entry> &entries) {
  int stored = 0;
  for (const cart_entry &e : entries) {
    std::string path(folder);
    path += '/';
    path += e.name;
    // A name the path rules would change (a segment too long to keep, say)
    // is left out rather than stored under another name.
    std::string_view plain(path);
    if (plain.size() > 1 && plain.back() == '/') plain.remove_suffix(1);
    if (path.size() > cart_entry_path_max || normalise_kestrune_path(path) != plain) continue;
    if (!e.name.empty() && e.name.back() == '/') {
      int made = pmkdir(path);
      stored += made == 0;
      continue;
    }
    pfile *f = pfopen(path, "w");
    if (!f) continue;
    // A file cut short (the RAM file space is full) does not count as stored.
    bool whole = pfwrite(e.data.data(), 1, int64_t(e.data.size()), f) == int64_t(e.data.size());
    pfclose(f);
    stored += whole;
  }
  return stored;
}

bool populate_ram_folder_from_kvt_rom_buffer(std::string_view folder, buffer *in) {
  if (!in) return false;
  std::vector<cart_entry> entries;
  std::string where(folder);
  int64_t start = std::clamp<int64_t>(in->position, 0, in->length);
  kvt_rom_kind kind = read_kvt_rom_entries(in, where.c_str(), &entries);
  // A legacy compressed program mounts as a one-file cartridge.
  if (kind == kvt_rom_kind::zqx)
    entries.push_back({"main.lua", zqx_decompress_text(in->data + start, in->length - start)});
  bool whole = kind == kvt_rom_kind::cart || kind == kvt_rom_kind::zqx ||
               (kind == kvt_rom_kind::empty && start == in->length);
  // A plain program is whole unless a NUL cut it short.
  if (kind == kvt_rom_kind::program)
    whole = !std::memchr(in->data + start, 0, size_t(in->length - start));
  int stored = store_cart_entries_in_ram_folder(folder, entries);
  return whole && stored == int(entries.size());
}

bool write_kvt_rom_from_ram_files(buffer *out, std::string_view folder, int options) {
  if (!out) return false;
  return write_kvt_rom_entries(out, collect_ram_folder_entries(folder), options);
}

bool populate_ram_folder_from_kvt_buffer(std::string_view folder, buffer *in) {
  if (!in) return false;
  std::vector<cart_entry> entries;
  std::string where(folder);
  bool empty = in->position >= in->length;
  kvt_text_kind kind = read_kvt_text_entries(in, where.c_str(), &entries);
  bool whole = empty || kind == kvt_text_kind::cart || kind == kvt_text_kind::legacy;
  int stored = store_cart_entries_in_ram_folder(folder, entries);
  return whole && stored == int(entries.size());
}

bool write_kvt_from_ram_files(buffer *out, std::string_view folder, bool hex) {
  if (!out) return false;
  return write_kvt_text_entries(out, collect_ram_folder_entries(folder), hex);
}

bool populate_ram_folder_from_kvt_png_buffer(std::string_view folder) {
  std::printf("can not populate %.*s\n", int(folder.size()), folder.data());
  std::printf("kvt.png loader not supported in this build.\n");
  return false;
}
