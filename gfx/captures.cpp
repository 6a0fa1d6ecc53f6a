// Captures.
#include "gfx/captures.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "gfx/gif_memory.h"
#include "gfx/video_output.h"
#include "kernel/accounting.h"
#include "kernel/buffer.h"
#include "kernel/messages.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "kernel/system.h"
#include "pdisk/pfile.h"
#include "pdisk/yorelog.h"
#include "platform/atomic_write.h"
#include "values/png_qoi.h"

namespace {

constexpr int W = video_out_width, H = video_out_height;
constexpr int palette_record = display_pal_colours + video_out_height;
constexpr int64_t display_process_id = 3;
constexpr int gif_delay = 3;  // hundredths of a second: every second frame at 60 a second
constexpr uint8_t gif_unchanged = 255;

// Writes the bytes as the whole file at path (through the file system, so a
// host file is replaced atomically). False when it could not be opened or written.
bool store_file(const std::string &path, const uint8_t *data, int64_t n) {
  if (!pfile_room_for(path, "wb", n)) return false;
  pfile *f = pfopen(path, "wb");
  if (!f) return false;
  bool whole = pfwrite(data, 1, n, f) == n;
  return pfclose(f) && whole;
}

/* ---------------------------------------------------------------------- */
/* screenshots                                                            */
/* ---------------------------------------------------------------------- */

struct screenshot_request {
  capture_block block;
  std::string name;
};
screenshot_request sshot;

void notify_text(const char *format, ...) __attribute__((format(printf, 1, 2)));
void notify_text(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  notify(text);
}

void capture_screenshot(const uint32_t *frame, const process *shown) {
  capture_block b = screenshot_rectangle(sshot.block, ram_byte_untouched(shown ? shown->ram.get() : nullptr, video_mode_address));
  sshot.block.x = b.x, sshot.block.y = b.y, sshot.block.width = b.width, sshot.block.height = b.height;
  std::vector<uint8_t> pixels = screenshot_pixels(frame, b);

  if (b.label) {
    int n = 0;
    image_pixels file = encode_qoi(pixels.data(), label_qoi_desc, &n);
    if (file && pdisk_directory_exists(label_folder, true) && store_file(label_path, file.get(), n))
      notify_text("captured label (%s)", label_path);
    else
      notify("could not store label");
    return;
  }
  std::string path = get_capture_filename(sshot.name, ".png");
  buffer_owner png(create_buffer_2(int64_t{1} << 16, buffer_group_pfile));
  int w = b.width * b.scale, h = b.height * b.scale;
  bool encoded = png && !path.empty() &&
                 LodePNG_encode32_pbuffer(pixels.data(), unsigned(w), unsigned(h), png.get()) == 0;
  if (!encoded || !store_file(path, png->data, png->length)) {
    notify("could not store screenshot");
    return;
  }
  if (!b.silent) notify_text("captured %dx%d (x%d) screenshot: %s", b.width, b.height, b.scale, path.c_str());
}

/* ---------------------------------------------------------------------- */
/* GIF recording                                                          */
/* ---------------------------------------------------------------------- */

struct gif_recording {
  GifFileType *gif = nullptr;
  std::string name, filename, filename_host;
  capture_block block;
  int out_width = 0, out_height = 0;
  int frames = 0;
  uint32_t firstpal[palette_record] = {};
  uint32_t lastpal[palette_record] = {};
  std::vector<uint8_t> last_frame;  // the previous recorded frame's video memory
  std::vector<uint8_t> video;       // this frame's
  // The file is encoded as the recording goes, a bounded share a frame, in the
  // order of giflib's one-call writer, so it is the same byte for byte. Each
  // frame's bytes go to a temporary file beside the one made at the start,
  // which replaces it once whole.
  std::vector<uint8_t> file;  // encoded, not yet written
  std::unique_ptr<host_file_stream> out;
  std::vector<uint8_t> row;   // the output row being encoded, widened to the scale
  bool ended = false;      // no frame is added any more: finish, write, free
  bool failed = false;     // the encoder gave up: the end reports it
  bool screen_out = false; // header and screen descriptor encoded
  int images_out = 0;      // images wholly encoded
  int rows_out = -1;       // rows encoded of the next image; -1: not begun
};
gif_recording rec;

int gif_output(GifFileType *, const GifByteType *data, int n) {
  if (n < 0) return 0;
  rec.file.insert(rec.file.end(), data, data + n);
  return n;
}

bool write_encoded() {
  bool ok = host_stream_write(*rec.out, rec.file.data(), rec.file.size());
  rec.file.clear();
  return ok;
}

void release_recording() {
  gif_free_all();
  rec = gif_recording{};  // an unfinished temporary file is removed
}

ColorMapObject *colour_map(const uint32_t *pal) {
  GifColorType colours[256];
  for (int i = 0; i < 256; i++)
    colours[i] = {GifByteType(pal[i] >> 16), GifByteType(pal[i] >> 8), GifByteType(pal[i])};
  return GifMakeMapObject(256, colours);
}

// Adds one image; false when the encoder's memory ran out.
bool gif_frame(const uint32_t *pal) {
  process *display = get_process(display_process_id);
  if (!display) return true;  // nothing to record until there is one again
  GifFileType *g = rec.gif;
  bool first = rec.frames == 0;
  if (first) {
    memcpy(rec.firstpal, pal, sizeof rec.firstpal);
    if (!(g->SColorMap = colour_map(pal))) return false;
    memset(rec.lastpal, 0, sizeof rec.lastpal);
  }
  SavedImage *image = GifMakeSavedImage(g, nullptr);
  if (!image) return false;
  image->ImageDesc = GifImageDesc{0, 0, rec.out_width, rec.out_height, false, nullptr};
  if (memcmp(pal, rec.firstpal, display_pal_colours * sizeof *pal) != 0 &&
      !(image->ImageDesc.ColorMap = colour_map(pal)))
    return false;
  // Kept unscaled (the encoder widens each row), counted at its scale.
  capture_block unscaled = rec.block;
  unscaled.scale = 1;
  auto *raster = static_cast<GifByteType *>(gif_malloc_counted(
      size_t(unscaled.width) * size_t(unscaled.height), int64_t(rec.out_width) * rec.out_height));
  if (!raster) return false;
  image->RasterBits = raster;

  rec.video.resize(size_t{W} * H);
  read_video_memory(display, rec.video.data());
  bool transparent = gif_may_use_transparency(rec.block, rec.video.data(), pal);
  build_gif_raster(raster, unscaled, rec.video.data(), pal,
                   rec.last_frame.empty() ? nullptr : rec.last_frame.data(), rec.lastpal, transparent);
  std::swap(rec.last_frame, rec.video);

  if (first) {
    static GifByteType loop[3] = {1, 0, 0};  // loop for ever
    static GifByteType app[] = "NETSCAPE2.0";
    if (GifAddExtensionBlock(&image->ExtensionBlockCount, &image->ExtensionBlocks, APPLICATION_EXT_FUNC_CODE,
                             11, app) == GIF_ERROR ||
        GifAddExtensionBlock(&image->ExtensionBlockCount, &image->ExtensionBlocks, CONTINUE_EXT_FUNC_CODE, 3,
                             loop) == GIF_ERROR)
      return false;
  }
  GifByteType control[4] = {GifByteType(transparent ? 1 : 0), gif_delay, 0, gif_unchanged};
  if (GifAddExtensionBlock(&image->ExtensionBlockCount, &image->ExtensionBlocks, GRAPHICS_EXT_FUNC_CODE, 4,
                           control) == GIF_ERROR)
    return false;
  memcpy(rec.lastpal, pal, sizeof rec.lastpal);
  rec.frames++;
  return true;
}

// A frame's share of the encoder's memory (its raster and a little besides),
// with room left for encoding: the encoder copies each image's colour map.
int64_t frame_cost() { return int64_t(rec.out_width) * rec.out_height + 8192 + gif_encode_reserve; }

void stop_at_memory_cap() {
  uncharged_work scope;  // no slice runs
  notify("gif recording stopped: memory limit reached");
  gif_end();
  app.gif_recording = 0;
}

// giflib's own extension writer, which its one-call writer uses, is not exported.
bool put_extensions(GifFileType *g, const ExtensionBlock *blocks, int count) {
  for (int j = 0; j < count; j++) {
    const ExtensionBlock &e = blocks[j];
    if (e.Function != CONTINUE_EXT_FUNC_CODE && EGifPutExtensionLeader(g, e.Function) == GIF_ERROR) return false;
    if (EGifPutExtensionBlock(g, e.ByteCount, e.Bytes) == GIF_ERROR) return false;
    if ((j == count - 1 || blocks[j + 1].Function != CONTINUE_EXT_FUNC_CODE) &&
        EGifPutExtensionTrailer(g) == GIF_ERROR)
      return false;
  }
  return true;
}

// Encodes up to `budget` raster bytes more (whole rows, at least one), making
// the calls of giflib's one-call writer in its order. Images only grow between
// frames, and the one added last is complete by then. False when giflib fails.
bool encode_some(int64_t budget) {
  GifFileType *g = rec.gif;
  if (!rec.screen_out) {
    // The screen carries the first frame's colour map, and the header names
    // the version its extensions need: both wait for the first frame.
    if (g->ImageCount == 0 && !rec.ended) return true;
    if (EGifPutScreenDesc(g, g->SWidth, g->SHeight, g->SColorResolution, g->SBackGroundColor, g->SColorMap) ==
        GIF_ERROR)
      return false;
    rec.screen_out = true;
  }
  while (budget > 0 && rec.images_out < g->ImageCount) {
    SavedImage &image = g->SavedImages[rec.images_out];  // the array moves as it grows
    const GifImageDesc &d = image.ImageDesc;
    if (!image.RasterBits) {  // cut short by the cap: not written
      rec.images_out++;
      continue;
    }
    if (rec.rows_out < 0) {
      if (!put_extensions(g, image.ExtensionBlocks, image.ExtensionBlockCount) ||
          EGifPutImageDesc(g, d.Left, d.Top, d.Width, d.Height, d.Interlace, d.ColorMap) == GIF_ERROR)
        return false;
      rec.rows_out = 0;
    }
    const int s = rec.block.scale, width = d.Width / s;
    rec.row.resize(size_t(d.Width));
    for (; rec.rows_out < d.Height && budget > 0; rec.rows_out++, budget -= d.Width) {
      if (rec.rows_out % s == 0) {  // the row the next `s` output rows repeat
        const uint8_t *from = image.RasterBits + size_t(rec.rows_out / s) * size_t(width);
        for (int x = 0; x < width; x++) memset(&rec.row[size_t(x) * size_t(s)], from[x], size_t(s));
      }
      if (EGifPutLine(g, rec.row.data(), d.Width) == GIF_ERROR) return false;
    }
    if (rec.rows_out == d.Height) {
      gif_free_early(image.RasterBits);  // freed as the encoding goes, not all at the end
      image.RasterBits = nullptr;
      rec.images_out++, rec.rows_out = -1;
    }
  }
  return true;
}

bool all_encoded() { return rec.screen_out && rec.images_out == rec.gif->ImageCount; }

// The end of an ended recording whose images are all encoded (or whose encoder
// failed): the trailer, the file in place of the one made at the start, the
// notice, everything freed. The file goes by the host path it was given then
// (a reboot since may have taken the desktop mount away), into the history as
// the file system's writes go.
void write_recording() {
  GifFileType *g = rec.gif;
  bool ok = !rec.failed && put_extensions(g, g->ExtensionBlocks, g->ExtensionBlockCount) &&
            EGifCloseFile(g, nullptr) == GIF_OK && write_encoded();
  if (ok) {
    // The day's history holds the file from before it changes.
    yorelog_event(yorelog_open_day, rec.filename, rec.filename_host);
    ok = host_stream_finish(*rec.out);
    if (ok) yorelog_event(yorelog_file_written, rec.filename, rec.filename_host);
  }
  if (!ok)
    notify("**error: could not write gif\n");
  else if (!rec.block.silent)
    notify_text("captured %d frame gif %dx%d (x%d): %s", rec.frames, rec.block.width, rec.block.height,
                rec.block.scale, rec.filename.c_str());
  release_recording();
}

void encode_and_write(int64_t budget) {
  if (!rec.gif) return;
  uncharged_work scope;  // no slice runs (the history charges what it reads)
  if (!rec.failed && !(encode_some(budget) && write_encoded())) rec.failed = true;
  if (rec.ended && (rec.failed || all_encoded())) write_recording();
}

}  // namespace

