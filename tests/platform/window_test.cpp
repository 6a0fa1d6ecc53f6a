// The host window: the picture's place in the window, window plans, the icon
// image, and window, renderer and presenting on SDL's dummy video driver
// (never a real window).
#include <SDL.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/system.h"
#include "platform/frame_pacing.h"
#include "platform/host_log.h"
#include "platform/window.h"
#include "sdl_env.h"

namespace {

/* ---------------------------------------------------------------------- */
/* destination rectangle                                                  */
/* ---------------------------------------------------------------------- */

struct rect_case {
  int win_w, win_h;
  bool pixel_perfect, stretch;
  SDL_Rect want;
};

TEST(DestRect, GivenWindows) {
  const rect_case cases[] = {
      {1000, 600, true, false, {20, 30, 960, 540}},
      {1000, 600, true, true, {20, 30, 960, 540}},
      {1000, 600, false, false, {0, 19, 1000, 562}},
      {1000, 600, false, true, {0, 0, 1000, 600}},
      {400, 300, true, false, {-40, 15, 480, 270}},
      {960, 540, true, false, {0, 0, 960, 540}},
      {480, 270, true, false, {0, 0, 480, 270}},
      {1920, 1080, false, false, {0, 0, 1920, 1080}},
      {2000, 1000, false, false, {111, 0, 1777, 1000}},  // wider than 16:9: full height
      {1500, 600, true, true, {30, 30, 1440, 540}},      // per-axis integer scales
  };
  for (const auto &c : cases) {
    SDL_Rect r = dest_rect_for_window(c.win_w, c.win_h, c.pixel_perfect, c.stretch);
    EXPECT_TRUE(r.x == c.want.x && r.y == c.want.y && r.w == c.want.w && r.h == c.want.h)
        << c.win_w << "x" << c.win_h << " pp " << c.pixel_perfect << " stretch " << c.stretch
        << ": got " << r.x << "," << r.y << " " << r.w << "x" << r.h;
  }
}

TEST(DestRect, NarrowOrEmptyWindowsStillGetAPicture) {
  // Pixel-perfect with stretch in a window narrower or lower than the picture
  // keeps scale 1 on that axis, centred.
  SDL_Rect r = dest_rect_for_window(400, 300, true, true);
  EXPECT_EQ(r.w, 480);
  EXPECT_EQ(r.h, 270);
  EXPECT_EQ(r.x, -40);
  EXPECT_EQ(r.y, 15);
  // A window with no area (or a bad size) is taken as 1 x 1.
  for (bool pp : {false, true})
    for (bool stretch : {false, true})
      for (int w : {0, -5, 1})
        for (int h : {0, -7, 1}) {
          r = dest_rect_for_window(w, h, pp, stretch);
          EXPECT_GE(r.w, 1);
          EXPECT_GE(r.h, 1);
          EXPECT_EQ(r.x, (1 - r.w) / 2);
          EXPECT_EQ(r.y, (1 - r.h) / 2);
        }
}

TEST(DestRect, RandomWindowsFollowTheirMode) {
  std::mt19937 rng(8);
  std::uniform_int_distribution<int> size(-3, 9000);
  for (int i = 0; i < 20000; i++) {
    int win_w = size(rng), win_h = size(rng);
    if (i % 4 == 0) win_w %= 500;  // plenty of windows narrower than the picture
    if (i % 4 == 1) win_h %= 300;
    bool pp = rng() & 1, stretch = rng() & 1;
    SDL_Rect r = dest_rect_for_window(win_w, win_h, pp, stretch);
    int W = std::max(win_w, 1), H = std::max(win_h, 1);
    SCOPED_TRACE(testing::Message() << win_w << "x" << win_h << " pp " << pp << " stretch "
                                    << stretch);
    // Mouse mapping divides by the rectangle's sides.
    ASSERT_GE(r.w, 1);
    ASSERT_GE(r.h, 1);
    // Always centred.
    EXPECT_EQ(r.x, (W - r.w) / 2);
    EXPECT_EQ(r.y, (H - r.h) / 2);
    if (pp) {
      ASSERT_EQ(r.w % 480, 0);
      ASSERT_EQ(r.h % 270, 0);
      int nx = r.w / 480, ny = r.h / 270;
      if (stretch) {
        EXPECT_EQ(nx, std::max(W / 480, 1));
        EXPECT_EQ(ny, std::max(H / 270, 1));
      } else {
        EXPECT_EQ(nx, ny);
        EXPECT_TRUE(nx == 1 || (r.w <= W && r.h <= H));                // fits unless at scale 1
        EXPECT_TRUE((nx + 1) * 480 > W || (nx + 1) * 270 > H);         // and is the largest
      }
      if (W >= 480 * nx && H >= 270 * ny) {
        EXPECT_GE(r.x, 0);
        EXPECT_GE(r.y, 0);
      }
    } else if (stretch) {
      EXPECT_EQ(r.w, W);
      EXPECT_EQ(r.h, H);
    } else {
      // Letterboxed: inside the window, one side filled, 16:9 up to truncation.
      EXPECT_LE(r.w, W);
      EXPECT_LE(r.h, H);
      EXPECT_GE(r.x, 0);
      EXPECT_GE(r.y, 0);
      EXPECT_TRUE(r.w == W || r.h == H);
      if (r.w == W && r.h > 1) EXPECT_LE(std::abs(r.h - W * 270.0 / 480), 1.0);
      if (r.h == H && r.w > 1) EXPECT_LE(std::abs(r.w - H * 480.0 / 270), 1.0);
    }
  }
}

/* ---------------------------------------------------------------------- */
/* window plans, renderer scale, icon image, failure latch                */
/* ---------------------------------------------------------------------- */

TEST(WindowPlan, PixelScaleGivesTheWindowSize) {
  EXPECT_EQ(clamp_pixel_scale(0), 2);
  EXPECT_EQ(clamp_pixel_scale(1), 1);
  EXPECT_EQ(clamp_pixel_scale(-3), 1);
  EXPECT_EQ(clamp_pixel_scale(7), 7);
  EXPECT_EQ(clamp_pixel_scale(16), 16);
  EXPECT_EQ(clamp_pixel_scale(40), 16);
  EXPECT_EQ(clamp_pixel_scale(INT32_MAX), 16);
  EXPECT_EQ(clamp_pixel_scale(INT32_MIN), 1);

  config_record c{};
  const window_place none = {SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, 0, 0};
  const struct {
    int32_t pixel_scale;
    int w, h;
  } cases[] = {{0, 960, 540}, {1, 480, 270}, {40, 7680, 4320}};
  for (const auto &k : cases) {
    c.pixel_scale = clamp_pixel_scale(k.pixel_scale);
    window_plan p = plan_video_window(c, 1920, 1080, none);
    EXPECT_EQ(p.w, k.w) << k.pixel_scale;
    EXPECT_EQ(p.h, k.h) << k.pixel_scale;
    EXPECT_EQ(p.x, int(SDL_WINDOWPOS_UNDEFINED));
    EXPECT_EQ(p.flags, uint32_t(SDL_WINDOW_RESIZABLE | SDL_WINDOW_SHOWN));
  }
}

TEST(WindowPlan, FullscreenWindowedAndHighDpi) {
  config_record c{};
  c.pixel_scale = 2;
  const window_place place = {100, 50, 700, 400};

  window_plan p = plan_video_window(c, 1920, 1080, place);  // windowed: the remembered place
  EXPECT_EQ(p.x, 100);
  EXPECT_EQ(p.y, 50);
  EXPECT_EQ(p.w, 700);
  EXPECT_EQ(p.h, 400);
  EXPECT_EQ(p.flags, uint32_t(SDL_WINDOW_RESIZABLE | SDL_WINDOW_SHOWN));

  c.fullscreen = 1;  // the desktop's size at the remembered position
  p = plan_video_window(c, 1920, 1080, place);
  EXPECT_EQ(p.x, 100);
  EXPECT_EQ(p.w, 1920);
  EXPECT_EQ(p.h, 1080);
  EXPECT_EQ(p.flags, uint32_t(SDL_WINDOW_FULLSCREEN_DESKTOP | SDL_WINDOW_SHOWN));

  c.fullscreen_window = 1;  // borderless at the origin
  c.allow_highdpi = 1;
  p = plan_video_window(c, 1920, 1080, place);
  EXPECT_EQ(p.x, 0);
  EXPECT_EQ(p.y, 0);
  EXPECT_EQ(p.w, 1920);
  EXPECT_EQ(p.flags,
            uint32_t(SDL_WINDOW_BORDERLESS | SDL_WINDOW_ALLOW_HIGHDPI | SDL_WINDOW_SHOWN));

  p = plan_video_window(c, 0, 0, place);  // desktop mode unknown: the scaled size
  EXPECT_EQ(p.w, 960);
  EXPECT_EQ(p.h, 540);

  c.fullscreen = 0;  // fullscreen_window alone changes nothing
  p = plan_video_window(c, 1920, 1080, {5, 6, 0, 300});
  EXPECT_EQ(p.w, 960);  // a size is remembered only when both sides are positive
  EXPECT_EQ(p.h, 540);
  EXPECT_EQ(p.flags,
            uint32_t(SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI | SDL_WINDOW_SHOWN));
}

TEST(WindowPlan, RendererScaleFollowsAHighDpiOutput) {
  float sx = 0, sy = 0;
  renderer_scale_for(1920, 1080, 960, 540, &sx, &sy);
  EXPECT_FLOAT_EQ(sx, 2.0f);
  EXPECT_FLOAT_EQ(sy, 2.0f);
  renderer_scale_for(960, 540, 960, 540, &sx, &sy);
  EXPECT_FLOAT_EQ(sx, 1.0f);
  EXPECT_FLOAT_EQ(sy, 1.0f);
  renderer_scale_for(100, 100, 0, 0, &sx, &sy);  // no window size: no scale
  EXPECT_FLOAT_EQ(sx, 1.0f);
  EXPECT_FLOAT_EQ(sy, 1.0f);
}

TEST(WindowIcon, EachBitmapPixelIsAnOpaqueBlockOrTransparent) {
  uint32_t palette[64];
  for (int i = 0; i < 64; i++) palette[i] = 0xAB000000u | uint32_t(i * 0x030201);
  uint8_t bitmap[256] = {};
  bitmap[0] = 5;
  bitmap[1 * 16 + 2] = 70;   // 70 & 63 = 6
  bitmap[15 * 16 + 15] = 63;
  std::vector<uint32_t> icon(128 * 128, 0x12345678);
  make_window_icon(bitmap, palette, icon.data());
  auto at = [&](int x, int y) { return icon[size_t(y) * 128 + size_t(x)]; };
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 8; x++) {
      EXPECT_EQ(at(x, y), 0xFF000000u | (5 * 0x030201));
      EXPECT_EQ(at(16 + x, 8 + y), 0xFF000000u | (6 * 0x030201));
      EXPECT_EQ(at(120 + x, 120 + y), 0xFF000000u | (63 * 0x030201));
      EXPECT_EQ(at(8 + x, y), 0u);  // colour 0 is transparent
    }
  int opaque = 0;
  for (uint32_t p : icon) opaque += p != 0;
  EXPECT_EQ(opaque, 3 * 64);
}

