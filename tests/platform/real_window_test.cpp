// The real window end to end: a display process draws a known picture through
// the script API, the frame loop shows it, and the window's pixels are read
// back at integer scale and letterboxed. The window is a real X11 window on an
// Xvfb server the test starts itself; without Xvfb it is SDL's dummy driver.
#include <SDL.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "gfx/draw_state.h"
#include "gfx/video_output.h"
#include "kernel/accounting.h"
#include "kernel/process.h"
#include "kernel/system.h"
#include "platform/frame_pacing.h"
#include "platform/host_system.h"
#include "platform/window.h"
#include "sdl_env.h"
#include "xvfb_server.h"

namespace {

// The Xvfb screen: 5:4, so fullscreen letterboxes.
constexpr int screen_w = 1280, screen_h = 1024;

/* ---------------------------------------------------------------------- */
/* the test userland                                                      */
/* ---------------------------------------------------------------------- */

// Process 1 schedules 2 (idle) and 3 (the display process) and releases the
// boot screen; process 3 draws the same picture every frame into its video memory.
const char *const boot_code = R"(
local display = [[
  local vm = userdata("u8", 480, 270)
  _map_ram(vm, 0x10000)
  _set_draw_target(vm)
  pal() pal(2)
  poke(0x5508, 0x3f, 0x3f, 0x3f, 0x3f)
  while true do
    cls(1)
    rectfill(0, 0, 479, 9, 8)
    rectfill(40, 60, 199, 179, 12)
    circfill(330, 130, 60, 11)
    rectfill(470, 260, 479, 269, 10)
    flip()
  end
]]
assert(_create_process_from_code("while true do flip() end", "idle", "/system/idle.lua") == 2)
assert(_create_process_from_code(display, "display", "/system/display.lua") == 3)
_signal(37)
while true do
  _run_process_slice(2, 0.1)
  _run_process_slice(3, 0.5)
  coroutine.yield()
end
)";

// Colours of the default palette the picture uses, as the window must show them.
constexpr uint32_t dark_blue = 0x1d2b53, red = 0xff004d, blue = 0x29adff, green = 0x00e436,
                   yellow = 0xffec27, black = 0;
constexpr uint32_t either = 0xFFFFFFFF;  // on the disc's rim: background or disc

// The expected picture, worked out from the drawing calls alone. The disc is
// certain only away from its rim.
std::vector<uint32_t> expected_picture() {
  std::vector<uint32_t> p(480 * 270, dark_blue);
  auto rect = [&](int x0, int y0, int x1, int y1, uint32_t c) {
    for (int y = y0; y <= y1; y++)
      for (int x = x0; x <= x1; x++) p[size_t(y) * 480 + size_t(x)] = c;
  };
  rect(0, 0, 479, 9, red);
  rect(40, 60, 199, 179, blue);
  for (int y = 0; y < 270; y++)
    for (int x = 0; x < 480; x++) {
      int d2 = (x - 330) * (x - 330) + (y - 130) * (y - 130);
      if (d2 <= 59 * 59) p[size_t(y) * 480 + size_t(x)] = green;
      else if (d2 <= 61 * 61) p[size_t(y) * 480 + size_t(x)] = either;
    }
  rect(470, 260, 479, 269, yellow);
  return p;
}

/* ---------------------------------------------------------------------- */
/* fixture                                                                */
/* ---------------------------------------------------------------------- */

// The GL driver allocates on worker threads of its own, which sdl_host_allocations
// cannot cover: under the leak checker the X11 window gets SDL's
// software renderer, elsewhere the renderer SDL picks for it.
#ifdef KESTRUNE_SDL_ENV_LSAN
constexpr bool x11_software_renderer = true;
#else
constexpr bool x11_software_renderer = false;
#endif

struct placement {
  int x, y, w, h;
};

