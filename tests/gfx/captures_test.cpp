// Captures: the parameter blocks, the file names, screenshots and labels read
// back by independent tools (PIL, pngcheck, qoiconv), GIF recordings of the
// display process read back by PIL, the raster's transparency, the refusals
// and the recording's memory.
#include "gfx/captures.h"

#include <gif_lib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "gfx/gif_memory.h"
#include "gfx/video_output.h"
#include "kernel/messages.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "kernel/system.h"
#include "kernel/system_api.h"
#include "pdisk/pfile.h"
#include "tests/host_command.h"
#include "tests/kernel/script_api_fixture.h"
#include "values/png_qoi.h"

namespace {

namespace fs = std::filesystem;
constexpr int W = video_out_width, H = video_out_height;

std::string read_host(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int append_to_string(GifFileType *g, const GifByteType *data, int n) {
  static_cast<std::string *>(g->UserData)->append(reinterpret_cast<const char *>(data), size_t(n));
  return n;
}

// Processes 1-3 (3 shows its video memory), a host folder at "/" with the
// desktop folder mounted at "/desktop/host/", and "/ram".
class Captures : public script_api_test::ScriptApi {
 protected:
  fs::path host, desktop;
  process *display = nullptr;

  void SetUp() override {
    ScriptApi::SetUp();
    static int serial = 0;
    host = fs::path(testing::TempDir()) / ("kestrune-captures-" + std::to_string(getpid()) + "-" +
                                           std::to_string(++serial));
    desktop = host / "desktop";
    fs::remove_all(host);
    fs::create_directories(desktop);
    pfile_init();
    pfile_reset();
    ASSERT_TRUE(mount_host_path("/", host.string() + "/"));
    ASSERT_TRUE(mount_ram_folder("/ram"));
    ASSERT_TRUE(mount_host_path("/desktop/host", desktop.string()));
    ASSERT_NE(create_process_from_code("", "second", "/second.lua"), nullptr);
    display = create_process_from_code("", "display", "/display.lua");
    ASSERT_NE(display, nullptr);
    ASSERT_EQ(display->id, 3);
    // Shown: the boot clock is past 2,200 ms and the screen released.
    app.boot_time_base = 1;
    app.frame_count = 1000;
    app.boot_release = 1;
    paint(1);
  }
  void TearDown() override {
    finish_gif_recording_now();
    set_gif_memory_limit(gif_memory_cap);
    app.screenshot_requested = 0;
    pfile_reset();
    std::error_code ec;
    fs::remove_all(host, ec);
    ScriptApi::TearDown();
  }

  // Palette 0 entry c = a colour that names c and the seed; video memory a pattern.
  void paint(int seed) {
    for (int c = 0; c < 64; c++)
      for (int p = 0; p < 4; p++) {
        uint32_t word = uint32_t(c * 4) << 16 | uint32_t(seed * 40 + p * 9) << 8 | uint32_t(255 - c * 3);
        int a = video_palette_address + 4 * (p * 64 + c);
        for (int i = 0; i < 4; i++) poke_proc(display, a + i, int(word >> (8 * i)));
      }
    for (int c = 0; c < 64; c++) poke_proc(display, video_remap_address + c, c);
    for (int y = 0; y < H; y++)
      for (int x = 0; x < W; x++) poke_proc(display, video_memory_address + y * W + x, (x / 7 + y / 5 + seed) & 63);
  }
  void block(int32_t at, std::vector<int> words, const std::string &name) {
    for (size_t i = 0; i < words.size(); i++) {
      poke_proc(display, at + 2 * int(i), words[i] & 0xFF);
      poke_proc(display, at + 2 * int(i) + 1, (words[i] >> 8) & 0xFF);
    }
    for (size_t i = 0; i <= name.size(); i++) poke_proc(display, ram_capture_name + int(i), i < name.size() ? name[i] : 0);
  }
  // One frame as the frame loop makes it: the recording's share of encoding,
  // then the picture.
  const uint32_t *frame() {
    int w, h;
    app.frame_count++;
    continue_gif_recording();
    return generate_video_out(&w, &h);
  }
  // Frames of a recording, each new image copied as it was recorded (before
  // the encoding frees its raster) and widened to the scale, so that
  // one_call_file can write them all.
  GifFileType *copies = nullptr;
  std::string one_call;
  void record(int n, int scale) {
    for (int i = 0; i < n; i++) {
      frame();
      const GifFileType *g = gif_recording_encoder();
      ASSERT_NE(g, nullptr);
      if (!copies) copies = EGifOpen(&one_call, append_to_string, nullptr);
      while (copies->ImageCount < g->ImageCount) {
        // By hand: giflib's copy leaves the extension blocks out.
        const SavedImage &from = g->SavedImages[copies->ImageCount];
        const GifImageDesc &d = from.ImageDesc;
        SavedImage *to = GifMakeSavedImage(copies, nullptr);
        ASSERT_NE(to, nullptr);
        to->ImageDesc = d;
        if (d.ColorMap) to->ImageDesc.ColorMap = GifMakeMapObject(d.ColorMap->ColorCount, d.ColorMap->Colors);
        to->RasterBits = static_cast<GifByteType *>(gif_malloc(size_t(d.Width) * size_t(d.Height)));
        ASSERT_NE(to->RasterBits, nullptr);
        for (int y = 0; y < d.Height; y++)  // widened to the scale
          for (int x = 0; x < d.Width; x++)
            to->RasterBits[y * d.Width + x] = from.RasterBits[(y / scale) * (d.Width / scale) + x / scale];
        for (int k = 0; k < from.ExtensionBlockCount; k++) {
          const ExtensionBlock &e = from.ExtensionBlocks[k];
          ASSERT_EQ(GifAddExtensionBlock(&to->ExtensionBlockCount, &to->ExtensionBlocks, e.Function, unsigned(e.ByteCount),
                                         e.Bytes),
                    GIF_OK);
        }
      }
    }
  }
  // The copies written by giflib's one-call writer (what an ended recording
  // used to write at once). Call while the recording is held: the copies live
  // in its memory.
  std::string one_call_file() {
    const GifFileType *g = gif_recording_encoder();
    copies->SWidth = g->SWidth, copies->SHeight = g->SHeight;
    copies->SColorResolution = g->SColorResolution, copies->SBackGroundColor = g->SBackGroundColor;
    copies->SColorMap = GifMakeMapObject(g->SColorMap->ColorCount, g->SColorMap->Colors);
    EXPECT_EQ(EGifSpew(copies), GIF_OK);
    copies = nullptr;
    return std::move(one_call);
  }
  // Hidden files on the desktop (a recording's temporary file).
  std::vector<fs::path> hidden() {
    std::vector<fs::path> out;
    for (const auto &e : fs::directory_iterator(desktop))
      if (e.path().filename().string()[0] == '.') out.push_back(e.path());
    return out;
  }
  // Frames until the ended recording is written; how many it took.
  int finish() {
    int n = 0;
    while (gif_recording_open() && n < 10000) frame(), n++;
    EXPECT_FALSE(gif_recording_open());
    return n;
  }
  // The notification texts sent to the display process since the last call.
  std::vector<std::string> notices() {
    std::vector<std::string> out;
    while (buffer *m = read_process_message(display, nullptr)) {
      std::string text(reinterpret_cast<const char *>(m->data));
      size_t a = text.find("content=\"");
      if (text.find("user_notification") != std::string::npos && a != std::string::npos)
        out.push_back(text.substr(a + 9, text.rfind("\"}") - a - 9));
    }
    return out;
  }
};

TEST(CaptureBlock, Normalisation) {
  struct row {
    capture_block in, out;
  } rows[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 16, 16, 1, 0, 0, 0}},
      {{0, 0, 1000, 1000, 9, 0, 100, 5}, {0, 0, 480, 270, 4, 0, 32, 1}},
      {{470, 300, 16, 16, 3, 0, -4, -1}, {464, 254, 16, 16, 3, 0, 0, 0}},
      {{-20, -5, 100, 50, -2, 0, 5, 0}, {0, 0, 100, 50, 1, 0, 5, 0}},
      {{100, 40, 32, 32, 4, 0, 0, 0}, {100, 40, 32, 32, 4, 0, 0, 0}},
      {{100, 40, 32, 32, 4, 7, 2, 0}, {0, 0, 480, 270, 1, 1, 2, 0}},  // label mode: the whole screen
  };
  for (const row &r : rows) EXPECT_EQ(normalise_capture_block(r.in), r.out) << r.in.x << "," << r.in.width;
  // The video mode scales the rectangle, kept inside the screen.
  EXPECT_EQ(screenshot_rectangle({10, 20, 100, 50, 1, 0, 0, 0}, 3), (capture_block{20, 40, 200, 100, 1, 0, 0, 0}));
  EXPECT_EQ(screenshot_rectangle({100, 40, 200, 100, 1, 0, 0, 0}, 3), (capture_block{80, 70, 400, 200, 1, 0, 0, 0}));
  EXPECT_EQ(screenshot_rectangle({100, 40, 200, 100, 1, 0, 0, 0}, 4), (capture_block{0, 0, 480, 270, 1, 0, 0, 0}));
}

