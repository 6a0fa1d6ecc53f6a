// The text of a png cartridge's label.
#include "gfx/cart_label.h"

#include <cstring>

#include "gfx/boot_screen.h"
#include "gfx/draw_state.h"
#include "gfx/lil_font.h"
#include "gfx/print.h"
#include "kernel/accounting.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "values/userdata.h"

namespace {

std::string field_after(std::string_view text, std::string_view key, size_t max) {
  size_t at = text.find(key);
  if (at == std::string_view::npos) return {};
  std::string value;
  for (size_t i = at + key.size(); i < text.size() && text[i] != '"'; i++) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '"') i++;
    if (value.size() < max) value.push_back(text[i]);
  }
  return value;
}

// label_proc: default colour tables, the boot font at 0x4000 (font pages 0x40
// and 0x56), the boot palette, masks 0x3F and the bitmap as its draw target.
// Made afresh for every label, so nothing one cartridge's text pokes reaches the next.
bool init_label_proc(process *P, userdata *bitmap) {
  if (!ram_init(P)) return false;
  init_default_coltabs();  // the same tables every time: a writer may run before any reset
  ram_write_unflagged(P, ram_coltabs, default_coltabs, 4 * coltab_size);
  ram_write_unflagged(P, 0x4000, lil_font_dat(), lil_font_size);
  uint8_t bytes[4] = {0x40, 0x56};
  ram_write_unflagged(P, ram_font_page, bytes, 2);
  memset(bytes, 0x3F, 4);
  ram_write_unflagged(P, ram_read_mask, bytes, 4);
  for (int c = 0; c < 64; c++) {
    uint8_t w[4];
    for (int i = 0; i < 4; i++) w[i] = static_cast<uint8_t>(boot_palette[c] >> (8 * i));
    ram_write_unflagged(P, ram_palettes + 4 * c, w, 4);
  }
  set_draw_target(P, bitmap);
  return true;
}

void print_at(userdata *bitmap, int y, const std::string &text) {
  poke4(ram_cursor_x, 0);
  poke4(ram_cursor_y, y);
  poke4(ram_print_home_x, 0);
  get_masks_shape();
  print_m7scii(bitmap, text.data(), static_cast<int64_t>(text.size()), 0, 7);
}

}  // namespace

label_fields extract_label_text(std::string_view info_tuk) {
  return {field_after(info_tuk, ",title=\"", label_title_max),
          field_after(info_tuk, ",version=\"", label_version_max),
          field_after(info_tuk, ",author=\"", label_author_max)};
}

std::vector<uint8_t> draw_label_text(std::string_view info_tuk) {
  constexpr size_t n = size_t{label_text_width} * label_text_height;
  std::vector<uint64_t> block((sizeof(userdata) + n + 7) / 8, 0);
  auto *bitmap = reinterpret_cast<userdata *>(block.data());
  *bitmap = userdata{utype_u8, 2, {0, 0}, label_text_width, label_text_height, 1};
  label_fields f = extract_label_text(info_tuk);
  std::string second = f.version;
  if (!f.author.empty()) second += (f.version.empty() ? "by " : " by ") + f.author;

  process label_proc;
  process *saved = cproc;
  cproc = &label_proc;
  {
    uncharged_work scope;  // printing charges cycles; the label is the system's own work
    if (init_label_proc(&label_proc, bitmap)) {
      if (!f.title.empty()) print_at(bitmap, 2, f.title);
      if (!second.empty()) print_at(bitmap, 12, second);
    }
  }
  cproc = saved;
  const uint8_t *px = ud_elements(bitmap);
  return std::vector<uint8_t>(px, px + n);
}