/* ---------------------------------------------------------------------- */
/* blocks and names                                                       */
/* ---------------------------------------------------------------------- */

capture_block read_capture_block(process *P, int32_t addr) {
  auto word = [&](int k) { return peek2_proc(P, addr + 2 * k); };
  return {word(0), word(1), word(2), word(3), word(4), word(5), word(6), word(7)};
}

capture_block normalise_capture_block(capture_block b) {
  b.width = std::clamp(b.width, 16, W);
  b.height = std::clamp(b.height, 16, H);
  b.x = std::max(0, std::min(b.x, W - b.width));
  b.y = std::max(0, std::min(b.y, H - b.height));
  b.scale = b.scale > 3 ? 4 : b.scale >= 1 ? b.scale : 1;
  b.skip = std::clamp(b.skip, 0, 32);
  b.silent = b.silent > 0;
  b.label = b.label > 0;
  if (b.label) b.x = 0, b.y = 0, b.width = W, b.height = H, b.scale = 1;
  return b;
}

std::string read_capture_name(process *P) {
  std::string name;
  for (size_t i = 0; i < capture_name_max; i++) {
    int c = peek_proc(P, ram_capture_name + int(i));
    if (!c) break;
    name.push_back(char(c));
  }
  return name;
}

std::string get_capture_filename(std::string_view name, std::string_view ext) {
  std::string base = std::string(capture_folder) + std::string(name);
  std::string path = base + std::string(ext);
  if (!pdisk_file_exists(path)) return path;
  for (int i = 1; i <= 255; i++) {
    path = base + "_" + std::to_string(i) + std::string(ext);
    if (!pdisk_file_exists(path)) return path;
  }
  return "";
}