TEST_F(Captures, NamesSkipExistingFiles) {
  EXPECT_EQ(get_capture_filename("shot", ".png"), "/desktop/host/shot.png");
  std::ofstream(desktop / "shot.png") << "x";
  std::ofstream(desktop / "shot_1.png") << "x";
  EXPECT_EQ(get_capture_filename("shot", ".png"), "/desktop/host/shot_2.png");
  for (int i = 2; i <= 255; i++) std::ofstream(desktop / ("shot_" + std::to_string(i) + ".png")) << "x";
  EXPECT_EQ(get_capture_filename("shot", ".png"), "");
  EXPECT_EQ(get_capture_filename("shot", ".gif"), "/desktop/host/shot.gif");

  // No free name: the screenshot is not stored, even when silent.
  block(ram_screenshot_block, {0, 0, 480, 270, 1, 0, 0, 1}, "shot");
  system_signal(display, 21);
  frame();
  EXPECT_EQ(notices(), std::vector<std::string>{"could not store screenshot"});
}

TEST_F(Captures, ScreenshotsReadBackByPilAndPngcheck) {
  std::string probe;
  if (!run_command("/usr/bin/python3 -c 'import PIL' 2>&1", &probe)) GTEST_SKIP() << "python3-pil is not installed";
  std::ofstream(desktop / "shot.png") << "taken";
  struct row {
    std::vector<int> words;  // x, y, width, height, scale, label, skip, silent
    int mode;
    capture_block rect;  // the rectangle taken, on the 480 x 270 frame
    std::string file, notice;
  } rows[] = {
      {{10, 20, 100, 50, 1, 0, 0, 0}, 0, {10, 20, 100, 50, 1, 0, 0, 0}, "shot_1.png",
       "captured 100x50 (x1) screenshot: /desktop/host/shot_1.png"},
      {{0, 0, 480, 270, 9, 0, 5, 0}, 0, {0, 0, 480, 270, 4, 0, 0, 0}, "shot_2.png",
       "captured 480x270 (x4) screenshot: /desktop/host/shot_2.png"},
      {{30, 10, 40, 20, 2, 0, 0, 1}, 3, {60, 20, 80, 40, 2, 0, 0, 1}, "shot_3.png", ""},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.file);
    poke_proc(display, video_mode_address, r.mode);
    block(ram_screenshot_block, r.words, "shot");
    system_signal(display, 21);
    int skip = r.words[6];
    const uint32_t *f = nullptr;
    for (int i = 0; i <= skip; i++) {
      EXPECT_FALSE(fs::exists(desktop / r.file)) << "taken from frame " << skip + 1;
      paint(i + 2);
      f = frame();
    }
    ASSERT_TRUE(fs::exists(desktop / r.file));
    EXPECT_EQ(app.screenshot_requested, 0);
    EXPECT_EQ(notices(), r.notice.empty() ? std::vector<std::string>{} : std::vector<std::string>{r.notice});

    std::string out, path = (desktop / r.file).string();
    if (run_command("command -v pngcheck", &probe))
      EXPECT_TRUE(run_command("pngcheck -q " + path + " 2>&1", &out)) << out;
    ASSERT_TRUE(run_command("/usr/bin/python3 -c \"import sys; from PIL import Image; "
                            "im = Image.open(sys.argv[1]).convert('RGBA'); "
                            "sys.stdout.buffer.write(b'%s %d %d ' % (im.mode.encode(), *im.size) + im.tobytes())\" " +
                                path,
                            &out));
    const capture_block &c = r.rect;
    int s = r.words[4] > 3 ? 4 : r.words[4];
    std::string head = "RGBA " + std::to_string(c.width * s) + " " + std::to_string(c.height * s) + " ";
    ASSERT_EQ(out.substr(0, head.size()), head);
    std::string px = out.substr(head.size());
    ASSERT_EQ(px.size(), size_t(c.width * s) * size_t(c.height * s) * 4);
    for (int j = 0; j < c.height * s; j += 7)
      for (int i = 0; i < c.width * s; i += 5) {
        uint32_t word = f[(c.y + j / s) * W + c.x + i / s];
        const char *p = px.data() + (size_t(j) * size_t(c.width * s) + size_t(i)) * 4;
        ASSERT_EQ(uint8_t(p[0]), uint8_t(word >> 16));
        ASSERT_EQ(uint8_t(p[1]), uint8_t(word >> 8));
        ASSERT_EQ(uint8_t(p[2]), uint8_t(word));
        ASSERT_EQ(uint8_t(p[3]), 255);
      }
  }
  EXPECT_EQ(read_host(desktop / "shot.png"), "taken") << "an existing file is never replaced";
}

