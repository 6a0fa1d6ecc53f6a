// The video output.
#include "gfx/video_output.h"

#include <algorithm>
#include <cstring>
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KESTRUNE_WIDE_LOOKUPS 1
#endif

#include "gfx/boot_clock.h"
#include "gfx/boot_screen.h"
#include "gfx/captures.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "kernel/system.h"
#include "platform/host_log.h"

uint32_t display_pal[display_pal_colours + video_out_height];
uint32_t back_page[video_out_width * video_out_height];

namespace {

constexpr int64_t display_process_id = 3;
constexpr uint32_t *line_selector = display_pal + display_pal_colours;

// Two pixels a look-up: for each palette in use, the words of every pair of
// colour bytes (low 6 bits each), 32 KB a palette. A table is built when first
// needed and kept until its palette's words change.
uint64_t pair_words[4][64 * 64];
uint32_t pair_source[4][64];
bool pair_built[4];

// Palettes, selectors and remap are read in one go: 0x5000 up to 0x54C0.
void resolve_palettes(const process_ram *r) {
  uint8_t b[0x4C0];
  ram_read_untouched(r, video_palette_address, b, sizeof b);
  const uint8_t *selectors = b + (video_selector_address - video_palette_address);
  const uint8_t *remap = b + (video_remap_address - video_palette_address);
  for (uint32_t j = 0; j < display_pal_colours; j++) {
    const uint8_t *w = b + 4 * ((j & 0xC0) | (remap[j & 63] & 63));
    display_pal[j] = uint32_t{w[0]} | uint32_t{w[1]} << 8 | uint32_t{w[2]} << 16 | uint32_t{w[3]} << 24;
  }
  for (uint32_t y = 0; y < video_out_height; y++)
    line_selector[y] = (selectors[y >> 2] >> (2 * (y & 3))) & 3;
  for (int s = 0; s < 4; s++)
    if (memcmp(pair_source[s], display_pal + s * 64, sizeof pair_source[s]) != 0) pair_built[s] = false;
}

const uint64_t *pairs_for(int selector) {
  uint64_t *t = pair_words[selector];
  if (!pair_built[selector]) {
    const uint32_t *pal = display_pal + selector * 64;
    for (int hi = 0; hi < 64; hi++)
      for (int lo = 0; lo < 64; lo++) t[hi * 64 + lo] = pal[lo] | uint64_t{pal[hi]} << 32;
    memcpy(pair_source[selector], pal, sizeof pair_source[selector]);
    pair_built[selector] = true;
  }
  return t;
}

#ifdef KESTRUNE_WIDE_LOOKUPS
// Sixteen pixels a step with 512-bit permutes: the palette's 64 words sit in
// four registers, two two-register permutes look up colours 0-31 and 32-63 of
// sixteen bytes at once, and bit 5 picks between them. Bits 6 and 7 of a byte
// are never read, which is the mask by 63. Returns how many pixels it did.
__attribute__((target("avx512f"))) int convert_run_wide(uint32_t *__restrict out, const uint8_t *__restrict in,
                                                       int n, const uint32_t *pal) {
  const __m512i p0 = _mm512_loadu_si512(pal), p1 = _mm512_loadu_si512(pal + 16);
  const __m512i p2 = _mm512_loadu_si512(pal + 32), p3 = _mm512_loadu_si512(pal + 48);
  const __m512i bit5 = _mm512_set1_epi32(32);
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    // (The zero-masked widening with every lane kept: the plain one trips a
    // maybe-uninitialised warning inside the compiler's own header.)
    __m512i b = _mm512_maskz_cvtepu8_epi32(0xFFFF, _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i)));
    __m512i low = _mm512_permutex2var_epi32(p0, b, p1), high = _mm512_permutex2var_epi32(p2, b, p3);
    _mm512_storeu_si512(out + i, _mm512_mask_blend_epi32(_mm512_test_epi32_mask(b, bit5), low, high));
  }
  return i;
}

// Asked while static objects are made, so the processor's features are read first.
const bool cpu_has_wide_lookups = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") != 0;
}();
bool wide_lookups = cpu_has_wide_lookups;
#else
constexpr bool cpu_has_wide_lookups = false;
bool wide_lookups = false;
#endif

