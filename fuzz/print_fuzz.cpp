// The printer on arbitrary control codes, attributes and font bytes: every
// print ends, and nothing is drawn outside the clip (but by the sub-command
// that clears the whole target).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "gfx/draw_state.h"
#include "gfx/print.h"
#include "kernel/accounting.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "kernel/system.h"
#include "lua.hpp"
#include "values/userdata.h"

namespace {

constexpr int W = 64, H = 40;
constexpr int font_address = 0x3F00;  // the font straddles RAM pages 3 and 4

process *fuzz_process() {
  static process *P = [] {
    init_default_coltabs();
    config.headless = 1;
    processes_init();
    process *p = create_process_from_code("", "[fuzz]", "[fuzz]");
    if (!p) abort();
    cproc = root_process = p;
    if (luaL_dostring(p->lua_state, "T = userdata('u8', 64, 40) _set_draw_target(T) pal()") != LUA_OK) abort();
    return p;
  }();
  return P;
}

// The clearing sub-command (code 6, then 'c' or "-c") ignores the clip.
bool clears_target(const uint8_t *t, size_t n) {
  for (size_t i = 0; i + 1 < n; i++)
    if (t[i] == 6 && (t[i + 1] == 'c' || (t[i + 1] == '-' && i + 2 < n && t[i + 2] == 'c'))) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  process *P = fuzz_process();
  cproc = P;
  if (size < 16) return 0;
  // Bytes 0-15: attributes, metrics, flags, masks, clip, cursor; then up to
  // 64 font bytes; then the text.
  poke(ram_print_attribs, data[0]);
  poke(ram_print_metrics, data[1]);
  poke(ram_print_metrics + 1, data[2]);
  poke(ram_print_metrics + 2, data[3]);
  poke(ram_print_flags, data[4]);
  poke(ram_font_page, font_address >> 8);
  poke(ram_alt_font_page, data[5]);
  poke(0x5508, data[6]);
  poke(0x5509, data[7]);
  poke(0x550B, data[8]);
  poke2(ram_clip, data[9] % W);
  poke2(ram_clip + 2, data[10] % H);
  poke2(ram_clip + 4, data[11] % (W + 8));
  poke2(ram_clip + 6, data[12] % (H + 8));
  poke4(ram_cursor_x, int8_t(data[13]));
  poke4(ram_cursor_y, int8_t(data[14]));
  poke4(ram_print_home_x, int8_t(data[13]));
  size_t font_bytes = std::min<size_t>(data[15] % 65, size - 16);
  for (size_t i = 0; i < font_bytes; i++) poke(font_address + int(i * 37 % 2048), data[16 + i]);
  const uint8_t *text = data + 16 + font_bytes;
  size_t length = size - 16 - font_bytes;

  userdata *t = refresh_clip(P);
  uint8_t *px = ud_elements(t);
  memset(px, 0xAA, W * H);
  cpu_cycles = 0;
  cpu_cycles_max = 0;
  int r = print_m7scii(t, reinterpret_cast<const char *>(text), int64_t(length), data[4] & 0x10, data[13]);
  if (r != print_done && r != print_suspended && r != print_stopped) abort();
  if (!clears_target(text, length))
    for (int y = 0; y < H; y++)
      for (int x = 0; x < W; x++)
        if ((x < P->clip_x0 || x >= P->clip_x1 || y < P->clip_y0 || y >= P->clip_y1) && px[y * W + x] != 0xAA)
          abort();
  return 0;
}