TEST_F(Captures, ARequestIsChargedForItsCapture) {
  struct row {
    std::vector<int> words;  // x, y, width, height, scale, label, skip, silent
    int64_t encoding;
  } rows[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0}, 16 * 16 * 32},
      {{0, 0, 480, 270, 9, 0, 0, 1}, 480 * 270 * 16 * 32},
      {{0, 0, 100, 50, 2, 0, 0, 0}, 100 * 50 * 4 * 32},
      {{0, 0, 100, 50, 4, 1, 0, 0}, 480 * 270 / 2},  // a label: the whole screen as QOI
  };
  cproc = display;
  for (const row &r : rows) {
    block(ram_screenshot_block, r.words, "shot");
    EXPECT_EQ(charge_of("_signal", "21"), r.encoding + pfile_write_cycles) << r.words[2] << "x" << r.words[3];
  }
  app.screenshot_requested = 0;
}

TEST_F(Captures, LabelsAreQoiLikeTheReferenceTool) {
  // Without a cartridge folder there is nowhere to put it.
  block(ram_screenshot_block, {10, 10, 20, 20, 3, 1, 0, 1}, "ignored");
  system_signal(display, 21);
  frame();
  EXPECT_EQ(notices(), std::vector<std::string>{"could not store label"});

  ASSERT_EQ(pmkdir("/ram/cart"), 0);
  system_signal(display, 21);
  const uint32_t *f = frame();
  EXPECT_EQ(notices(), std::vector<std::string>{"captured label (/ram/cart/label.qoi)"}) << "also when silent";
  pfile *q = pfopen("/ram/cart/label.qoi", "r");
  ASSERT_NE(q, nullptr);
  std::string ours(reinterpret_cast<const char *>(q->data->data), size_t(q->data->length));
  pfclose(q);
  EXPECT_TRUE(fs::is_empty(desktop)) << "a label is not a screenshot";

  std::string probe;
  if (!run_command("command -v qoiconv", &probe)) GTEST_SKIP() << "qoiconv (Debian package qoi) is not installed";
  std::vector<uint8_t> rgba(size_t{W} * H * 4);
  for (int i = 0; i < W * H; i++)
    rgba[4 * size_t(i)] = uint8_t(f[i] >> 16), rgba[4 * size_t(i) + 1] = uint8_t(f[i] >> 8),
                 rgba[4 * size_t(i) + 2] = uint8_t(f[i]), rgba[4 * size_t(i) + 3] = 255;
  // Stored as RGBA (not reduced to RGB for its opaque pixels), so the tool writes four channels.
  LodePNGState state;
  lodepng_state_init(&state);
  state.encoder.auto_convert = 0;
  state.info_png.color.colortype = LCT_RGBA;
  unsigned char *png = nullptr;
  size_t png_size = 0;
  ASSERT_EQ(lodepng_encode(&png, &png_size, rgba.data(), W, H, &state), 0u);
  lodepng_state_cleanup(&state);
  std::ofstream(host / "same.png", std::ios::binary).write(reinterpret_cast<const char *>(png), std::streamsize(png_size));
  free(png);
  std::string out;
  ASSERT_TRUE(run_command("qoiconv " + (host / "same.png").string() + " " + (host / "same.qoi").string() + " 2>&1", &out))
      << out;
  std::string reference = read_host(host / "same.qoi");
  ASSERT_EQ(ours.size(), reference.size());
  EXPECT_EQ(ours[13], 1) << "all channels linear";
  reference[13] = ours[13];
  EXPECT_TRUE(ours == reference) << "differs from byte " << std::mismatch(ours.begin(), ours.end(), reference.begin()).first - ours.begin();
}

