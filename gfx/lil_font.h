// The boot screen's font, in the font format of the text printer: an 8-byte
// header, per-character width adjustments, then 8 row bytes per character.
#pragma once

#include <cstdint>

constexpr int lil_font_size = 4096;
constexpr int lil_font_width = 5;    // the advance before adjustments
constexpr int lil_font_height = 11;  // the line height

// The 4,096-byte font image (the upper half unused), built once.
const uint8_t *lil_font_dat();
