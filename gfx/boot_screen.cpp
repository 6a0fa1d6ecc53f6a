// The boot screen.
#include "gfx/boot_screen.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gfx/boot_clock.h"
#include "gfx/draw_state.h"
#include "gfx/lil_font.h"
#include "gfx/print.h"
#include "kernel/accounting.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "kernel/system.h"
#include "platform/frame_pacing.h"
#include "values/userdata.h"

const uint32_t boot_palette[64] = {
    0x000000, 0x1D2B53, 0x7E2553, 0x008751, 0xAB5236, 0x5F574F, 0xC2C3C7, 0xFFF1E8,
    0xFF004D, 0xFFA300, 0xFFEC27, 0x00E436, 0x29ADFF, 0x83769C, 0xFF77A8, 0xFFCCAA,
    0x134284, 0x135FC6, 0x922D95, 0x125359, 0x742F29, 0x492D38, 0xA28879, 0xFFACC5,
    0xC3004C, 0xEB6B00, 0x90F642, 0x00B251, 0x83EBF5, 0xBD9ADF, 0xE40DAB, 0xFF856D,
};

int64_t (*boot_host_clock)() = os_get_time;

namespace {

constexpr int W = boot_screen_width, H = boot_screen_height;
constexpr int32_t text_x = 35, text_y = 200;
constexpr int32_t ram_boot_error = 0;  // process 1's boot error code
constexpr const char *version_line = "\x06:3f7f5077057f7e00 Kestrune Workstation OS %s";
constexpr const char *notice_line = "Free to use, share and change. Made to be played with.\n";

// boot_back: the 16-byte userdata header, then the 480 x 270 pixels. Both it
// and the boot process are made on the first boot screen and kept for the run.
struct boot_screen {
  std::vector<uint64_t> block;
  userdata *back = nullptr;
  process proc;
};
boot_screen *screen = nullptr;

uint8_t *back_pixels() { return ud_elements(screen->back); }

// The boot process: own pages 0-15 holding the palette, remap, colour table,
// masks and font; pages 16-47 windows onto boot_back, so its video memory is
// the bitmap.
bool init_boot() {
  auto *s = new boot_screen;
  s->block.assign((sizeof(userdata) + size_t{W} * H + 7) / 8, 0);
  s->back = reinterpret_cast<userdata *>(s->block.data());
  *s->back = userdata{utype_u8, 2, {0, 0}, W, H, 1};
  process *P = &s->proc;
  if (!ram_init(P)) {
    delete s;
    return false;
  }
  std::vector<const void *> released;
  ram_map(P, ram_window{s->back, ud_elements(s->back), int64_t{W} * H}, 0x10000, 0, std::nullopt,
          released);
  P->clip_x1 = W;
  P->clip_y1 = H;
  uint8_t bytes[64];
  for (int c = 0; c < 64; c++) bytes[c] = static_cast<uint8_t>(c);
  ram_write_unflagged(P, ram_remap, bytes, 64);
  std::vector<uint8_t> table(coltab_size);
  for (int r = 0; r < 64; r++) memset(&table[static_cast<size_t>(r) * 64], r, 64);
  ram_write_unflagged(P, ram_coltabs, table.data(), coltab_size);
  memset(bytes, 0x3F, 4);
  ram_write_unflagged(P, ram_read_mask, bytes, 4);
  uint8_t pages[2] = {0x40, 0x56};
  ram_write_unflagged(P, ram_font_page, pages, 2);
  ram_write_unflagged(P, 0x4000, lil_font_dat(), lil_font_size);
  for (int c = 0; c < 64; c++) {
    uint8_t w[4];
    for (int i = 0; i < 4; i++) w[i] = static_cast<uint8_t>(boot_palette[c] >> (8 * i));
    ram_write_unflagged(P, ram_palettes + 4 * c, w, 4);
  }
  screen = s;
  return true;
}

void set_cursor(int32_t x, int32_t y) {
  poke4(ram_cursor_x, x);
  poke4(ram_cursor_y, y);
  poke4(ram_print_home_x, x);
}

void print_line(const char *text, int colour) {
  print_m7scii(screen->back, text, static_cast<int64_t>(strlen(text)), 0, colour);
}

// The status line: the last of these that applies.
void status_line(char *out, size_t n) {
  snprintf(out, n, "booting..\n");
  if (app.boot_finished && !app.boot_release) snprintf(out, n, "booting...\n");
  int64_t host_ms = boot_host_clock();
  if (host_ms > 4000) snprintf(out, n, "booting....\n");
  if (host_ms > 7000) snprintf(out, n, "booting.....\n");
  for (int64_t id = 1; id <= 3; id++) {
    const process *P = get_process(id);
    if (P && P->state != process_running)
      snprintf(out, n, "[* system error %d:%lld **]\n", static_cast<int>(id), static_cast<long long>(P->time));
  }
}

void draw_segment(uint8_t *pixels, int w, int h, boot_point s, boot_point e, int phase, bool style) {
  int64_t n = std::max(std::abs(int64_t{e.x} - s.x), std::abs(int64_t{e.y} - s.y));
  if (n == 0) return;
  int64_t dx = (int64_t{e.x} - s.x) * 65536 / n, dy = (int64_t{e.y} - s.y) * 65536 / n;
  int64_t X = int64_t{s.x} * 65536, Y = int64_t{s.y} * 65536;
  for (int64_t k = 0; k < n; k++, X += dx, Y += dy) {
    int64_t px = X >> 16, py = Y >> 16;
    int64_t v = (X >> 21) + (Y >> 21) + phase + k % 3;
    auto colour = static_cast<uint8_t>(style ? v % 3 + 28 : v % 12 + 8);
    if (px >= 0 && px < w && py >= 0 && py < h) pixels[py * w + px] = colour;
  }
}

boot_point along(boot_point a, boot_point b, double f) {
  return {static_cast<int>(std::trunc(a.x + (b.x - a.x) * f)), static_cast<int>(std::trunc(a.y + (b.y - a.y) * f))};
}

}  // namespace

