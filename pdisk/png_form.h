// png_form: the cartridge as a picture (".kvt.png" files): a 512 x 384 RGBA
// PNG whose pixels' low bits carry the rom form of the same folder, under a
// picture of a cartridge with its label. Written only.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "pdisk/rom_form.h"

struct buffer;

constexpr int kvt_png_width = 512;
constexpr int kvt_png_height = 384;
// The longest rom form the picture's low bits take.
constexpr int64_t kvt_png_rom_max = 262143;
constexpr const char *kvt_png_template = "/system/misc/kvt_cart.png";
constexpr const char *kvt_png_too_large = "failed to store cartridge rom as png (too large)";

// Bits of the rom form each RGBA byte carries in its lowest bits: red, green
// and blue 3, alpha 2; the rom form's bytes least significant bit first.
inline int kvt_png_bits_of(int64_t byte_index) { return (byte_index & 3) == 3 ? 2 : 3; }

// Appends the png form of the entries (label.png and label.qoi left out of the
// payload, the label text drawn from ".info.tuk") at out's position, leaving
// the position and length at the end. A rom form longer than kvt_png_rom_max
// is refused: false, out unchanged, and the display process told.
bool write_kvt_png_entries(buffer *out, const std::vector<cart_entry> &entries);

// The same for the RAM folder (origin path): what write-back calls for a
// ".kvt.png" mount.
bool write_kvt_png_from_ram_files(buffer *out, std::string_view folder);
