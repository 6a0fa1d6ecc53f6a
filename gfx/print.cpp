// Text printing: one step at a time over the caller's text, glyphs built as
// whole-row bit masks and drawn through the shape pixel rule.
#include "gfx/print.h"

#include <algorithm>
#include <cstring>

#include "gfx/draw_state.h"
#include "gfx/shapes.h"
#include "kernel/accounting.h"
#include "kernel/numbers.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "values/userdata.h"

int64_t print_max_x = -1000000;
int64_t print_max_y = -1000000;
int print_max_set = 0;

namespace {

uint32_t double_px[256];   // bit i to bits 2i and 2i + 1
uint32_t pinball_px[256];  // bit i to bit 2i + 1
bool double_px_inited = false;

void init_double_px() {
  if (double_px_inited) return;
  for (uint32_t v = 0; v < 256; v++) {
    uint32_t d = 0, p = 0;
    for (int i = 0; i < 8; i++)
      if (v >> i & 1) d |= 3u << (2 * i), p |= 2u << (2 * i);
    double_px[v] = d;
    pinball_px[v] = p;
  }
  double_px_inited = true;
}

// '0'-'9' are 0-9, bytes from 'a' up are byte - 87, anything else 0.
int64_t digit(uint8_t b) {
  if (b >= '0' && b <= '9') return b - '0';
  return b >= 'a' ? b - 87 : 0;
}

int64_t hex_nibble(uint8_t b) {
  if (b >= '0' && b <= '9') return b - '0';
  if (b >= 'a' && b <= 'f') return b - 'a' + 10;
  if (b >= 'A' && b <= 'F') return b - 'A' + 10;
  return 0;
}

// A print in progress: the context, the canvas it draws on and the camera.
struct printer {
  print_context p;
  canvas cv;
  int64_t cam_x = 0, cam_y = 0;
  int64_t extra_cycles = 0;  // pokes and fills of the step, charged with it

  int64_t text_end() const { return static_cast<int64_t>(p.text.size()); }
  // The byte at i: the caller's text, then the appended newline, then zeros.
  uint8_t at(int64_t i) const {
    int64_t n = text_end();
    if (i < n) return i >= 0 ? static_cast<uint8_t>(p.text[static_cast<size_t>(i)]) : 0;
    return i == n && p.newline ? 10 : 0;
  }
  // The position after up to k argument bytes from i, stopping at a zero.
  int64_t after(int64_t i, int64_t k) const {
    int64_t j = i;
    while (j < i + k && at(j)) j++;
    return j;
  }
  // Fonts are read through the RAM like every other byte, page by page.
  uint8_t font_byte(int64_t i) const { return static_cast<uint8_t>(peek(static_cast<int>(p.font + i))); }

  void load_font_metrics() {
    p.char_w = font_byte(0), p.wide_w = font_byte(1), p.char_h = font_byte(2);
    p.x_offset = font_byte(3), p.y_offset = font_byte(4);
  }
  void load_view() {
    cam_x = peek4(ram_camera_x), cam_y = peek4(ram_camera_y);
  }
  // The cursor and home x as RAM holds them, and back.
  void load_cursor() {
    p.cursor_x = peek4(ram_cursor_x), p.cursor_y = peek4(ram_cursor_y);
    p.home_x = peek4(ram_print_home_x);
  }
  void store_cursor() const {
    poke4(ram_cursor_x, saturate_i32(p.cursor_x));
    poke4(ram_cursor_y, saturate_i32(p.cursor_y));
    poke4(ram_print_home_x, saturate_i32(p.home_x));
  }
  // The canvas of the target with the shape masks as RAM holds them.
  void load_canvas() {
    userdata *t = p.target;
    bool own = cproc && t == cproc->draw_target;
    cv = shape_canvas(cproc);
    if (!own) cv = canvas_for_bitmap(cv, t);
  }
  // Pokes may change any register: the canvas, camera and cursor are read
  // again, but for the masks, which hold for the whole print.
  void after_poke() {
    canvas before = cv;
    load_canvas();
    cv.rmask = before.rmask, cv.wmask = before.wmask, cv.tmask = before.tmask;
    load_view();
    load_cursor();
  }

