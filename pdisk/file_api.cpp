// Script API of the file system: argument readers over pdisk's plain
// functions. None raises a Lua error of its own: failures are nothing, nil or
// a message.
#include "pdisk/file_api.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "gfx/draw_state.h"
#include "kernel/accounting.h"
#include "kernel/buffer.h"
#include "kernel/held_memory.h"
#include "kernel/maths.h"
#include "kernel/process.h"
#include "kernel/system.h"
#include "kernel/text.h"
#include "pdisk/cart_mount.h"
#include "pdisk/file_ops.h"
#include "pdisk/gurl.h"
#include "pdisk/listing.h"
#include "pdisk/path.h"
#include "pdisk/pfile.h"
#include "pdisk/yorelog.h"
#include "values/png_qoi.h"
#include "values/tuk.h"
#include "values/userdata.h"

namespace {

constexpr int buffer_group_store = 112;
// The largest png a fetch decodes: as many pixels as an i32 userdata holds.
constexpr int64_t fetch_png_max_pixels = userdata_block_max / 4;
// Listing: each name costs what a file probe costs, and sorting them a
// little more for each doubling of their number.
constexpr int64_t ls_cycles_per_name = 16;
constexpr int64_t ls_sort_cycles_per_level = 2;
constexpr std::string_view yorelog_protocol = "yorelog://";
constexpr size_t mount_text_max = 4096;
// A fetch starts a worker thread with its own HTTP handle.
constexpr int64_t fetch_start_cycles = 16384;

std::optional<std::string_view> string_arg(lua_State *L, int index) {
  if (lua_type(L, index) != LUA_TSTRING) return std::nullopt;
  size_t n;
  const char *s = lua_tolstring(L, index, &n);
  return std::string_view(s, n);
}

// A path (or a URL, a cache name) is walked byte by byte, and a step at a time
// through the mounts and the host's folders, however long: it is charged by
// its length before it is read, so a long one cannot buy host time for free.
constexpr int64_t path_byte_cycles = 4;

std::optional<std::string_view> path_arg(lua_State *L, int index) {
  std::optional<std::string_view> path = string_arg(L, index);
  if (path) spend_cpu_or_stop(L, int64_t(path->size()) * path_byte_cycles);
  return path;
}

// The cycles one byte of norm's trace costs (standard output): the trace
// prints the path so far at each segment, so it is charged by the bound of
// what it prints, segments times length, before it runs.
constexpr int64_t trace_byte_cycles = 2;

int64_t trace_bytes_bound(std::string_view path) {
  int64_t segments = 1 + std::count(path.begin(), path.end(), '/');
  return (segments + 2) * (int64_t(path.size()) + 32);
}

void push_string(lua_State *L, std::string_view s) { lua_pushlstring(L, s.data(), s.size()); }

void push_bytes(lua_State *L, const buffer *b) {
  lua_pushlstring(L, reinterpret_cast<const char *>(b->data), size_t(b->length));
}

bool starts_with(const buffer *b, std::string_view head) {
  return b->length >= int64_t(head.size()) && std::equal(head.begin(), head.end(), b->data);
}

// The pixel count a png's header states; -1 when there is no header.
int64_t png_header_pixels(const buffer *data) {
  static const uint8_t head[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  if (data->length < 24 || !std::equal(std::begin(head), std::end(head), data->data)) return -1;
  auto be32 = [&](int at) {
    const uint8_t *p = data->data + at;
    return int64_t(uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]);
  };
  return be32(16) * be32(20);
}

int push_png(lua_State *L, buffer *data) {
  image_pixels px;
  unsigned w = 0, h = 0;
  // No more pixels than the caller may still hold; the decoding is charged by
  // the codecs' rule before it runs.
  int64_t max_pixels = std::min(fetch_png_max_pixels, rgba_pixels_within_room());
  int64_t pixels = png_header_pixels(data);
  if (pixels >= 0 && pixels <= max_pixels) spend_cpu_or_stop(L, png_coding_cycles(pixels));
  if (LodePNG_decode32_pbuffer(&px, &w, &h, data, max_pixels) != 0) {
    std::printf(" ** couldn't load png\n");
    return 0;
  }
  userdata *ud = create_userdata(L, "i32", 2, w, h, 1);
  if (!ud) return 0;
  const uint8_t *p = px.get();
  int64_t n = int64_t(w) * h;
  for (int64_t i = 0; i < n; i++, p += 4)
    ud_set_int(ud, i, int64_t(p[0]) << 16 | int64_t(p[1]) << 8 | p[2]);
  return 1;
}

// The png file of a 2-D u8 (through the process's palette) or i32
// (0x00RRGGBB, opaque) userdata; null for anything else. The encoding is
// charged by the codecs' rule before it runs, and its pixels are held for the
// caller.
buffer_owner encode_png_of(lua_State *L, const userdata *ud) {
  uint8_t type = ud ? ud->utype & utype_mask : 0;
  if (!ud || ud->dims != 2 || (type != utype_u8 && type != utype_i32)) return nullptr;
  int64_t n = ud_count(ud);
  spend_cpu_or_stop(L, png_coding_cycles(n));
  memory_hold hold;
  if (!hold.hold(n * 4)) return nullptr;
  std::vector<uint8_t> rgba(size_t(n) * 4);
  if (type == utype_u8) {
    convert_bitmap_8_to_32(ud_elements(ud), rgba.data(), n);
  } else {
    for (int64_t i = 0; i < n; i++) {
      uint32_t v = uint32_t(ud_get_int(ud, i));
      rgba[size_t(4 * i)] = uint8_t(v >> 16);
      rgba[size_t(4 * i + 1)] = uint8_t(v >> 8);
      rgba[size_t(4 * i + 2)] = uint8_t(v);
      rgba[size_t(4 * i + 3)] = 255;
    }
  }
  buffer_owner out(create_buffer_2(1024, buffer_group_store));
  if (!out || LodePNG_encode32_pbuffer(rgba.data(), ud->width, ud->height, out.get()) != 0)
    return nullptr;
  return out;
}

// The object-data file of a value: the header (or an empty one), then the
// value's text with zqu items in an LZ4 wrapper. Null when the value cannot
// be written (a cycle, too deep).
buffer_owner encode_object_file(lua_State *L, int value, std::optional<std::string_view> metadata) {
  buffer_owner out(create_buffer_2(1024, buffer_group_store));
  if (!out) return nullptr;
  std::string_view header = metadata ? *metadata : std::string_view("--[[tuk]]\n");
  if (bwrite(header.data(), 1, int64_t(header.size()), out.get()) != int64_t(header.size()))
    return nullptr;
  if (!stringify_object(L, value, out.get(), 0, tuk_flag_zqu | tuk_flag_lz4)) return nullptr;
  return out;
}

} // namespace