/* ---------------------------------------------------------------------- */
/* screenshots                                                            */
/* ---------------------------------------------------------------------- */

void request_screenshot(process *P) {
  sshot.block = normalise_capture_block(read_capture_block(P, ram_screenshot_block));
  sshot.name = read_capture_name(P);
  app.screenshot_requested = 1;
  spend_cpu(screenshot_charge(sshot.block));
}

int64_t screenshot_charge(const capture_block &b) {
  int64_t pixels = int64_t{b.width} * b.height * b.scale * b.scale;
  // The PNG encoder tries its filters on every row and deflates the result:
  // some 60 ns a pixel on the host.
  return (b.label ? pixels / 2 : 32 * pixels) + pfile_write_cycles;
}

void update_screenshot(const uint32_t *frame, const process *shown) {
  if (!app.screenshot_requested) return;
  if (sshot.block.skip > 0) {
    sshot.block.skip--;
    return;
  }
  app.screenshot_requested = 0;
  uncharged_work scope;  // file writes charge cycles; no slice runs
  capture_screenshot(frame, shown);
}

capture_block screenshot_rectangle(capture_block b, int mode) {
  int f = mode == 4 ? 3 : mode == 3 ? 2 : 1;
  b.width = std::min(f * b.width, W);
  b.height = std::min(f * b.height, H);
  b.x = std::max(0, std::min(f * b.x, W - b.width));
  b.y = std::max(0, std::min(f * b.y, H - b.height));
  return b;
}