TEST_F(Captures, GifOfSixtyFramesHoldsThirtyImagesReadByPil) {
  std::string probe;
  if (!run_command("/usr/bin/python3 -c 'import PIL' 2>&1", &probe)) GTEST_SKIP() << "python3-pil is not installed";
  block(ram_gif_block, {8, 4, 64, 32, 2, 0, 0, 0}, "clip");
  system_signal(display, 18);
  ASSERT_EQ(app.gif_recording, 1);
  EXPECT_TRUE(fs::exists(desktop / "clip.gif")) << "the name is taken while recording";
  system_signal(display, 18);  // a second start changes nothing
  EXPECT_TRUE(fs::exists(desktop / "clip.gif"));
  EXPECT_FALSE(fs::exists(desktop / "clip_1.gif"));
  for (int i = 0; i < 60; i++) {
    if (i % 20 == 0) paint(i / 20);  // three pictures, so later images change
    frame();
  }
  EXPECT_EQ(gif_recorded_frames(), 30);
  int64_t held = gif_memory_in_use();
  cproc = display;
  EXPECT_GE(charge_of("_signal", "19"), held) << "the encoding is the caller's work";
  EXPECT_EQ(app.gif_recording, 0);
  EXPECT_EQ(finish(), 1) << "a small recording is encoded as it goes";
  EXPECT_EQ(notices(), std::vector<std::string>{"captured 30 frame gif 64x32 (x2): /desktop/host/clip.gif"});
  EXPECT_EQ(gif_block_count(), 0) << "every block of the encoder is freed";
  EXPECT_EQ(gif_memory_in_use(), 0);

  // PIL: 128 x 64, 30 images of 30 ms looping for ever; the pixels of image
  // k are those of the picture then shown, unchanged ones carried over.
  std::string out;
  ASSERT_TRUE(run_command("/usr/bin/python3 -c \"import sys; from PIL import Image, ImageSequence; "
                          "im = Image.open(sys.argv[1]); "
                          "d = [f.info['duration'] for f in ImageSequence.Iterator(im)]; "
                          "b = [f.convert('RGB').getpixel((33, 6))[2] for f in ImageSequence.Iterator(im)]; "
                          "print(im.size[0], im.size[1], im.n_frames, im.info.get('loop'), len(set(d)), d[0], "
                          "*b)\" " +
                              (desktop / "clip.gif").string() + " 2>&1",
                          &out))
      << out;
  std::string expect = "128 64 30 0 1 30";
  for (int k = 0; k < 30; k++) {
    int seed = (2 * k) / 20;  // image k is frame 2k; output (33, 6) is source (24, 7)
    expect += " " + std::to_string(255 - ((24 / 7 + 7 / 5 + seed) & 63) * 3);
  }
  EXPECT_EQ(out, expect + "\n");
}