int untuk_from_fetched_buffer(lua_State *L, buffer *data, std::string_view name) {
  if (!data) return 0;
  std::string ext = get_ext(name);
  buffer_owner cleaned;
  if (ext == "txt" || ext == "pn" || ext == "lua") {
    cleaned.reset(clean_windows_text_file(data));
    if (cleaned) data = cleaned.get();
  }
  if (ext == "png") return push_png(L, data);
  if (ext == "tuk" || starts_with(data, "-- kestrune object data") || starts_with(data, "--[[tuk"))
    return destringify_object(L, reinterpret_cast<const char *>(data->data), size_t(data->length));
  push_bytes(L, data);
  return 1;
}

int lua54_fetch(lua_State *L) {
  std::optional<std::string_view> path = path_arg(L, 1);
  if (!path) return 0;
  // A cartridge comes as its file's bytes, written back first.
  bool cart = kvt_cart_form(*path) != 0;
  buffer_owner data = fetch_file_bytes(*path, cart ? "rf" : "rb");
  if (!data) return 0;
  if (cart) {
    push_bytes(L, data.get());
    return 1;
  }
  return untuk_from_fetched_buffer(L, data.get(), *path);
}

int lua54_store(lua_State *L) {
  std::optional<std::string_view> path = path_arg(L, 1);
  if (!path) return 0;
  std::optional<std::string_view> metadata = string_arg(L, 3);
  std::optional<std::string_view> text = string_arg(L, 2);
  // Every branch builds the whole file before opening it: a value that cannot
  // be stored leaves the file as it was.
  if (text && metadata && is_raw_metadata(*metadata)) {
    std::string_view header = says_no_metadata(*metadata) ? std::string_view() : *metadata;
    spend_cpu(int64_t(header.size() + text->size()) / pfile_bytes_per_cycle);
    buffer_owner file(create_buffer_2(int64_t(header.size() + text->size()) + 1, buffer_group_store));
    if (!file || bappend_bytes(file.get(), header.data(), int64_t(header.size())) != int64_t(header.size()) ||
        (!header.empty() && bappend_bytes(file.get(), "\n", 1) != 1) ||
        bappend_bytes(file.get(), text->data(), int64_t(text->size())) != int64_t(text->size()))
      return 0;
    store_file_bytes(*path, "w", std::move(file));
    return 0;
  }
  if (kvt_cart_form(*path) != 0) {
    if (!text) return 0;
    // The cartridge file itself is replaced; mounts of the old contents would
    // otherwise write them back over it.
    if (store_file_bytes(*path, "wf", *text)) drop_stale_cart_mounts(*path);
    return 0;
  }
  if (get_ext(*path) != "png") {
    store_file_bytes(*path, "w", encode_object_file(L, 2, metadata));
    return 0;
  }
  store_file_bytes(*path, "wb", encode_png_of(L, to_userdata(L, 2)));
  return 0;
}

