// Text printing in the m7scii character set: bytes 16-255 (and 7) are glyphs
// of a font in process RAM, bytes 0-15 control codes that move the cursor,
// change colours, fonts and styles, repeat, poke RAM or draw inline glyphs.
// Every print works on the current process: its RAM, draw state and cursor.
#pragma once

#include <cstdint>
#include <string_view>

struct userdata;

// Process RAM the printer uses.
constexpr int32_t ram_print_home_x = 0x54F8;   // i32
constexpr int32_t ram_print_flags = 0x5F36;    // bit 2: no newline appended; bit 7: wrap
constexpr int32_t ram_font_page = 0x5F56;      // default font at page x 256
constexpr int32_t ram_alt_font_page = 0x5F57;  // alternate font
constexpr int32_t ram_print_attribs = 0x5F58;  // used when bit 0 is set, else 2
constexpr int32_t ram_print_metrics = 0x5F59;  // 3 bytes of nibble overrides

constexpr int64_t print_option_wrap = 0x10;
constexpr int64_t print_option_alt_newline = 0x20;

// print_m7scii's results: printed to the end, suspended by a wait or delay
// (the rest of the text is not drawn), or stopped because the running slice
// passed the cpu limit (a binding raises the error).
constexpr int print_done = 0;
constexpr int print_suspended = 1;
constexpr int print_stopped = 2;

// The largest cursor x and y reached after any step of the last print, and
// whether any step ran.
extern int64_t print_max_x;
extern int64_t print_max_y;
extern int print_max_set;

// One print in progress: what a step needs besides the cursor in RAM.
struct print_context {
  std::string_view text;  // the caller's text; the appended newline lies past it
  bool newline = true;    // a line break follows the text
  int64_t pos = 0;

  int64_t font = 0;  // address of the font header in RAM
  bool wrap = false;
  bool alt_newline = false;
  int64_t wrap_right = 0;
  int64_t home_x = 0, home_y = 0;
  int64_t cursor_x = 0, cursor_y = 0;
  int fg = 0, bg = 0;
  userdata *target = nullptr;
  int64_t line_height = 0;
  bool wide = false, tall = false, stripey = false, pinball = false, border = false;
  bool solid_bg = false, invert = false;
  int64_t char_w = 8, wide_w = 8, char_h = 8;
  int64_t saved_x = 0, saved_y = 0;
  int64_t last_w = 8;
  int64_t tab_w = 0;
  bool swapped = false;
  int64_t repeat = 0;
  int64_t x_offset = 0, y_offset = 0;
  int64_t delay = 0;
  int64_t outline_mask = 0;
  int outline_colour = 0;
};

// Prints text into bitmap at the current process's cursor. options: wrap
// (0x10), alternative newline (0x20). colour: bits 0-5 foreground, 8-13
// background. Pixels follow the shape pixel rule within the process's clip
// when bitmap is the draw target, within the whole bitmap otherwise. Returns
// print_done, print_suspended or print_stopped. Callable without Lua.
int print_m7scii(userdata *bitmap, const char *text, int64_t length, int64_t options, int64_t colour);