TEST_F(Captures, RecordingRefusals) {
  // A path on a RAM folder: no recording, nothing held.
  block(ram_gif_block, {0, 0, 32, 32, 1, 0, 0, 0}, "clip");
  ASSERT_EQ(delete_mount_point("/desktop/host"), 1);
  ASSERT_TRUE(mount_ram_folder("/ram/desk"));
  ASSERT_TRUE(mount_p_path("/desktop/host", "/ram/desk"));
  system_signal(display, 18);
  EXPECT_EQ(app.gif_recording, 0);
  EXPECT_FALSE(gif_recording_open());
  ASSERT_EQ(delete_mount_point("/desktop/host"), 1);
  ASSERT_TRUE(mount_host_path("/desktop/host", desktop.string()));
  // No free name.
  std::ofstream(desktop / "clip.gif") << "x";
  for (int i = 1; i <= 255; i++) std::ofstream(desktop / ("clip_" + std::to_string(i) + ".gif")) << "x";
  system_signal(display, 18);
  EXPECT_EQ(app.gif_recording, 0);
  // No display process.
  block(ram_gif_block, {0, 0, 32, 32, 1, 0, 0, 0}, "other");
  kill_process(display);
  system_signal(root, 18);
  EXPECT_EQ(app.gif_recording, 0);
  EXPECT_EQ(gif_block_count(), 0);
  EXPECT_FALSE(fs::exists(desktop / "other.gif"));
  // Ending without a recording does nothing.
  system_signal(root, 19);
  EXPECT_EQ(app.gif_recording, 0);
}