TEST(BlitFailure, LoggedWhenItBeginsNotEveryFrame) {
  bool failing = false;
  std::vector<bool> reported;
  for (bool failed : {false, true, true, true, false, true, true, false})
    reported.push_back(blit_failure_is_new(failed, &failing));
  EXPECT_EQ(reported, (std::vector<bool>{false, true, false, false, false, true, false, false}));
}

/* ---------------------------------------------------------------------- */
/* window, renderer and presenting on the dummy driver                    */
/* ---------------------------------------------------------------------- */

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

// A picture whose every pixel differs from its neighbours.
std::vector<uint32_t> test_picture() {
  std::vector<uint32_t> p(480 * 270);
  for (int y = 0; y < 270; y++)
    for (int x = 0; x < 480; x++)
      p[size_t(y) * 480 + size_t(x)] = uint32_t(x * 0x000101 + y * 0x010000);
  return p;
}

const uint32_t *picture_for_end_frame = nullptr;
int pictures_built = 0;
const uint32_t *build_test_picture() {
  pictures_built++;
  return picture_for_end_frame;
}

// Keeps config, app and SDL as they were; the window, renderer and texture live
// on the dummy driver with whatever renderer fits it.
class HostWindow : public testing::Test {
 protected:
  void SetUp() override {
    env.set("SDL_VIDEODRIVER", "dummy");
    ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_VIDEO), 0) << SDL_GetError();
    saved_config = config;
    saved_app = app;
    saved_inited = system_inited;
    saved_hash = video_hash0;
    system_inited = true;
    set_default_config();
    config.fullscreen = 0;
    config.pixel_scale = 1;
    log_path = testing::TempDir() + "kestrune_window_log_" + std::to_string(getpid()) + ".txt";
    hovi_set_log_path(log_path);
  }
  void TearDown() override {
    os_release_video();
    SDL_Quit();
    config = saved_config;
    app = saved_app;
    system_inited = saved_inited;
    video_hash0 = saved_hash;
    // Back to the scratch log that the test entry point chose.
    hovi_set_log_path(testing::TempDir() + "kestrune-tests-" + std::to_string(getpid()) +
                      "/log.txt");
    unlink(log_path.c_str());
  }

  SDL_Point window_size() {
    SDL_Point s = {0, 0};
    SDL_GetWindowSize(os_get_window(), &s.x, &s.y);
    return s;
  }
  // The window's pixels as the renderer last drew them, RGB only.
  std::vector<uint32_t> read_back() {
    SDL_Point s = window_size();
    std::vector<uint32_t> px(size_t(s.x) * size_t(s.y));
    EXPECT_EQ(SDL_RenderReadPixels(os_get_renderer(), nullptr, SDL_PIXELFORMAT_ARGB8888, px.data(),
                                   s.x * 4),
              0)
        << SDL_GetError();
    for (uint32_t &p : px) p &= 0xFFFFFF;
    return px;
  }
  // Checks the window against the picture scaled by n at (x0, y0), black elsewhere.
  void expect_picture_at(const std::vector<uint32_t> &picture, int x0, int y0, int n) {
    SDL_Point s = window_size();
    std::vector<uint32_t> got = read_back();
    int wrong = 0;
    for (int y = 0; y < s.y; y++)
      for (int x = 0; x < s.x; x++) {
        int px = x - x0, py = y - y0;
        bool inside = px >= 0 && py >= 0 && px < 480 * n && py < 270 * n;
        uint32_t want = inside ? picture[size_t(py / n) * 480 + size_t(px / n)] & 0xFFFFFF : 0;
        if (got[size_t(y) * size_t(s.x) + size_t(x)] != want && wrong++ < 5)
          ADD_FAILURE() << "pixel " << x << "," << y << ": " << std::hex
                        << got[size_t(y) * size_t(s.x) + size_t(x)] << " want " << want;
      }
    EXPECT_EQ(wrong, 0);
  }

  scoped_env env;
  config_record saved_config;
  app_record saved_app;
  bool saved_inited;
  int32_t saved_hash;
  std::string log_path;
};

