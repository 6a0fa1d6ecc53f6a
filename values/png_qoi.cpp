// PNG and QOI glue.
#define QOI_IMPLEMENTATION  // the codec's one definition in the program
#include "values/png_qoi.h"

#include <cstring>

#include "kernel/held_memory.h"

namespace {

// Measured against the codecs (bench/charge_bench.cpp): deflate and its
// filters cost far more a pixel than QOI's single pass. A whole screen's PNG
// (2 M cycles) stays within the ten-frame ceiling of one call.
constexpr int64_t png_pixel_cycles = 16;
constexpr int64_t qoi_pixels_per_cycle = 1;

bool too_many_pixels(uint64_t width, uint64_t height, int64_t max_pixels) {
  return max_pixels < 0 || width * height > static_cast<uint64_t>(max_pixels);
}

uint32_t read_u32_be(const uint8_t *p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

}  // namespace

unsigned LodePNG_decode_pbuffer(image_pixels *pixels, unsigned *width, unsigned *height,
                                buffer *buf, LodePNGColorType colour, unsigned bit_depth,
                                int64_t max_pixels) {
  if (!buf) return png_error_no_buffer;
  buf->position = 0;
  LodePNGState state;
  lodepng_state_init(&state);
  state.info_raw.colortype = colour;
  state.info_raw.bitdepth = bit_depth;
  unsigned w = 0, h = 0;
  size_t size = static_cast<size_t>(buf->length);
  unsigned error = lodepng_inspect(&w, &h, &state, buf->data, size);
  if (!error && too_many_pixels(w, h, max_pixels)) error = png_error_too_large;
  unsigned char *out = nullptr;
  if (!error) error = lodepng_decode(&out, &w, &h, &state, buf->data, size);
  lodepng_state_cleanup(&state);
  if (error) {
    free(out);
    return error;
  }
  pixels->reset(out);
  *width = w;
  *height = h;
  return 0;
}

unsigned LodePNG_decode32_pbuffer(image_pixels *pixels, unsigned *width, unsigned *height,
                                  buffer *buf, int64_t max_pixels) {
  return LodePNG_decode_pbuffer(pixels, width, height, buf, LCT_RGBA, 8, max_pixels);
}

unsigned LodePNG_encode_pbuffer(const uint8_t *pixels, unsigned width, unsigned height,
                                LodePNGColorType colour, unsigned bit_depth, buffer *buf) {
  if (!buf) return png_error_no_buffer;
  unsigned char *file = nullptr;
  size_t size = 0;
  unsigned error = lodepng_encode_memory(&file, &size, pixels, width, height, colour, bit_depth);
  image_pixels owned(file);
  if (error) return error;
  if (size > static_cast<size_t>(buffer_max_length) ||
      bwrite(file, 1, static_cast<int64_t>(size), buf) != static_cast<int64_t>(size))
    return 83;  // LodePNG's own code for a failed allocation
  return 0;
}

unsigned LodePNG_encode32_pbuffer(const uint8_t *pixels, unsigned width, unsigned height,
                                  buffer *buf) {
  return LodePNG_encode_pbuffer(pixels, width, height, LCT_RGBA, 8, buf);
}

image_pixels encode_qoi(const uint8_t *pixels, const qoi_desc &desc, int *length) {
  *length = 0;
  return image_pixels(static_cast<uint8_t *>(qoi_encode(pixels, &desc, length)));
}

image_pixels decode_qoi(const uint8_t *data, int64_t size, qoi_desc *desc, int64_t max_pixels) {
  // The header: "qoif", width and height (big-endian), channels, colour space.
  if (!data || size < 14 || size > INT32_MAX || memcmp(data, "qoif", 4) != 0) return nullptr;
  if (too_many_pixels(read_u32_be(data + 4), read_u32_be(data + 8), max_pixels)) return nullptr;
  return image_pixels(static_cast<uint8_t *>(qoi_decode(data, static_cast<int>(size), desc, 0)));
}

int64_t png_coding_cycles(int64_t pixels) { return pixels > 0 ? pixels * png_pixel_cycles : 0; }

int64_t qoi_coding_cycles(int64_t pixels) {
  return pixels > 0 ? pixels / qoi_pixels_per_cycle : 0;
}

int64_t rgba_pixels_within_room() { return host_memory_room(current_memory_holder()) / 4; }