TEST_F(Captures, GifBlockWordFiveIsNotReadAndAnEmptyRecordingIsAWholeFile) {
  block(ram_gif_block, {8, 4, 64, 32, 2, 1, 0, 0}, "none");
  system_signal(display, 18);
  ASSERT_EQ(app.gif_recording, 1);
  system_signal(display, 19);
  finish();
  EXPECT_EQ(notices(), std::vector<std::string>{"captured 0 frame gif 64x32 (x2): /desktop/host/none.gif"});
  std::string gif = read_host(desktop / "none.gif");
  ASSERT_EQ(gif.size(), 14u) << "header, screen and trailer";
  EXPECT_EQ(gif.substr(0, 3), "GIF");
  EXPECT_EQ(uint8_t(gif[6]) | uint8_t(gif[7]) << 8, 128);
  EXPECT_EQ(uint8_t(gif[8]) | uint8_t(gif[9]) << 8, 64);
  EXPECT_EQ(uint8_t(gif[10]) & 0x80, 0) << "no global colour map is claimed when there is none";
  EXPECT_EQ(gif.back(), ';');
}

TEST_F(Captures, TheMemoryCapEndsTheRecordingAndKeepsItsFrames) {
  block(ram_gif_block, {0, 0, 32, 32, 1, 0, 0, 0}, "clip");
  system_signal(display, 18);
  ASSERT_EQ(app.gif_recording, 1);
  for (int i = 0; i < 4; i++) frame();
  EXPECT_EQ(gif_recorded_frames(), 2);
  // Fill the encoder's memory (an untouched block: the host maps it lazily).
  ASSERT_NE(kvt_gif_malloc(size_t(gif_memory_cap - gif_memory_in_use() - gif_encode_reserve - 100)), nullptr);
  frame();
  EXPECT_EQ(app.gif_recording, 0);
  finish();
  EXPECT_EQ(notices(), (std::vector<std::string>{"gif recording stopped: memory limit reached",
                                                 "captured 2 frame gif 32x32 (x1): /desktop/host/clip.gif"}));
  EXPECT_EQ(gif_block_count(), 0);
  std::string gif = read_host(desktop / "clip.gif");
  EXPECT_EQ(gif.substr(0, 6), "GIF89a");
  EXPECT_EQ(gif.back(), ';');
}

TEST_F(Captures, AnEndedRecordingIsFinishedOverFramesIntoTheOneCallWritersFile) {
  // Images of 1440 x 810 bytes (scale 3): several frames' shares each. The
  // picture and its palettes change (images with their own colour map), and
  // one frame shows colour 63 through palette 3 (no transparency there).
  block(ram_gif_block, {0, 0, 480, 270, 3, 0, 0, 0}, "big");
  system_signal(display, 18);
  ASSERT_EQ(app.gif_recording, 1);
  for (int i = 0; i < 16; i++) {
    if (i % 5 == 0) paint(i + 1);
    bool opaque = i == 8;
    poke_proc(display, video_selector_address + 10, opaque ? 0xFF : 0);
    poke_proc(display, video_memory_address + 41 * W + 7, opaque ? 63 : 5);
    record(1, 3);
  }
  ASSERT_EQ(gif_recorded_frames(), 8);
  std::vector<fs::path> temp = hidden();
  ASSERT_EQ(temp.size(), 1u) << "the file is written as the recording goes";
  EXPECT_GT(fs::file_size(temp[0]), 0u);
  EXPECT_EQ(fs::file_size(desktop / "big.gif"), 0u);

  cproc = display;
  int64_t held = gif_memory_in_use();
  EXPECT_GE(charge_of("_signal", "19"), held) << "encoding it all at once: the least an end pays";
  std::string expect = one_call_file();
  int frames = 0;
  while (gif_recording_open() && frames < 100) {
    EXPECT_EQ(fs::file_size(desktop / "big.gif"), 0u) << "no half file under the final name";
    frame(), frames++;
  }
  EXPECT_GE(frames, 2) << "the rest is encoded over frames";
  EXPECT_EQ(notices(), std::vector<std::string>{"captured 8 frame gif 480x270 (x3): /desktop/host/big.gif"});
  std::string file = read_host(desktop / "big.gif");
  EXPECT_EQ(file.size(), expect.size());
  EXPECT_TRUE(file == expect) << "differs from byte "
                              << std::mismatch(file.begin(), file.end(), expect.begin()).first - file.begin();
  EXPECT_EQ(file.substr(0, 6), "GIF89a");
  EXPECT_TRUE(hidden().empty());
  EXPECT_EQ(gif_block_count(), 0);
}