// Param: true to use Xvfb when it can be started, false for the dummy driver.
class RealWindow : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    env.set("SDL_AUDIODRIVER", "dummy");
    if (GetParam() && xvfb.start()) {
      env.set("SDL_VIDEODRIVER", "x11");
      env.set("DISPLAY", xvfb.display.c_str());
      if (x11_software_renderer) env.set("SDL_RENDER_DRIVER", "software");
      RecordProperty("display", xvfb.display);
    } else {
      env.set("SDL_VIDEODRIVER", "dummy");
    }
    saved_config = config;
    saved_app = app;
    saved_inited = system_inited;

    // As start-up does: the host layer, default tables, then the root process.
    set_default_config();
    {
      sdl_host_allocations exempt;
      os_system_init();
    }
    system_inited = true;
    app = app_record{};
    ASSERT_TRUE(processes_init());
    init_default_coltabs();
    root_process = create_process_from_code(boot_code, "[root]", "[root]");
    ASSERT_NE(root_process, nullptr);
    set_current_process(root_process);
    // The boot clock well past the boot screen's 2200 ms.
    app.frame_count = 1000;
    app.boot_time_base = 1;
  }

  void TearDown() override {
    {
      sdl_host_allocations exempt;
      os_release_video();
      os_system_shutdown();
      SDL_Quit();
    }
    processes_init();
    root_process = nullptr;
    cpu_cycles = cpu_cycles_max = cpu_superyielding = 0;
    config = saved_config;
    app = saved_app;
    system_inited = saved_inited;
    video_hash0 = -1;
    xvfb.stop();
  }

  // One frame as the frame loop makes it.
  static void frame() {
    prepare_processes_for_frame();
    run_process_slice(root_process, 1.0);
    update_processes_after_frame();
    app.frame_count++;
    end_frame(video_out_picture);
  }

  // Applies the video settings and runs frames until the window has the size it
  // was given (a real server configures a new window asynchronously).
  SDL_Point show() {
    {
      sdl_host_allocations exempt;
      os_apply_video_config();
    }
    EXPECT_NE(os_get_renderer(), nullptr);
    SDL_Point out = {0, 0}, last = {-1, -1};
    for (int i = 0; i < 120; i++) {
      SDL_PumpEvents();
      frame();
      SDL_GetRendererOutputSize(os_get_renderer(), &out.x, &out.y);
      if (i >= 3 && out.x == last.x && out.y == last.y) break;
      last = out;
    }
    EXPECT_NE(get_process(3), nullptr) << "the display process is gone";
    SDL_RendererInfo info{};
    SDL_GetRendererInfo(os_get_renderer(), &info);
    RecordProperty("renderer", info.name ? info.name : "?");
    return out;
  }

  static std::vector<uint32_t> read_back(SDL_Point size) {
    std::vector<uint32_t> px(size_t(size.x) * size_t(size.y));
    EXPECT_EQ(SDL_RenderReadPixels(os_get_renderer(), nullptr, SDL_PIXELFORMAT_ARGB8888,
                                   px.data(), size.x * 4),
              0)
        << SDL_GetError();
    for (uint32_t &p : px) p &= 0xFFFFFF;
    return px;
  }

  // Integer scale n at (x0, y0): every window pixel exactly its picture pixel,
  // black around the picture.
  static void expect_exact(SDL_Point size, int x0, int y0, int n) {
    std::vector<uint32_t> want = expected_picture(), got = read_back(size);
    int wrong = 0;
    for (int y = 0; y < size.y; y++)
      for (int x = 0; x < size.x; x++) {
        int px = x - x0, py = y - y0;
        bool inside = px >= 0 && py >= 0 && px < 480 * n && py < 270 * n;
        uint32_t w = inside ? want[size_t(py / n) * 480 + size_t(px / n)] : black;
        uint32_t g = got[size_t(y) * size_t(size.x) + size_t(x)];
        bool ok = w == either ? (g == dark_blue || g == green) : g == w;
        if (!ok && wrong++ < 5)
          ADD_FAILURE() << "window pixel " << x << "," << y << ": " << std::hex << g << " want "
                        << w;
      }
    EXPECT_EQ(wrong, 0);
  }

  // Smooth scaling into rectangle r: black bars exact; inside, every pixel whose
  // picture neighbourhood is one colour shows that colour (filtering only blends
  // across edges).
  static void expect_smooth(SDL_Point size, placement r) {
    std::vector<uint32_t> want = expected_picture(), got = read_back(size);
    int wrong = 0, checked = 0;
    auto near = [](uint32_t a, uint32_t b) {
      for (int s = 0; s < 24; s += 8)
        if (std::abs(int((a >> s) & 255) - int((b >> s) & 255)) > 2) return false;
      return true;
    };
    for (int y = 0; y < size.y; y++)
      for (int x = 0; x < size.x; x++) {
        uint32_t g = got[size_t(y) * size_t(size.x) + size_t(x)];
        uint32_t w = black;
        if (x >= r.x && y >= r.y && x < r.x + r.w && y < r.y + r.h) {
          int px = int(int64_t(x - r.x) * 480 / r.w), py = int(int64_t(y - r.y) * 270 / r.h);
          w = want[size_t(py) * 480 + size_t(px)];
          for (int dy = -1; dy <= 1; dy++)
            for (int dx = -1; dx <= 1; dx++) {
              int qx = std::clamp(px + dx, 0, 479), qy = std::clamp(py + dy, 0, 269);
              if (want[size_t(qy) * 480 + size_t(qx)] != w) w = either;
            }
          if (w == either) continue;
        }
        checked++;
        if (!near(g, w) && wrong++ < 5)
          ADD_FAILURE() << "window pixel " << x << "," << y << ": " << std::hex << g << " want "
                        << w;
      }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(checked, size.x * size.y / 2);
  }

  scoped_env env;
  xvfb_server xvfb{screen_w, screen_h};
  config_record saved_config;
  app_record saved_app;
  bool saved_inited = false;
};

TEST_P(RealWindow, ShowsTheDisplayProcessAtIntegerScaleAndLetterboxed) {
  // A 960 x 540 window: the picture fills it at scale 2.
  config.fullscreen = 0;
  config.pixel_perfect = 1;
  config.pixel_scale = 2;
  SDL_Point size = show();
  ASSERT_EQ(size.x, 960);
  ASSERT_EQ(size.y, 540);
  expect_exact(size, 0, 0, 2);

  // Fullscreen on a desktop of another shape: the largest integer scale that
  // fits, centred, with black bars.
  config.fullscreen = 1;
  config.fullscreen_window = 1;
  size = show();
  SDL_DisplayMode desktop{};
  ASSERT_EQ(SDL_GetDesktopDisplayMode(0, &desktop), 0);
  ASSERT_EQ(size.x, desktop.w);
  ASSERT_EQ(size.y, desktop.h);
  int n = std::min(size.x / 480, size.y / 270);
  ASSERT_GE(n, 1);
  ASSERT_TRUE(480 * n < size.x || 270 * n < size.y) << "the desktop leaves no bars";
  expect_exact(size, (size.x - 480 * n) / 2, (size.y - 270 * n) / 2, n);

  // Smooth scaling letterboxed: the full width (the desktop is narrower than
  // 16:9), the height in proportion.
  config.pixel_perfect = 0;
  size = show();
  ASSERT_LT(size.x * 270, size.y * 480);
  int h = size.x * 270 / 480;
  expect_smooth(size, {0, (size.y - h) / 2, size.x, h});
}

INSTANTIATE_TEST_SUITE_P(Drivers, RealWindow, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool> &info) {
                           return info.param ? std::string("XvfbElseDummy")
                                             : std::string("Dummy");
                         });

}  // namespace
