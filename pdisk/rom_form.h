// rom_form: the compressed cartridge form (".kvt.rom" files and the
// cartridges inside the system data pack), as plain lists of entries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct buffer;

// One cartridge entry. The name is a path relative to the cartridge's folder
// ("gfx/0.gfx"); a folder's name ends with '/' and its data stays empty.
struct cart_entry {
  std::string name;
  std::string data;
  bool operator==(const cart_entry &) const = default;
};

// writer options
constexpr int kvt_rom_skip_labels = 4; // leave out top-level label.png, label.qoi
constexpr int kvt_rom_label_text = 8;  // draw the label text from ".info.tuk"

// Limits of the reader; the writer can produce more than a reader takes back.
constexpr int64_t kvt_rom_max_payload = 64 * 1024 * 1024;
constexpr int kvt_rom_max_entries = 16384;
constexpr int kvt_rom_max_name = 400;

// What the reader found in a cartridge's bytes.
enum class kvt_rom_kind {
  empty,        // fewer than 3 bytes: nothing stored
  program,      // no magic: one "main.lua" holding the bytes up to the first NUL
  cart,         // rom form, read to its end
  cart_damaged, // rom form, reading stopped early; the entries before it stay
  zqx,          // legacy compressed program, left for the zqx decompressor
};

// Appends the rom form of the entries to out at its position, leaving the
// position and the length at the end of what was written. Refuses (false,
// out unchanged, the reason on standard output and in the host log) entries
// the reader would not give back whole: a name empty, longer than
// kvt_rom_max_name, holding ".." or a NUL; more than kvt_rom_max_entries
// entries; a payload past kvt_rom_max_payload.
bool write_kvt_rom_entries(buffer *out, const std::vector<cart_entry> &entries,
                           int options);

// Decodes untrusted bytes, appending the entries found to *entries. Messages
// about damage go to standard output; where names the folder being filled.
kvt_rom_kind decode_kvt_rom(const uint8_t *data, int64_t size, const char *where,
                            std::vector<cart_entry> *entries);

// decode_kvt_rom over a buffer's bytes from its position; leaves the position
// at the end of the content.
kvt_rom_kind read_kvt_rom_entries(buffer *in, const char *where,
                                  std::vector<cart_entry> *entries);