TEST_F(Captures, AFinishingRecordingRefusesStartsAndOutlivesRebootsAndExits) {
  enum class then { loop_of_starts, exit, exit_while_recording, reboot };
  for (then what : {then::loop_of_starts, then::exit, then::exit_while_recording, then::reboot}) {
    SCOPED_TRACE(int(what));
    // Full-screen images at scale 4, more than a frame's share each.
    block(ram_gif_block, {0, 0, 480, 270, 4, 0, 0, 1}, "clip");
    system_signal(display, 18);
    ASSERT_EQ(app.gif_recording, 1);
    for (int i = 0; i < 2; i++) {
      paint(i + 7);
      record(2, 4);
    }
    if (what != then::exit_while_recording) system_signal(display, 19);
    std::string expect = one_call_file();
    ASSERT_TRUE(gif_recording_open());
    switch (what) {
      case then::loop_of_starts:  // refused while the last one is being finished
        for (int i = 0; i < 50; i++) system_signal(display, i % 2 ? 19 : 18);
        EXPECT_EQ(app.gif_recording, 0);
        EXPECT_FALSE(fs::exists(desktop / "clip_1.gif"));
        EXPECT_GE(finish(), 2);
        system_signal(display, 18);
        EXPECT_EQ(app.gif_recording, 1) << "taken again once the last one is written";
        EXPECT_TRUE(fs::exists(desktop / "clip_1.gif"));
        system_signal(display, 19);
        finish();
        fs::remove(desktop / "clip_1.gif");
        break;
      case then::reboot: {  // no display process, app forgotten, the desktop unmounted
        kill_process(display);
        app = app_record{};
        ASSERT_EQ(delete_mount_point("/desktop/host"), 1);
        for (int i = 0; i < 100 && gif_recording_open(); i++) continue_gif_recording();
        EXPECT_FALSE(gif_recording_open());
        break;
      }
      case then::exit:
      case then::exit_while_recording:
        finish_gif_recording_now();
        EXPECT_FALSE(gif_recording_open());
        EXPECT_EQ(app.gif_recording, 0);
        break;
    }
    EXPECT_TRUE(read_host(desktop / "clip.gif") == expect) << "the file of every recorded frame";
    EXPECT_TRUE(hidden().empty());
    EXPECT_EQ(gif_block_count(), 0);
    if (what == then::reboot) break;  // the last: the world is gone
    fs::remove(desktop / "clip.gif");
    notices();
  }
}