TEST_F(HostWindow, PixelScaleMakesTheWindowAndIsWrittenBack) {
  EXPECT_EQ(os_get_window(), nullptr);  // none before the first configuration
  const struct {
    int32_t pixel_scale;
    int w, h;
  } cases[] = {{0, 960, 540}, {1, 480, 270}, {3, 1440, 810}};
  for (const auto &k : cases) {
    os_release_video();  // a fresh start: no remembered size
    config.pixel_scale = k.pixel_scale;
    os_apply_video_config();
    ASSERT_NE(os_get_window(), nullptr);
    ASSERT_NE(os_get_renderer(), nullptr);
    EXPECT_EQ(window_size().x, k.w);
    EXPECT_EQ(window_size().y, k.h);
    EXPECT_EQ(config.pixel_scale, clamp_pixel_scale(k.pixel_scale));
    uint32_t flags = SDL_GetWindowFlags(os_get_window());
    EXPECT_TRUE(flags & SDL_WINDOW_RESIZABLE);
    EXPECT_FALSE(flags & SDL_WINDOW_FULLSCREEN);
    EXPECT_STREQ(SDL_GetWindowTitle(os_get_window()), "Kestrune");
  }
  std::string log = read_file(log_path);
  EXPECT_NE(log.find("creating SDL window 960 540 flags "), std::string::npos) << log;
  EXPECT_NE(log.find("renderer_scale: 1.000000,1.000000"), std::string::npos) << log;
}

