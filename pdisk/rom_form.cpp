// rom_form: the compressed cartridge form (".kvt.rom" files and the
// cartridges inside the system data pack), as plain lists of entries.
#include "pdisk/rom_form.h"

#include <lz4.h>
#include <lz4hc.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "kernel/buffer.h"
#include "kernel/held_memory.h"
#include "platform/host_log.h"

namespace {

constexpr uint8_t rom_version = 2;
constexpr int rom_level = 9;

// Reads like the buffer readers: too few bytes left gives 0 and no move.
struct rom_cursor {
  const uint8_t *p;
  int64_t n;
  int64_t at;
};

uint8_t take_u8(rom_cursor &c) {
  if (c.at >= c.n) return 0;
  return c.p[c.at++];
}

uint32_t take_u32(rom_cursor &c) {
  if (c.n - c.at < 4) return 0;
  const uint8_t *b = c.p + c.at;
  c.at += 4;
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
         uint32_t(b[3]) << 24;
}

void put_u32(std::string &s, uint32_t v) {
  for (int i = 0; i < 4; i++) s.push_back(char(v >> (8 * i)));
}

bool is_label_image(const std::string &name) {
  return name == "label.png" || name == "label.qoi";
}

// Why the reader would not give an entry back as it is, or null.
const char *name_fault(const std::string &name) {
  if (name.empty()) return "an empty name";
  if (name.size() > size_t(kvt_rom_max_name)) return "a name longer than 400 characters";
  if (name.find("..") != std::string::npos) return "a name holding \"..\"";
  if (name.find('\0') != std::string::npos) return "a name holding a NUL";
  return nullptr;
}

// Refuses to write, before anything is written.
bool refuse(const char *why, const std::string &name) {
  std::string shown = name.substr(0, 64);
  for (char &c : shown)
    if (static_cast<unsigned char>(c) < ' ') c = '?';
  std::printf("** cartridge not written (rom form): %s: %s\n", why, shown.c_str());
  hovi_debugf("** cartridge not written (rom form): %s: %s\n", why, shown.c_str());
  return false;
}

// The payload: per entry the name, a NUL, and for files a length (one byte up
// to 254, else 255 and a u32) and the bytes.
bool build_payload(const std::vector<cart_entry> &entries, int options,
                   std::string *payload) {
  payload->reserve(65536);
  int count = 0;
  for (const cart_entry &e : entries) {
    if ((options & kvt_rom_skip_labels) && is_label_image(e.name)) continue;
    // kvt_rom_label_text: the png form's writer draws the label text (png_form.cpp).
    if (const char *why = name_fault(e.name)) return refuse(why, e.name);
    if (++count > kvt_rom_max_entries) return refuse("more than 16384 entries", e.name);
    bool folder = e.name.back() == '/';
    uint64_t body = folder ? 0 : e.data.size();
    uint64_t need = uint64_t(payload->size()) + e.name.size() + 1 + (folder ? 0 : 5) + body;
    if (need > uint64_t(kvt_rom_max_payload)) return refuse("more than 64 MiB in all", e.name);
    payload->append(e.name);
    payload->push_back('\0');
    if (folder) continue;
    if (body <= 254) {
      payload->push_back(char(body));
    } else {
      payload->push_back(char(255));
      put_u32(*payload, uint32_t(body));
    }
    payload->append(e.data);
  }
  return true;
}

} // namespace

bool write_kvt_rom_entries(buffer *out, const std::vector<cart_entry> &entries,
                           int options) {
  std::string payload;
  if (!build_payload(entries, options, &payload)) return false;
  int bound = LZ4_compressBound(int(payload.size()));
  std::vector<char> packed(static_cast<size_t>(bound > 0 ? bound : 1));
  int n = LZ4_compress_HC(payload.data(), packed.data(), int(payload.size()), bound, rom_level);
  if (n <= 0) return false; // cannot happen with the bound
  int64_t need = int64_t(out->position) + 8 + n;
  if (need > buffer_max_length || !ballocate(out, need)) return false;

  bwrite("kvt", 1, 3, out);
  bwrite_uint8(rom_version, out);
  bwrite_uint32(uint32_t(n), out);
  bwrite(packed.data(), 1, n, out);
  out->length = out->position;
  return true;
}