// Four pixels a step: two pair look-ups and one 16-byte store. Then the
// wide path's or this one's last pixels one at a time.
void convert_run(uint32_t *__restrict out, const uint8_t *__restrict in, int n, int selector) {
  const uint32_t *pal = display_pal + selector * 64;
  int i = 0;
#ifdef KESTRUNE_WIDE_LOOKUPS
  if (wide_lookups) i = convert_run_wide(out, in, n, pal);
#endif
  if (!wide_lookups) {
    const uint64_t *pairs = pairs_for(selector);
    for (; i + 4 <= n; i += 4) {
      uint32_t b;
      memcpy(&b, in + i, 4);
      uint64_t w[2] = {pairs[(b & 0x3F) | ((b >> 2) & 0xFC0)],
                       pairs[((b >> 16) & 0x3F) | ((b >> 18) & 0xFC0)]};
      memcpy(out + i, w, sizeof w);
    }
  }
  for (; i < n; i++) out[i] = pal[in[i] & 63];
}

// The top-left width x height pixels of video memory, row by row, each row
// split where pages end: the bytes a page maps are converted, the rest (no
// memory there, or past a userdata's end) are 0.
void convert_video_memory(const process_ram *r, int width, int height) {
  for (int y = 0; y < height; y++) {
    int selector = static_cast<int>(line_selector[y]);
    uint32_t *out = back_page + y * video_out_width;
    uint32_t addr = video_memory_address + static_cast<uint32_t>(y * video_out_width);
    for (int x = 0; x < width;) {
      uint32_t p = (addr >> 12) & 0xFFF;
      auto off = static_cast<int32_t>(addr & 0xFFF);
      int run = std::min(width - x, ram_page_size - off);
      int have = r ? std::clamp(r->mapped_len[p] - off, 0, run) : 0;
      if (have > 0) convert_run(out + x, r->page_map[p] + off, have, selector);
      std::fill(out + x + have, out + x + run, 0u);
      x += run;
      addr += static_cast<uint32_t>(run);
    }
  }
}

// Output pixel (x, y) becomes converted pixel (x / K, y / K). From the last row
// back, every source row is read before anything overwrites it: a row that
// repeats the one below is copied from it, and a row that starts a repeat is
// widened from a copy of its source row (which may be the row itself).
template <int K>
void scale_in_place() {
  uint32_t source[video_out_width / K];
  for (int y = video_out_height - 1; y >= 0; y--) {
    uint32_t *dst = back_page + y * video_out_width;
    int sy = y / K;
    if (y + 1 < video_out_height && (y + 1) / K == sy) {
      memcpy(dst, dst + video_out_width, video_out_width * sizeof *dst);
    } else {
      memcpy(source, back_page + sy * video_out_width, sizeof source);
      for (int x = 0; x < video_out_width / K; x++)
        for (int k = 0; k < K; k++) dst[x * K + k] = source[x];
    }
    line_selector[y] = line_selector[sy];
  }
}

}  // namespace

bool use_wide_video_lookups(bool on) {
  wide_lookups = on && cpu_has_wide_lookups;
  return wide_lookups;
}

const uint32_t *make_video_frame(const process *S) {
  const process_ram *r = S ? S->ram.get() : nullptr;
  if (ram_byte_untouched(r, video_flags_address) & 2) return nullptr;
  resolve_palettes(r);
  // The scaled modes read only the top-left of video memory, so only that is converted.
  switch (ram_byte_untouched(r, video_mode_address)) {
  case 3:
    convert_video_memory(r, video_out_width / 2, video_out_height / 2);
    scale_in_place<2>();
    break;
  case 4:
    convert_video_memory(r, video_out_width / 3, video_out_height / 3);
    scale_in_place<3>();
    break;
  default:
    convert_video_memory(r, video_out_width, video_out_height);
    break;
  }
  return back_page;
}

void read_video_memory(const process *S, uint8_t *dst) {
  ram_read_untouched(S ? S->ram.get() : nullptr, video_memory_address, dst, video_out_width * video_out_height);
}

const uint32_t *generate_video_out(int *width, int *height) {
  process *display = nullptr;
  for (int i = 0; i < get_process_count() && !display; i++) {
    process *P = get_process_by_index(i);
    if (P && P->id == display_process_id) display = P;
  }
  process *shown = nullptr;
  if (display && boot_get_time() >= boot_screen_ms) {
    if (!app.boot_finished) {
      hovi_debug("@@ finished_boot_sequence\n");
      app.boot_finished = 1;
    }
    shown = display;
  }
  // The boot screen until then, and until the userland releases it.
  if (!shown || !app.boot_release) shown = draw_boot();
  if (!shown) return nullptr;
  const uint32_t *frame = make_video_frame(shown);
  if (!frame) return nullptr;
  *width = video_out_width;
  *height = video_out_height;
  update_gif_recording(display_pal);
  update_screenshot(frame, shown);
  return frame;
}

const uint32_t *video_out_picture() {
  int width = 0, height = 0;
  return generate_video_out(&width, &height);
}