int lua54__cache_store(lua_State *L) {
  std::optional<std::string_view> folder = path_arg(L, 1), name = path_arg(L, 2),
                                  data = string_arg(L, 3);
  if (folder && name && data) cache_store(*folder, *name, *data);
  return 0;
}

int lua54__cache_fetch(lua_State *L) {
  std::optional<std::string_view> folder = path_arg(L, 1), name = path_arg(L, 2);
  if (!folder || !name) return 0;
  // No more than a process may hold.
  std::optional<std::string> data = cache_fetch(*folder, *name, process_memory_cap);
  if (!data) return 0;
  push_string(L, *data);
  return 1;
}

int lua54__fetch_yorelog(lua_State *L) {
  std::optional<std::string_view> text = path_arg(L, 1);
  if (!text) return 0;
  if (text->starts_with(yorelog_protocol)) text->remove_prefix(yorelog_protocol.size());
  buffer_owner data = yorelog_fetch(*text);
  if (!data) return 0;
  return untuk_from_fetched_buffer(L, data.get(), text->substr(0, text->find('@')));
}

int lua54__fetch_remote(lua_State *L) {
  std::optional<std::string_view> url = path_arg(L, 1);
  if (!url) return 0;
  if (!config.network_access) {
    lua_pushnil(L);
    lua_pushstring(L, "no network access");
    return 2;
  }
  spend_cpu_or_stop(L, fetch_start_cycles);
  lua_pushinteger(L, gurl_get(*url));
  return 1;
}

int lua54__fetch_remote_result(lua_State *L) {
  if (!config.network_access) {
    lua_pushnil(L);
    lua_pushnil(L);
    lua_pushstring(L, "no network access");
    return 3;
  }
  // The result holds the job's record while its bytes are read: a finalizer
  // run by the decoding may start the jobs that take the record.
  std::optional<gurl_result> r = gurl_get_job(kvt_intp(L, 1, 0));
  if (!r || (r->status != gurl_status_done && r->status != gurl_status_failed)) return 0;
  if (r->status == gurl_status_failed) {
    lua_pushnil(L);
    lua_pushnil(L);
    lua_pushstring(L, "could not download");
    return 3;
  }
  // The job's own bytes, read in place; NUL-terminated as a buffer is.
  if (int64_t(r->body.size()) > buffer_max_length) return 0;
  spend_cpu(int64_t(r->body.size()) / 8);
  buffer body{uint64_t(r->body.size()) + 1,
              reinterpret_cast<uint8_t *>(const_cast<char *>(r->body.data())),
              buffer_group_store, int32_t(r->body.size()), 0};
  return untuk_from_fetched_buffer(L, &body, r->url);
}

int lua54__fetch_metadata_from_file(lua_State *L) {
  std::optional<std::string_view> path = path_arg(L, 1);
  if (!path) return 0;
  buffer_owner data = fetch_file_bytes(*path, "rm");
  if (!data || !starts_with(data.get(), "--[[tuk")) return 0;
  return destringify_object_metadata(L, reinterpret_cast<const char *>(data->data),
                                     size_t(data->length));
}