kvt_rom_kind decode_kvt_rom(const uint8_t *data, int64_t size, const char *where,
                            std::vector<cart_entry> *entries) {
  if (!where) where = "";
  if (size >= 4 && data[0] == 0 && std::memcmp(data + 1, "zqx", 3) == 0)
    return kvt_rom_kind::zqx;
  if (size < 3) return kvt_rom_kind::empty;
  if (std::memcmp(data, "kvt", 3) != 0) {
    // a plain program file mounts as a one-file cartridge
    const void *nul = std::memchr(data, 0, size_t(size));
    int64_t n = nul ? static_cast<const uint8_t *>(nul) - data : size;
    entries->push_back({"main.lua", std::string(reinterpret_cast<const char *>(data), size_t(n))});
    return kvt_rom_kind::program;
  }

  rom_cursor in{data, size, 3};
  take_u8(in); // version: any is read the same way
  int64_t stated = take_u32(in);
  int64_t packed = std::min<int64_t>(stated, in.n - in.at);
  packed = std::min<int64_t>(packed, INT_MAX);
  // LZ4 expands at most 255 times, so room beyond that is never used; nor is
  // more than the process that mounts the cartridge may still hold (a payload
  // larger than that fails to decompress).
  memory_hold hold;
  int64_t room = std::min<int64_t>({kvt_rom_max_payload, packed * 255 + 64, hold.room()});
  hold.hold(room);
  std::vector<char> payload(static_cast<size_t>(std::max<int64_t>(room, 1)));
  int got = LZ4_decompress_safe(reinterpret_cast<const char *>(data + in.at),
                                payload.data(), int(packed), int(room));
  if (got <= 0) {
    std::printf("  *** kvt.rom decompression failed: %s\n", where);
    return got == 0 ? kvt_rom_kind::cart : kvt_rom_kind::cart_damaged;
  }

  rom_cursor e{reinterpret_cast<const uint8_t *>(payload.data()), got, 0};
  bool intact = true;
  for (int count = 0; count < kvt_rom_max_entries && e.at < e.n; count++) {
    const uint8_t *name_at = e.p + e.at;
    int64_t scan = std::min<int64_t>(e.n - e.at, kvt_rom_max_name + 1);
    const void *nul = std::memchr(name_at, 0, size_t(scan));
    int64_t name_len = nul ? static_cast<const uint8_t *>(nul) - name_at : 0;
    if (name_len < 1) { // empty, too long or cut off by the end
      std::printf("  *** kvt.rom filename parsing failed\n");
      return kvt_rom_kind::cart_damaged;
    }
    std::string name(reinterpret_cast<const char *>(name_at), size_t(name_len));
    e.at += name_len + 1;
    if (name.find("..") != std::string::npos) {
      std::printf("** bad file description while mounting .kvt.rom: %s\n", name.c_str());
      return kvt_rom_kind::cart_damaged;
    }
    if (name.back() == '/') {
      entries->push_back({std::move(name), std::string()});
      continue;
    }
    int64_t len = take_u8(e);
    if (len == 255) len = int32_t(take_u32(e));
    if (len < 0) {
      std::printf("** bad file length %d (%d) while mounting .kvt.rom: %s\n", int(len),
                  int(e.n - e.at), name.c_str());
      return kvt_rom_kind::cart_damaged;
    }
    if (len > e.n - e.at) {
      len = e.n - e.at;
      intact = false;
    }
    entries->push_back({std::move(name),
                        std::string(reinterpret_cast<const char *>(e.p + e.at), size_t(len))});
    e.at += len;
  }
  if (e.at < e.n) intact = false; // entries past the limit are dropped
  return intact ? kvt_rom_kind::cart : kvt_rom_kind::cart_damaged;
}

kvt_rom_kind read_kvt_rom_entries(buffer *in, const char *where,
                                  std::vector<cart_entry> *entries) {
  int64_t from = std::clamp<int64_t>(in->position, 0, in->length);
  kvt_rom_kind kind = decode_kvt_rom(in->data + from, in->length - from, where, entries);
  in->position = in->length;
  return kind;
}