double nll(double v) {
  if (v < 0.5) return 2 * v * v;
  if (v > 0.5) return 1 - 2 * (1 - v) * (1 - v);
  return 0.5;
}

void draw_path(uint8_t *pixels, int w, int h, boot_point a, boot_point b, boot_point c, double tail,
               double head, int phase, bool style) {
  if (tail < 0.5) draw_segment(pixels, w, h, along(a, b, 2 * tail), along(a, b, 2 * std::min(head, 0.5)), phase, style);
  if (head > 0.5) {
    double f0 = tail < 0.5 ? 0 : 2 * (tail - 0.5);
    draw_segment(pixels, w, h, along(b, c, f0), along(b, c, 2 * (head - 0.5)), phase, style);
  }
}

void boot_init() {}

process *draw_boot() {
  if (!screen && !init_boot()) return nullptr;
  process *P = &screen->proc;
  process *saved = cproc;
  uncharged_work scope;  // printing charges cycles; no slice runs
  cproc = P;
  P->clip_x0 = P->clip_y0 = 0;
  P->clip_x1 = W;
  P->clip_y1 = H;
  P->clip_bytes = static_cast<uint64_t>(peek8(ram_clip));
  get_masks_shape();
  uint8_t *pixels = back_pixels();

  const process *root = get_process(1);
  int code = root ? ram_byte_untouched(root->ram.get(), ram_boot_error) : 0;
  if (code != 0) {
    memset(pixels, 1, size_t{W} * H);
    set_cursor(text_x, text_y);
    char text[64];
    snprintf(text, sizeof text, "** system error %d **\n", code);
    print_line(text, 14);
  } else {
    int t = boot_get_time();
    double x = 2.0 * t / 1000 - 1;
    memset(pixels, 0, size_t{W} * H);
    double head = nll(std::clamp(x, 0.0, 1.0)), tail = nll(std::clamp(x - 0.5, 0.0, 1.0));
    if (tail < 1 && head > 0) {
      for (int i = 0; i <= 6; i += 3) {
        boot_point corner{i, i}, far{W - 1 - i, H - 1 - i};
        draw_path(pixels, W, H, corner, {W - 1 - i, i}, far, tail, head, i / 3, app.boot_style);
        draw_path(pixels, W, H, corner, {i, H - 1 - i}, far, tail, head, i / 3 + 5, app.boot_style);
      }
    }
    set_cursor(text_x, text_y);
    char text[160];
    if (x > 0.7) {
      snprintf(text, sizeof text, version_line, kestrune_version);
      print_line(text, 7);
    }
    if (x > 1) print_line(notice_line, 6);
    if (x > 1.2) {
      status_line(text, sizeof text);
      print_line(text, 14);
    }
  }
  cproc = saved;
  return P;
}