  int draw_character(int64_t rows_addr, const uint8_t *rows, int64_t w, int64_t h, int flags);
  int glyph(uint8_t b);
  int tab();
  int sub_command(int64_t &len, bool &update_max, bool &ended);
  int step(bool &ended);
};

int printer::draw_character(int64_t rows_addr, const uint8_t *rows, int64_t w, int64_t h, int flags) {
  if (!p.swapped) p.saved_x = p.cursor_x, p.saved_y = p.cursor_y;
  if (p.wrap && p.cursor_x > p.wrap_right - w) {
    p.cursor_x = p.home_x;
    p.cursor_y += p.line_height ? p.line_height : p.char_h;
    p.line_height = 0;
  }
  int xs = 1, ys = 1;
  bool dotty = false, stripe_rows = false;
  if (p.pinball) {
    xs = ys = 2, dotty = stripe_rows = true;
  } else {
    xs = p.wide ? 2 : 1, ys = p.tall ? 2 : 1;
    dotty = p.wide && p.stripey && !p.tall;
    stripe_rows = p.tall && p.stripey;
  }
  // A border-off font glyph sits at the cell's origin, so it is drawn whole.
  int s = p.border && (flags & 1) ? 1 : 0;
  int lpad = s * xs, tpad = s * ys;
  int cw = static_cast<int>(std::clamp<int64_t>(w, 0, 8)), ch = static_cast<int>(std::clamp<int64_t>(h, 0, 8));
  int W = cw * xs + lpad, H = tpad + ch * ys;  // at most 18 each
  int64_t x0 = p.cursor_x + p.x_offset - cam_x - lpad;
  int64_t y0 = p.cursor_y + p.y_offset - cam_y - tpad - ((flags & 8) ? 1 : 0);

  if (p.solid_bg && W > 0 && H > 0) rectfill_raw(cv, x0, y0, x0 + W - 1, y0 + H - 1, static_cast<uint8_t>(p.bg));

  bool outline = p.outline_mask && !(x0 + W + 2 <= cv.cx0 || y0 + H + 2 <= cv.cy0 || x0 > cv.cx1 || y0 > cv.cy1);
  bool body = !(x0 + W < cv.cx0 || y0 + H < cv.cy0 || x0 >= cv.cx1 || y0 >= cv.cy1);
  if ((outline || body) && W > 0 && H > 0) {
    uint32_t full = (1u << W) - 1, inv = p.invert ? full : 0;
    uint32_t R[18];
    for (int i = 0; i < H; i++) R[i] = inv;
    for (int i = 0; i < ch; i++) {
      uint32_t row = rows ? rows[i] : static_cast<uint8_t>(peek(static_cast<int>(rows_addr + i)));
      if (xs == 2) row = dotty ? pinball_px[row] : double_px[row];
      R[i + s] = ((row << (s * xs)) ^ inv) & full;
    }
    if (ys == 2)
      for (int i = H - 1; i >= 1; i--) R[i] = R[i >> 1];
    if (stripe_rows)
      for (int i = 1; i < H; i += 2) R[i] = inv;
    int64_t cost = 0;
    if (outline) {
      uint32_t O[20] = {};
      for (int k = 0; k < 9; k++)
        if (p.outline_mask >> k & 1)
          for (int j = 0; j < H; j++) O[j + k / 3] |= R[j] << (k % 3);
      for (int j = 0; j < H; j++) O[j + 1] &= ~(R[j] << 1);
      for (int j = 0; j < H + 2; j++)
        for (uint32_t bits = O[j]; bits; bits &= bits - 1)
          putpixel(cv, x0 - 1 + __builtin_ctz(bits), y0 - 1 + j, p.outline_colour);
      cost += (W + 2) * (H + 2);
    }
    if (body) {
      for (int j = 0; j < H; j++)
        for (uint32_t bits = R[j]; bits; bits &= bits - 1)
          putpixel(cv, x0 + __builtin_ctz(bits), y0 + j, p.fg);
      cost += W * H;
    }
    if (cost / 3 > 0) spend_cpu(cost / 3);
  }
  p.last_w = xs * w;
  p.cursor_x += xs * w;
  p.line_height = std::max(p.line_height, ys * h);
  if (p.swapped) p.cursor_x = p.saved_x, p.cursor_y = p.saved_y, p.swapped = false;
  return p.delay > 0 ? print_suspended : print_done;
}

int printer::glyph(uint8_t b) {
  int64_t w = b < 128 ? p.char_w : p.wide_w;
  int flags = 1;
  if (font_byte(5) & 1) {
    int n = font_byte(b >> 1);
    n = b & 1 ? n >> 4 : n & 15;
    w += ((n + 4) & 7) - 4;
    flags |= n & 8;
  }
  return draw_character(p.font + 8 * int64_t{b}, nullptr, w, p.char_h, flags);  // rows by address
}

int printer::tab() {
  bool from_home = font_byte(5) & 2;
  int64_t w = p.tab_w ? p.tab_w : (font_byte(6) ? font_byte(6) : 3 * p.char_w);
  if (w <= 0) return print_done;  // a tab of no width stays where it is
  int64_t x = p.cursor_x - (from_home ? p.home_x : 0) + w;
  x -= x % w;
  p.cursor_x = x + (from_home ? p.home_x : 0);
  return print_done;
}

// Code 6 at pos, its letter at pos + 1 (not 0). Sets len to the bytes taken.
int printer::sub_command(int64_t &len, bool &update_max, bool &ended) {
  int64_t pos = p.pos, q = pos + 2;
  uint8_t letter = at(pos + 1);
  bool on = true;
  if (letter == '-') {
    on = false;
    letter = at(pos + 2);
    q = pos + 3;
    if (!letter) {
      len = 2;
      return print_done;
    }
  }
  len = q - pos;
  auto take = [&](int64_t k) { len = after(q, k) - pos; };
  int64_t n = text_end();
  // Four digits of base 16 from i, stopping at the end of the text.
  auto hex4 = [&](int64_t &i) {
    int64_t v = 0;
    for (int k = 0; k < 4 && i < n; k++, i++) v = v * 16 + digit(at(i));
    return v;
  };
  switch (letter) {
    case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
      return print_suspended;
    case 'd': p.delay = digit(at(q)); take(1); break;
    case 'c': {
      int64_t v = digit(at(q));
      take(1);
      if (userdata *t = cproc ? cproc->draw_target : nullptr) {
        int64_t bytes = ud_count(t);
        memset(ud_elements(t), static_cast<int>(v & 0xFF), static_cast<size_t>(bytes));
        extra_cycles += bytes / 64;
        p.cursor_x = p.cursor_y = 0;
      }
      break;
    }
    case 'j':
      p.cursor_x = 4 * digit(at(q)), p.cursor_y = 4 * digit(at(q + 1));
      take(2);
      break;
    case 'h': p.home_x = p.cursor_x, p.home_y = p.cursor_y; break;
    case 'g': p.cursor_x = p.home_x, p.cursor_y = p.home_y; break;
    case 'o':
      if (!on) {
        p.outline_mask = 0;
        break;
      }
      p.outline_colour = static_cast<int>(digit(at(q)));
      p.outline_mask = digit(at(q + 1)) << 5 | digit(at(q + 2));
      take(3);
      break;
    case '#': p.solid_bg = on; break;
    case '$': p.wrap = on; break;
    case '=': p.stripey = on; break;
    case 'b': p.border = on; break;
    case 'i': p.invert = on; break;
    case 'p': p.pinball = on; break;
    case 't': p.tall = on; break;
    case 'w': p.wide = on; break;
    case 'r': p.wrap_right = 4 * digit(at(q)), p.wrap = true, take(1); break;
    case 's': p.tab_w = digit(at(q)) * p.char_w, take(1); break;
    case 'x':
      p.char_w = digit(at(q));
      p.wide_w = p.char_w + (font_byte(1) - font_byte(0));
      take(1);
      break;
    case 'y': p.char_h = digit(at(q)), take(1); break;
    case '@': {
      // Pokes go through the RAM like any poke; the cursor goes first so
      // that a poke of it is what the print carries on from.
      int64_t i = q, addr = hex4(i), count = hex4(i);
      store_cursor();
      int64_t k = 0;
      for (; k < count && i + k < n; k++) poke(static_cast<int>(static_cast<uint32_t>(addr + k)), at(i + k));
      extra_cycles += k;
      len = i + k - pos;
      after_poke();
      break;
    }
    case '!': {
      int64_t i = q, addr = hex4(i);
      store_cursor();
      for (int64_t k = 0; i + k < n; k++) poke(static_cast<int>(static_cast<uint32_t>(addr + k)), at(i + k));
      extra_cycles += std::max<int64_t>(0, n - i);
      after_poke();
      len = n - pos;
      update_max = false;
      ended = true;
      break;
    }
    case '.':
      if (q + 8 <= n) {
        uint8_t rows[8];
        for (int i = 0; i < 8; i++) rows[i] = at(q + i);
        len = q + 8 - pos;
        return draw_character(0, rows, 8, 8, 0);
      }
      break;
    case ':':
      if (q + 16 <= n) {
        uint8_t rows[8];
        for (int i = 0; i < 8; i++)
          rows[i] = static_cast<uint8_t>(hex_nibble(at(q + 2 * i)) << 4 | hex_nibble(at(q + 2 * i + 1)));
        len = q + 16 - pos;
        return draw_character(0, rows, 8, 8, 0);
      }
      break;
    default: break;
  }
  return print_done;
}

// One step at the current position: a glyph, or a control code with its
// arguments (a code whose required argument is missing is drawn as a glyph).
int printer::step(bool &ended) {
  int64_t pos = p.pos, len = 1;
  uint8_t b = at(pos), a = at(pos + 1);
  bool update_max = true, repeat_code = false;
  int result = print_done;
  switch (b) {
    case 1:
      if (!a) {
        result = glyph(b);
      } else if (int64_t n = digit(a); n == 0) {
        p.repeat = 0;
        len = after(pos + 1, 2) - pos;  // skips the one byte that follows
      } else {
        p.repeat = n;
        len = 2;
        repeat_code = true;
      }
      break;
    case 2:
      if (!a) {
        result = glyph(b);
      } else {
        p.bg = static_cast<int>(digit(a) & 63), p.solid_bg = true, len = 2;
      }
      break;
    case 3:
    case 4:
      if (!a) {
        result = glyph(b);
      } else {
        (b == 3 ? p.cursor_x : p.cursor_y) += digit(a) - 16;
        len = 2;
      }
      break;
    case 5:
      if (!a || !at(pos + 2)) {
        result = glyph(b);
      } else {
        p.cursor_x += digit(a) - 16, p.cursor_y += digit(at(pos + 2)) - 16;
        len = 3;
      }
      break;
    case 6:
      if (!a) result = glyph(b);
      else result = sub_command(len, update_max, ended);
      break;
    case 8: p.cursor_x -= p.last_w; break;
    case 9: result = tab(); break;
    case 10:
      p.cursor_x = p.home_x;
      p.cursor_y += p.line_height ? p.line_height : p.char_h;
      p.line_height = 0;
      break;
    case 11: {
      int64_t d = digit(a);
      std::swap(p.cursor_x, p.saved_x);
      std::swap(p.cursor_y, p.saved_y);
      p.swapped = true;
      p.cursor_x += (d & 3) - 2;
      p.cursor_y += (d >> 2) - 8;
      len = a ? 2 : 1;
      break;
    }
    case 12:
      p.fg = static_cast<int>(digit(a) & 63);
      poke2(ram_draw_colour, p.fg);
      len = a ? 2 : 1;
      break;
    case 13: p.cursor_x = p.home_x; break;
    case 14:
    case 15:
      p.font = int64_t{peek(b == 14 ? ram_alt_font_page : ram_font_page)} * 256;
      load_font_metrics();
      break;
    default: result = glyph(b); break;  // 7 and 16-255
  }
  p.cursor_x = saturate_i32(p.cursor_x);
  p.cursor_y = saturate_i32(p.cursor_y);
  if (ended) return print_done;
  if (update_max) {
    print_max_x = print_max_set ? std::max(print_max_x, p.cursor_x) : p.cursor_x;
    print_max_y = print_max_set ? std::max(print_max_y, p.cursor_y) : p.cursor_y;
    print_max_set = 1;
  }
  if (p.repeat > 0) {
    p.repeat--;
    if (repeat_code) p.pos += len;
  } else {
    p.pos += len;
  }
  return result;
}

}  // namespace