TEST(GifRaster, TransparencyAndScale) {
  std::vector<uint8_t> video(size_t{W} * H), prev(size_t{W} * H);
  std::vector<uint32_t> pal(display_pal_colours + H), prev_pal(display_pal_colours + H);
  for (int i = 0; i < 256; i++) pal[size_t(i)] = prev_pal[size_t(i)] = 0x10000u * uint32_t(i);
  for (size_t i = 0; i < video.size(); i++) video[i] = prev[i] = uint8_t(i % 50);
  video[W * 1 + 2] = 7;  // changed
  pal[display_pal_colours + 2] = 1;  // row 2 shows palette 1: every word differs
  capture_block b{0, 0, 4, 3, 2, 0, 0, 0};
  std::vector<uint8_t> out(8 * 6);
  build_gif_raster(out.data(), b, video.data(), pal.data(), prev.data(), prev_pal.data(), true);
  std::vector<uint8_t> expect = {
      255, 255, 255, 255, 255, 255, 255, 255,  // row 0 unchanged
      255, 255, 255, 255, 255, 255, 255, 255,
      255, 255, 255, 255, 7,   7,   255, 255,  // row 1: pixel 2 changed
      255, 255, 255, 255, 7,   7,   255, 255,
      64 | 10, 64 | 10, 64 | 11, 64 | 11, 64 | 12, 64 | 12, 64 | 13, 64 | 13,  // row 2 on palette 1
      64 | 10, 64 | 10, 64 | 11, 64 | 11, 64 | 12, 64 | 12, 64 | 13, 64 | 13,
  };
  EXPECT_EQ(out, expect);
  build_gif_raster(out.data(), b, video.data(), pal.data(), nullptr, prev_pal.data(), true);
  EXPECT_EQ(out[0], 0) << "the first image has no previous one";
  EXPECT_EQ(out[8 * 2 + 4], 7);

  // Colour 63 on a palette-3 row inside the rectangle makes index 255 a colour.
  EXPECT_TRUE(gif_may_use_transparency(b, video.data(), pal.data()));
  video[W * 1 + 3] = 63 + 64;
  EXPECT_TRUE(gif_may_use_transparency(b, video.data(), pal.data())) << "row 1 shows palette 0";
  pal[display_pal_colours + 1] = 3;
  EXPECT_FALSE(gif_may_use_transparency(b, video.data(), pal.data()));
  EXPECT_TRUE(gif_may_use_transparency({4, 0, 4, 3, 1, 0, 0, 0}, video.data(), pal.data())) << "outside the rectangle";
}

TEST(GifMemory, BlocksAreRecordedCappedAndFreedTogether) {
  void *a = kvt_gif_malloc(100);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(static_cast<uint8_t *>(a)[99], 0);
  void *b = kvt_gif_calloc(10, 10);
  a = kvt_gif_realloc(a, 5000);
  EXPECT_EQ(static_cast<uint8_t *>(a)[4999], 0) << "grown blocks are zero-filled";
  kvt_gif_free(b);  // does nothing: freed with the rest
  EXPECT_EQ(gif_block_count(), 2);
  EXPECT_EQ(gif_memory_in_use(), 5100);
  EXPECT_EQ(kvt_gif_malloc(size_t(gif_memory_cap)), nullptr) << "past the cap";
  EXPECT_EQ(kvt_gif_realloc(a, size_t(gif_memory_cap)), nullptr);
  EXPECT_EQ(kvt_gif_calloc(SIZE_MAX / 2, 4), nullptr);
  gif_free_all();
  EXPECT_EQ(gif_block_count(), 0);
  EXPECT_EQ(gif_memory_in_use(), 0);
  // giflib itself allocates through the table (the build renames its calls).
  ColorMapObject *map = GifMakeMapObject(256, nullptr);
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(gif_block_count(), 2) << "the map and its colours";
  EXPECT_EQ(gif_memory_in_use(), int64_t(sizeof(ColorMapObject) + 256 * sizeof(GifColorType)));
  GifFreeMapObject(map);
  EXPECT_EQ(gif_block_count(), 2) << "kept until the recording is over";
  gif_free_all();
  // A raster kept unscaled counts as the raster at its scale, also once freed
  // early (encoded); it is not freed again.
  void *raster = gif_malloc_counted(300, 300 * 16);
  ASSERT_NE(raster, nullptr);
  ASSERT_NE(kvt_gif_malloc(50), nullptr);
  EXPECT_EQ(gif_malloc_counted(300, 299), nullptr) << "never counted below its size";
  EXPECT_EQ(gif_malloc_counted(1, gif_memory_cap), nullptr) << "past the cap";
  gif_free_early(raster);
  gif_free_early(raster);
  EXPECT_EQ(gif_memory_in_use(), 300 * 16 + 50);
  EXPECT_EQ(gif_block_count(), 2);
  gif_free_all();
  for (int i = 0; i < gif_freeable_max; i++) ASSERT_NE(kvt_gif_malloc(1), nullptr);
  EXPECT_EQ(kvt_gif_malloc(1), nullptr) << "the table is full";
  gif_free_all();
}

}  // namespace