int lua54__store_metadata_str_to_file(lua_State *L) {
  std::optional<std::string_view> path = path_arg(L, 1), header = string_arg(L, 2);
  if (path && header) store_metadata_str_to_file(*path, *header);
  return 0;
}

int lua54_ls(lua_State *L) {
  std::optional<std::string_view> path =
      lua_isnoneornil(L, 1) ? std::optional<std::string_view>("/") : path_arg(L, 1);
  if (!path) return 0;
  std::optional<pdisk_listing> list = pflist(*path);
  if (!list) return 0;
  int64_t names = int64_t(list->names.size());
  spend_cpu_or_stop(L, (names + list->unlisted) * ls_cycles_per_name +
                           names * std::bit_width(uint64_t(names)) * ls_sort_cycles_per_level);
  lua_createtable(L, int(list->names.size()), 0);
  lua_Integer index = 1;
  for (std::string &name : list->names) {
    if (name.size() > 1 && name.back() == '/') name.pop_back();
    push_string(L, name);
    lua_rawseti(L, -2, index++);
  }
  lua_pushinteger(L, list->folders);
  return 2;
}

int lua54_mkdir(lua_State *L) {
  std::optional<std::string_view> path = path_arg(L, 1);
  if (!path) {
    lua_pushstring(L, "mkdir: no path");
    return 1;
  }
  if (pdisk_directory_exists(*path, true)) {
    lua_pushstring(L, "mkdir: directory already exists");
    return 1;
  }
  if (pmkdir(*path) != 0) {
    lua_pushstring(L, "mkdir failed");
    return 1;
  }
  return 0;
}

int lua54_fstat(lua_State *L) {
  std::optional<std::string_view> path = path_arg(L, 1);
  if (!path) return 0;
  std::optional<pdisk_stat> st = pdisk_fstat(*path);
  if (!st) return 0;
  lua_pushstring(L, st->folder ? "folder" : "file");
  lua_pushinteger(L, st->size);
  if (st->description) push_string(L, *st->description);
  else lua_pushnil(L);
  return 3;
}

int lua54_fullpath(lua_State *L) {
  std::optional<std::string_view> path = path_arg(L, 1);
  if (!path) return 0;
  if (path->starts_with(yorelog_protocol)) {
    lua_pushvalue(L, 1);
    return 1;
  }
  std::optional<std::string> norm = normalise_kestrune_path(*path);
  if (!norm) return 0;
  push_string(L, *norm);
  return 1;
}

int lua54_cp(lua_State *L) {
  std::optional<std::string_view> from = path_arg(L, 1), to = path_arg(L, 2);
  if (from && to) spend_cpu(fcopy(*from, *to));
  return 0;
}

int lua54__fdelete(lua_State *L) {
  if (std::optional<std::string_view> path = path_arg(L, 1)) delete_path(*path);
  return 0;
}

int lua54_mount(lua_State *L) {
  std::optional<std::string_view> mount_point = path_arg(L, 1), target = path_arg(L, 2);
  // The mount table holds no text of any length (no host path is longer).
  if (mount_point && target && mount_point->size() <= mount_text_max && target->size() <= mount_text_max)
    mount_p_path(*mount_point, *target);
  return 0;
}

int lua54_pwd(lua_State *L) {
  if (!cproc) return 0;
  push_string(L, cproc->pwd);
  return 1;
}

int lua54_cd(lua_State *L) {
  std::optional<std::string_view> path = path_arg(L, 1);
  if (!path) return 0;
  std::optional<std::string> message = change_directory(cproc, *path, lua_toboolean(L, 2));
  if (!message) return 0;
  push_string(L, *message);
  return 1;
}

int lua54__normalise_userland_path(lua_State *L) {
  std::optional<std::string_view> path = path_arg(L, 1);
  if (!path) return 0;
  push_string(L, collapse_path(*path));
  return 1;
}

int lua54_norm(lua_State *L) {
  std::optional<std::string_view> path = path_arg(L, 1);
  if (!path) return 0;
  spend_cpu_or_stop(L, trace_bytes_bound(*path) * trace_byte_cycles);
  push_string(L, collapse_path(*path, true));
  return 1;
}

int lua54__is_well_formed_bbs_path(lua_State *L) {
  std::optional<std::string_view> text = path_arg(L, 1);
  if (!text) return 0;
  lua_pushboolean(L, is_well_formed_bbs_path(*text));
  return 1;
}