TEST_F(HostWindow, WindowedPlaceSurvivesFullscreenAndBack) {
  os_apply_video_config();
  SDL_SetWindowPosition(os_get_window(), 100, 50);
  SDL_SetWindowSize(os_get_window(), 700, 400);

  config.fullscreen = 1;
  os_apply_video_config();
  SDL_DisplayMode desktop;
  ASSERT_EQ(SDL_GetDesktopDisplayMode(0, &desktop), 0);
  EXPECT_EQ(window_size().x, desktop.w);
  EXPECT_EQ(window_size().y, desktop.h);
  EXPECT_EQ(SDL_GetWindowFlags(os_get_window()) & SDL_WINDOW_FULLSCREEN_DESKTOP,
            uint32_t(SDL_WINDOW_FULLSCREEN_DESKTOP));
  // The fullscreen window's own size and place are not remembered.
  SDL_SetWindowSize(os_get_window(), 300, 200);
  os_apply_video_config();

  config.fullscreen = 0;
  os_apply_video_config();
  EXPECT_EQ(window_size().x, 700);
  EXPECT_EQ(window_size().y, 400);
  int x = 0, y = 0;
  SDL_GetWindowPosition(os_get_window(), &x, &y);
  EXPECT_EQ(x, 100);
  EXPECT_EQ(y, 50);

  config.fullscreen = 1;
  config.fullscreen_window = 1;
  os_apply_video_config();
  EXPECT_TRUE(SDL_GetWindowFlags(os_get_window()) & SDL_WINDOW_BORDERLESS);
  EXPECT_FALSE(SDL_GetWindowFlags(os_get_window()) & SDL_WINDOW_FULLSCREEN);
  EXPECT_EQ(window_size().x, desktop.w);
}