int print_m7scii(userdata *bitmap, const char *text, int64_t length, int64_t options, int64_t colour) {
  print_max_x = print_max_y = -1000000;
  print_max_set = 0;
  if (!text || length < 0 || !cproc) return print_done;
  init_double_px();
  printer pr;
  print_context &p = pr.p;
  p.text = std::string_view(text, static_cast<size_t>(length));
  p.newline = !(peek(ram_print_flags) & 4);

  // The context from RAM: attributes, font, metrics and their overrides.
  int a = peek(ram_print_attribs);
  if (!(a & 1)) a = 2;
  p.font = int64_t{peek(a & 0x80 ? ram_alt_font_page : ram_font_page)} * 256;
  p.border = a & 2, p.wide = a & 4, p.tall = a & 8, p.solid_bg = a & 16, p.invert = a & 32;
  p.stripey = a & 64;
  pr.load_font_metrics();
  if (!p.char_w && !p.wide_w && !p.char_h) p.char_w = p.wide_w = p.char_h = 8;
  int m = peek(ram_print_metrics);
  if (m & 15) p.char_w = m & 15;
  if (m >> 4) p.char_h = m >> 4;
  m = peek(ram_print_metrics + 1);
  if (m & 15) p.wide_w = m & 15;
  if (m >> 4) p.tab_w = p.char_w * ((m >> 4) + 1);
  m = peek(ram_print_metrics + 2);
  if (m & 15) p.x_offset = m & 15;
  if (m >> 4) p.y_offset = m >> 4;

  p.target = bitmap;
  if (bitmap && bitmap == cproc->draw_target) refresh_clip(cproc);
  pr.load_canvas();
  pr.load_view();
  pr.load_cursor();  // and home x
  p.wrap_right = bitmap == cproc->draw_target ? cproc->clip_x1 : pr.cv.cx1;
  p.wrap = options & print_option_wrap;
  p.alt_newline = options & print_option_alt_newline;
  p.home_y = p.cursor_y;
  p.fg = static_cast<int>(colour & 63);
  p.bg = static_cast<int>((colour >> 8) & 63);
  p.last_w = p.char_w;

  int result = print_done;
  while (pr.at(p.pos)) {
    int64_t before = p.pos;
    bool ended = false;
    pr.extra_cycles = 0;
    result = pr.step(ended);
    spend_cpu(std::max<int64_t>(1, p.pos - before) + pr.extra_cycles);
    if (ended) break;
    if (cpu_overrun()) {
      result = print_stopped;
      break;
    }
    if (result != print_done) break;
  }
  pr.store_cursor();
  return result;
}
