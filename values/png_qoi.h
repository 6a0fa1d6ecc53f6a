// PNG and QOI glue: images from and to buffers as 8-bit RGBA pixels, through
// LodePNG and the reference QOI codec.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include <lodepng.h>
#include <qoi.h>

#include "kernel/buffer.h"

struct malloc_deleter {
  void operator()(void *p) const { free(p); }
};
// Pixels as the codecs allocate them: rows top to bottom, 4 bytes a pixel (RGBA).
using image_pixels = std::unique_ptr<uint8_t[], malloc_deleter>;

// Error codes beyond LodePNG's own.
constexpr unsigned png_error_no_buffer = 100;
constexpr unsigned png_error_too_large = 101;  // more pixels than the caller allows

// Decodes the buffer's whole content (its position is set to 0 first) to the
// given format with the default decoder settings. The header is read first:
// an image of more than max_pixels pixels is refused before anything is
// allocated for it. 0 on success.
unsigned LodePNG_decode_pbuffer(image_pixels *pixels, unsigned *width, unsigned *height,
                                buffer *buf, LodePNGColorType colour, unsigned bit_depth,
                                int64_t max_pixels);
unsigned LodePNG_decode32_pbuffer(image_pixels *pixels, unsigned *width, unsigned *height,
                                  buffer *buf, int64_t max_pixels);

// Encodes raw pixels of the given format with the default encoder settings and
// writes the file's bytes at the buffer's position. 0 on success.
unsigned LodePNG_encode_pbuffer(const uint8_t *pixels, unsigned width, unsigned height,
                                LodePNGColorType colour, unsigned bit_depth, buffer *buf);
unsigned LodePNG_encode32_pbuffer(const uint8_t *pixels, unsigned width, unsigned height,
                                  buffer *buf);

// The cycles a caller on behalf of a script charges (spend_cpu_or_stop,
// before the work) for coding an image of that many pixels, either way: no
// more than about 10 ns of host time a cycle.
int64_t png_coding_cycles(int64_t pixels);
int64_t qoi_coding_cycles(int64_t pixels);
// The max_pixels for a decode on behalf of the current process: as many RGBA
// pixels as it may still hold (kernel/held_memory.h).
int64_t rgba_pixels_within_room();

// The one QOI image the system writes and reads: a 480 x 270 RGBA cartridge
// label, all channels linear.
constexpr qoi_desc label_qoi_desc = {480, 270, 4, QOI_LINEAR};

// A new QOI file of the pixels (`length` bytes), or null.
image_pixels encode_qoi(const uint8_t *pixels, const qoi_desc &desc, int *length);
// Pixels of a QOI file in its own channel count, described in `desc`; null for
// a malformed file or one of more than max_pixels pixels (refused from its
// header, before anything is allocated for it).
image_pixels decode_qoi(const uint8_t *data, int64_t size, qoi_desc *desc, int64_t max_pixels);
