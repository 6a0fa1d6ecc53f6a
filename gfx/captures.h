// Captures: screenshots (PNG on the desktop), cartridge labels (QOI into the
// mounted cartridge) and GIF recordings of the display process, asked for
// through a parameter block in the caller's RAM and taken by the video output
// after each frame it makes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct buffer;
struct process;
struct GifFileType;

// The parameter blocks (eight i16 each) and the name, in the caller's RAM.
constexpr int32_t ram_gif_block = 0x40;
constexpr int32_t ram_screenshot_block = 0x50;
constexpr int32_t ram_capture_name = 0x60;  // 64 bytes, NUL-terminated within them
constexpr size_t capture_name_max = 64;
constexpr const char *capture_folder = "/desktop/host/";
constexpr const char *label_path = "/ram/cart/label.qoi";
constexpr const char *label_folder = "/ram/cart";

// One block: the rectangle, the scale, label mode (screenshots), frames to
// skip and whether success goes unannounced.
struct capture_block {
  int32_t x = 0, y = 0, width = 0, height = 0, scale = 0, label = 0, skip = 0, silent = 0;
  bool operator==(const capture_block &) const = default;
};

// The block at addr as stored (word 5 is the label flag of a screenshot block).
capture_block read_capture_block(process *P, int32_t addr);
// Width 16..480, height 16..270, the rectangle moved inside the screen, scale 1..4
// (above 3 is 4), skip 0..32, flags 0/1; in label mode the whole screen at scale 1.
capture_block normalise_capture_block(capture_block b);
std::string read_capture_name(process *P);
// "/desktop/host/" + name + ext, or name_N + ext with the first N of 1..255
// whose file does not exist; "" when all exist.
std::string get_capture_filename(std::string_view name, std::string_view ext);

/* ---------------------------------------------------------------------- */
/* screenshots and labels                                                 */
/* ---------------------------------------------------------------------- */

// _signal(21): the request replaces a pending one's parameters. The caller is
// charged screenshot_charge now for the capture taken later on its behalf.
void request_screenshot(process *P);
// Encoding (PNG 32 cycles a pixel at its scale, a QOI label half a cycle)
// and the file write.
int64_t screenshot_charge(const capture_block &b);
// Per frame made: counts the skip down, then takes the screenshot from the
// frame. `shown` is the process whose frame it is (its video mode scales the
// rectangle).
void update_screenshot(const uint32_t *frame, const process *shown);

// The rectangle of a block on a frame shown in `mode` (3 and 4 scale it by 2
// and 3, kept inside the screen).
capture_block screenshot_rectangle(capture_block b, int mode);
// The RGBA pixels of the rectangle at its scale (channels from the colour words).
std::vector<uint8_t> screenshot_pixels(const uint32_t *frame, const capture_block &b);

/* ---------------------------------------------------------------------- */
/* GIF recording                                                          */
/* ---------------------------------------------------------------------- */

// Raster bytes the encoder takes on each frame, whether the recording runs or
// has ended: a full-screen recording at scale 4 makes twice as many a frame,
// and is finished over the frames after its end.
constexpr int64_t gif_encode_bytes_per_frame = int64_t{512} << 10;

// _signal(18): 0 when the recording started; 1 when it could not: one is still
// held (running, or ended and not yet written), or (with a message on standard
// output) no free name, a path not on a host folder, a file that cannot be
// written, or no display process.
int gif_start(process *P);
// _signal(19), and a recording that reaches its memory cap: no frame is added
// any more; the frames after finish the encoding, write the file and free the
// recording. The caller is charged gif_end_charge. 0 when a running recording
// was ended.
int gif_end();
// Encoding every byte held (at least what writing it all at once was charged)
// and writing a file of up to 1.5 bytes a raster byte.
int64_t gif_end_charge();
// Per frame made: counts the skip down, then adds every second frame.
void update_gif_recording(const uint32_t *palettes);
// Per frame, made or not, outside every slice: encodes gif_encode_bytes_per_frame
// more of the frames recorded and writes them to a temporary file; once the
// recording has ended and all is encoded, that file replaces the one made at
// the start, and the recording is freed.
void continue_gif_recording();
// At exit, when no frame follows: a recording still held is ended and
// finished at once.
void finish_gif_recording_now();
// A recording is held: running, or ended and not yet written.
bool gif_recording_open();
int gif_recorded_frames();
// The held recording's encoder, or null: its images are the frames recorded,
// each raster kept unscaled (width x height of the block) until the encoding
// has gone past it (tests compare the file with giflib's one-call writer on
// copies of them).
const GifFileType *gif_recording_encoder();

// One frame's raster from the display process's video memory (480 x 270 bytes,
// rows 480 apart) and the palette record (256 colour words, then 270 line
// selectors): index (palette << 6) | (byte & 63) per output pixel of the block
// at its scale, out_width = width x scale bytes a row. With a previous frame
// and transparent set, a pixel whose colour word is unchanged gets index 255.
void build_gif_raster(uint8_t *out, const capture_block &b, const uint8_t *video, const uint32_t *pal,
                      const uint8_t *prev_video, const uint32_t *prev_pal, bool transparent);
// Whether index 255 is free: no pixel of the block on a palette-3 row has colour 63.
bool gif_may_use_transparency(const capture_block &b, const uint8_t *video, const uint32_t *pal);