std::vector<uint8_t> screenshot_pixels(const uint32_t *frame, const capture_block &b) {
  int s = std::clamp(b.scale, 1, 4);
  size_t w = size_t(b.width) * size_t(s), h = size_t(b.height) * size_t(s);
  std::vector<uint8_t> px(w * h * 4);
  for (size_t j = 0; j < h; j++) {
    const uint32_t *src = frame + (size_t(b.y) + j / size_t(s)) * W + size_t(b.x);
    uint8_t *out = px.data() + j * w * 4;
    if (j % size_t(s)) {  // a repeat of the row above
      memcpy(out, out - w * 4, w * 4);
      continue;
    }
    for (size_t i = 0; i < w; i++) {
      uint32_t c = src[i / size_t(s)];
      out[4 * i] = uint8_t(c >> 16), out[4 * i + 1] = uint8_t(c >> 8), out[4 * i + 2] = uint8_t(c);
      out[4 * i + 3] = 255;
    }
  }
  return px;
}

/* ---------------------------------------------------------------------- */
/* GIF recording                                                          */
/* ---------------------------------------------------------------------- */

int gif_start(process *P) {
  if (rec.gif) return 1;  // one recording at a time
  rec.name = read_capture_name(P);
  rec.filename = get_capture_filename(rec.name, ".gif");
  capture_block words = read_capture_block(P, ram_gif_block);
  words.label = 0;  // word 5 of the GIF block is not read
  rec.block = normalise_capture_block(words);
  rec.out_width = rec.block.scale * rec.block.width;
  rec.out_height = rec.block.scale * rec.block.height;
  int error = E_GIF_ERR_OPEN_FAILED;
  rec.filename_host.clear();
  if (!rec.filename.empty() && get_process(display_process_id)) {
    resolved_path where = resolve_to_origin(rec.filename, false);
    // The file is made now, empty, so the name stays taken while recording.
    rec.out = std::make_unique<host_file_stream>();
    if (where.kind == pmount_host && store_file(rec.filename, nullptr, 0) &&
        host_stream_open(*rec.out, where.origin)) {
      rec.filename_host = where.origin;
      rec.gif = EGifOpen(nullptr, gif_output, &error);
    }
  }
  if (!rec.gif) {
    printf("** EGifOpenFileName error %d: p_path:%s\n", error, rec.filename.c_str());
    release_recording();
    return 1;
  }
  rec.gif->SWidth = rec.out_width;
  rec.gif->SHeight = rec.out_height;
  // 8-bit colour. (Larger values spill into the global colour map flag, which
  // a recording ended before its first frame, with no map, would then claim.)
  rec.gif->SColorResolution = 8;
  rec.gif->SBackGroundColor = 0;
  rec.frames = 0;
  rec.last_frame = std::vector<uint8_t>();
  return 0;
}