TEST_F(HostWindow, OpeningAHostPathMinimisesOnlyAFullscreenWindow) {
  EXPECT_FALSE(os_minimise_window_in_fullscreen()) << "no window yet";
  os_apply_video_config();
  EXPECT_FALSE(os_minimise_window_in_fullscreen());
  config.fullscreen = 1;
  os_apply_video_config();
  EXPECT_TRUE(os_minimise_window_in_fullscreen());
}

TEST_F(HostWindow, TitleRuleAndIcon) {
  os_set_window_title("before any window");
  os_apply_video_config();
  EXPECT_STREQ(SDL_GetWindowTitle(os_get_window()), "before any window");

  std::string longest(1023, 't');
  os_set_window_title(longest.c_str());
  EXPECT_EQ(std::string(SDL_GetWindowTitle(os_get_window())), longest);
  std::string too_long(1024, 'u');
  os_set_window_title(too_long.c_str());
  EXPECT_EQ(std::string(SDL_GetWindowTitle(os_get_window())), longest);
  os_set_window_title(nullptr);
  os_set_window_title("now");
  EXPECT_STREQ(SDL_GetWindowTitle(os_get_window()), "now");
  os_apply_video_config();  // the stored title names the next window too
  EXPECT_STREQ(SDL_GetWindowTitle(os_get_window()), "now");

  // The image itself is checked above; here SDL must take the surface made
  // from it (a bad pitch or mask set would be refused with an error).
  uint8_t bitmap[256];
  for (int i = 0; i < 256; i++) bitmap[i] = uint8_t(i);
  uint32_t palette[64] = {};
  SDL_ClearError();
  os_set_window_icon(bitmap, palette);
  EXPECT_STREQ(SDL_GetError(), "");
  os_set_window_icon(nullptr, nullptr);
  os_apply_video_config();
  EXPECT_NE(os_get_window(), nullptr);
}