int gif_end() {
  if (!rec.gif || rec.ended) return 1;
  spend_cpu(gif_end_charge());
  rec.ended = true;
  return 0;
}

int64_t gif_end_charge() {
  // Encoding takes 5-20 ns a byte of the encoder's memory, the most for a
  // picture that changes everywhere; the file system charges a write a cycle
  // per 8 bytes.
  int64_t held = gif_memory_in_use();
  return 2 * held + held / 4 + pfile_write_cycles;
}

void update_gif_recording(const uint32_t *pal) {
  if (!app.gif_recording || !rec.gif || rec.ended) return;
  if (rec.block.skip > 0) {
    rec.block.skip--;
    return;
  }
  app.gif_frame_count = app.gif_frame_count < INT32_MAX ? app.gif_frame_count + 1 : 1;
  if (!(app.gif_frame_count & 1)) return;
  if (!gif_memory_room(frame_cost()) || !gif_frame(pal)) stop_at_memory_cap();
}

void continue_gif_recording() { encode_and_write(gif_encode_bytes_per_frame); }
void finish_gif_recording_now() {
  if (!rec.gif) return;
  rec.ended = true;  // a recording still running ends here: nothing is lost
  app.gif_recording = 0;
  encode_and_write(INT64_MAX);
}

bool gif_recording_open() { return rec.gif != nullptr; }
const GifFileType *gif_recording_encoder() { return rec.gif; }
int gif_recorded_frames() { return rec.frames; }

bool gif_may_use_transparency(const capture_block &b, const uint8_t *video, const uint32_t *pal) {
  const uint32_t *selector = pal + display_pal_colours;
  for (int y = b.y; y < b.y + b.height; y++) {
    if (selector[y] != 3) continue;
    const uint8_t *row = video + size_t(y) * W + b.x;
    for (int x = 0; x < b.width; x++)
      if ((row[x] & 63) == 63) return false;
  }
  return true;
}

void build_gif_raster(uint8_t *out, const capture_block &b, const uint8_t *video, const uint32_t *pal,
                      const uint8_t *prev_video, const uint32_t *prev_pal, bool transparent) {
  const int s = b.scale, ow = b.width * s;
  const uint32_t *selector = pal + display_pal_colours, *prev_selector = prev_pal + display_pal_colours;
  bool compare = transparent && prev_video;
  for (int sy = 0; sy < b.height; sy++) {
    int y = b.y + sy;
    uint8_t *row = out + size_t(sy) * size_t(s) * size_t(ow);
    const uint8_t *src = video + size_t(y) * W + b.x;
    auto base = uint8_t((selector[y] & 3) << 6);
    if (compare) {
      const uint8_t *prev = prev_video + size_t(y) * W + b.x;
      const uint32_t *was = prev_pal + ((prev_selector[y] & 3) << 6);
      for (int x = 0; x < b.width; x++) {
        auto index = uint8_t(base | (src[x] & 63));
        uint8_t v = pal[index] == was[prev[x] & 63] ? gif_unchanged : index;
        for (int k = 0; k < s; k++) row[x * s + k] = v;
      }
    } else {
      for (int x = 0; x < b.width; x++)
        for (int k = 0; k < s; k++) row[x * s + k] = uint8_t(base | (src[x] & 63));
    }
    for (int k = 1; k < s; k++) memcpy(row + size_t(k) * size_t(ow), row, size_t(ow));
  }
}