TEST_F(HostWindow, PresentsThePictureAtIntegerScaleAndLetterboxed) {
  std::vector<uint32_t> picture = test_picture();
  os_apply_video_config();  // 480 x 270, pixel-perfect
  blit_to_sdl_window_hardware(picture.data(), 480);
  expect_picture_at(picture, 0, 0, 1);

  SDL_SetWindowSize(os_get_window(), 1000, 600);  // integer scale 2, centred
  blit_to_sdl_window_hardware(picture.data(), 480);
  expect_picture_at(picture, 20, 30, 2);

  SDL_SetWindowSize(os_get_window(), 400, 300);  // smaller than the picture: overhangs
  blit_to_sdl_window_hardware(picture.data(), 480);
  expect_picture_at(picture, -40, 15, 1);

  // Rows further apart than the picture's width.
  std::vector<uint32_t> wide(600 * 270, 0xFFFFFF);
  for (int y = 0; y < 270; y++)
    std::memcpy(&wide[size_t(y) * 600], &picture[size_t(y) * 480], 480 * 4);
  SDL_SetWindowSize(os_get_window(), 480, 270);
  blit_to_sdl_window_hardware(wide.data(), 600);
  expect_picture_at(picture, 0, 0, 1);
}

TEST_F(HostWindow, SmoothModeDoublesThePictureBeforeScaling) {
  std::vector<uint32_t> picture = test_picture();
  config.pixel_perfect = 0;
  config.pixel_scale = 2;  // 960 x 540: the doubled picture lands 1:1
  os_apply_video_config();
  int tw = 0, th = 0;
  SDL_Renderer *r = os_get_renderer();
  ASSERT_NE(r, nullptr);
  blit_to_sdl_window_hardware(picture.data(), 480);
  expect_picture_at(picture, 0, 0, 2);
  SDL_GetRendererOutputSize(r, &tw, &th);
  EXPECT_EQ(tw, 960);
  EXPECT_EQ(th, 540);
}

TEST_F(HostWindow, EndFramePresentsWhatTheVideoOutputGives) {
  std::vector<uint32_t> picture = test_picture();
  os_apply_video_config();
  std::vector<uint32_t> black(480 * 270, 0);
  blit_to_sdl_window_hardware(black.data(), 480);

  picture_for_end_frame = nullptr;  // no picture this frame: the window keeps the last one
  pictures_built = 0;
  end_frame(build_test_picture);
  EXPECT_EQ(pictures_built, 1);
  expect_picture_at(black, 0, 0, 1);

  picture_for_end_frame = picture.data();
  end_frame(build_test_picture);
  expect_picture_at(picture, 0, 0, 1);

  config.headless = 1;  // headless: no picture is built at all
  pictures_built = 0;
  end_frame(build_test_picture);
  EXPECT_EQ(pictures_built, 0);
}

TEST_F(HostWindow, SettingsMakeTheWindowOnlyWhenTheHashChangesAndNeverHeadless) {
  config.headless = 1;
  video_hash0 = -1;
  kestrune_apply_settings();
  EXPECT_EQ(os_get_window(), nullptr);
  os_apply_video_config();
  EXPECT_EQ(os_get_window(), nullptr);
  EXPECT_EQ(video_hash0, video_settings_hash());

  config.headless = 0;
  video_hash0 = -1;
  kestrune_apply_settings();
  ASSERT_NE(os_get_window(), nullptr);
  Uint32 id = SDL_GetWindowID(os_get_window());
  config.pixel_scale = 3;  // pixel_scale alone keeps the window
  kestrune_apply_settings();
  EXPECT_EQ(SDL_GetWindowID(os_get_window()), id);
  config.stretch = 1;
  kestrune_apply_settings();
  EXPECT_NE(SDL_GetWindowID(os_get_window()), id);
}

TEST_F(HostWindow, NothingBeforeTheHostLayerStarts) {
  system_inited = false;
  os_apply_video_config();
  EXPECT_EQ(os_get_window(), nullptr);
  SDL_Rect r;
  EXPECT_FALSE(get_dest_rect(&r));
  EXPECT_GE(r.w, 1);  // still safe to divide by
  EXPECT_GE(r.h, 1);
  std::vector<uint32_t> picture = test_picture();
  blit_to_sdl_window_hardware(picture.data(), 480);  // no window: nothing, no crash
  EXPECT_EQ(read_file(log_path).find("** failed"), std::string::npos);
}

TEST(HostWindowDeath, NoRendererEndsTheProgram) {
  EXPECT_EXIT(
      {
        dup2(2, 1);
        scoped_env env;
        env.set("SDL_VIDEODRIVER", "no-such-driver");  // no video: no window, no renderer
        system_inited = true;
        config.headless = 0;
        os_apply_video_config();
      },
      testing::ExitedWithCode(0), "could not create renderer");
}

}  // namespace
