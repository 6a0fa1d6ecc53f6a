// Host input as the display process receives it: SDL events pushed into the
// queue of SDL's dummy video driver, pumped by the frame's event pump, read
// back as the exact message texts in process 3's queue. The pointer and the
// keyboard state are the test's own; the window is a real (dummy) one.
#include <SDL.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../pdisk/vfs_fixture.h"
#include "kernel/dropped_file.h"
#include "kernel/input.h"
#include "kernel/messages.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "kernel/system.h"
#include "pdisk/path.h"
#include "platform/event_pump.h"
#include "platform/mouse.h"
#include "platform/window.h"
#include "../platform/sdl_env.h"
#include "script_api_fixture.h"

namespace {

using msgs = std::vector<std::string>;

uint8_t fake_keys[key_table_size];
host_pointer fake_pointer;
std::vector<SDL_Point> warps;

const uint8_t *read_fake_keys(int *count) {
  *count = key_table_size;
  return fake_keys;
}
host_pointer read_fake_pointer() { return fake_pointer; }
void record_warp(int x, int y) { warps.push_back({x, y}); }

class InputEvents : public Vfs {
 protected:
  void SetUp() override {
    Vfs::SetUp();
    env.set("SDL_VIDEODRIVER", "dummy");
    env.set("SDL_AUDIODRIVER", "dummy");
    saved_config = config;
    saved_app = app;
    saved_inited = system_inited;
    set_default_config();
    config.fullscreen = 0;
    config.pixel_scale = 2;
    app = app_record{};
    {
      sdl_host_allocations exempt;
      ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS), 0) << SDL_GetError();
      system_inited = true;
      os_apply_video_config();  // a 960 x 540 window: two window pixels a screen pixel
    }
    ASSERT_NE(os_get_window(), nullptr);
    memset(fake_keys, 0, sizeof fake_keys);
    fake_pointer = {};
    warps.clear();
    os_read_host_keyboard = read_fake_keys;
    os_read_host_pointer = read_fake_pointer;
    os_warp_host_pointer = record_warp;
    os_clear_key_tables();
    os_reset_mouse();
    ASSERT_TRUE(processes_init());
    for (const char *name : {"[root]", "idle", "display"})
      ASSERT_NE(create_process_from_code("", name, name), nullptr);
    display = get_process(3);
    ASSERT_NE(display, nullptr);
    // Keys read as up for the first 100 ms of the host clock (as after a focus).
    while (SDL_GetTicks64() <= 110) SDL_Delay(5);
    SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
    pump();  // settle the window's own events
  }

  void TearDown() override {
    os_read_host_keyboard = saved_keyboard;
    os_read_host_pointer = saved_pointer;
    os_warp_host_pointer = saved_warp;
    os_reset_mouse();
    os_clear_key_tables();
    processes_init();
    {
      sdl_host_allocations exempt;
      os_release_video();
      SDL_Quit();
    }
    config = saved_config;
    app = saved_app;
    system_inited = saved_inited;
    video_hash0 = -1;
    Vfs::TearDown();
  }

  // One pump; the texts process 3 received.
  msgs pump() {
    pump_host_events();
    msgs out;
    while (buffer *b = read_process_message(display, nullptr))
      out.emplace_back(reinterpret_cast<const char *>(b->data));
    return out;
  }

  static void push(SDL_Event e) { ASSERT_EQ(SDL_PushEvent(&e), 1) << SDL_GetError(); }
  static void push_key(int scancode) {
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.keysym.scancode = SDL_Scancode(scancode);
    push(e);
  }
  static void push_text(const char *bytes, size_t n) {
    SDL_Event e{};
    e.type = SDL_TEXTINPUT;
    memcpy(e.text.text, bytes, std::min(n, sizeof e.text.text));
    push(e);
  }
  static void push_window(SDL_WindowEventID what) {
    SDL_Event e{};
    e.type = SDL_WINDOWEVENT;
    e.window.event = what;
    e.window.windowID = SDL_GetWindowID(os_get_window());
    push(e);
  }
  static void push_motion(int x, int y) {
    SDL_Event e{};
    e.type = SDL_MOUSEMOTION;
    e.motion.x = x;
    e.motion.y = y;
    push(e);
  }
  static void push_drop(const std::string &host_path) {
    SDL_Event e{};
    e.type = SDL_DROPFILE;
    e.drop.file = SDL_strdup(host_path.c_str());  // the pump frees it
    push(e);
  }

  scoped_env env;
  config_record saved_config;
  app_record saved_app;
  bool saved_inited = false;
  const uint8_t *(*saved_keyboard)(int *) = os_read_host_keyboard;
  host_pointer (*saved_pointer)() = os_read_host_pointer;
  void (*saved_warp)(int, int) = os_warp_host_pointer;
  process *display = nullptr;
};

TEST_F(InputEvents, EventsBecomeExactMessages) {
  struct pump_case {
    const char *name;
    void (*before)();  // events and host state for the first frame
    msgs first, second;
  };
  const std::vector<pump_case> cases = {
      {"a press and release within one frame", [] { push_key(SDL_SCANCODE_A); },
       {"{event=\"keydown\",scancode=4}"}, {"{event=\"keyup\",scancode=4}"}},
      {"a held key goes down once", [] { fake_keys[SDL_SCANCODE_LEFT] = 1; },
       {"{event=\"keydown\",scancode=80}"}, {}},
      {"... and up once", [] { fake_keys[SDL_SCANCODE_LEFT] = 0; }, {"{event=\"keyup\",scancode=80}"},
       {}},
      {"keys go down in scancode order", [] { push_key(30); push_key(5); },
       {"{event=\"keydown\",scancode=5}", "{event=\"keydown\",scancode=30}"},
       {"{event=\"keyup\",scancode=5}", "{event=\"keyup\",scancode=30}"}},
      {"a scancode beyond the key table is ignored", [] { push_key(600); push_key(-7); }, {}, {}},
      {"text is escaped", [] { push_text("a\"\\\n\xC3\xA9", 6); },
       {"{event=\"textinput\",text=\"a\\034\\092\\010\\195\\169\"}"}, {}},
      {"text filling the event whole", [] { push_text("0123456789abcdefghijklmnopqrstuv", 32); },
       {"{event=\"textinput\",text=\"0123456789abcdefghijklmnopqrstuv\"}"}, {}},
      {"wheel",
       [] {
         SDL_Event e{};
         e.type = SDL_MOUSEWHEEL;
         e.wheel.x = -1;
         e.wheel.y = 3;
         push(e);
       },
       {"{event=\"mousewheel\",wheel_x=-1,wheel_y=3}"}, {}},
      {"pointer and buttons, sent when they change",
       [] { fake_pointer = {201, 101, SDL_BUTTON_LMASK | SDL_BUTTON_RMASK}; },
       {"{event=\"mouse\",mx=100,my=50,mb=3}"}, {}},
      {"middle button", [] { fake_pointer.buttons = SDL_BUTTON_MMASK; },
       {"{event=\"mouse\",mx=100,my=50,mb=4}"}, {}},
      {"a click within one frame shows for that frame",
       [] {
         fake_pointer.buttons = 0;
         SDL_Event e{};
         e.type = SDL_MOUSEBUTTONDOWN;
         e.button.button = SDL_BUTTON_LEFT;
         push(e);
       },
       {"{event=\"mouse\",mx=100,my=50,mb=1}"}, {"{event=\"mouse\",mx=100,my=50,mb=0}"}},
      {"windowed, the pointer may leave the screen", [] { fake_pointer = {-3, 1100, 0}; },
       {"{event=\"mouse\",mx=-1,my=550,mb=0}"}, {}},
      {"motion while unlocked sends nothing of its own", [] { push_motion(5, 5); }, {}, {}},
  };
  for (const pump_case &c : cases) {
    SCOPED_TRACE(c.name);
    c.before();
    EXPECT_EQ(pump(), c.first);
    EXPECT_EQ(pump(), c.second);
  }
}

TEST_F(InputEvents, FocusQuitAndClose) {
  // For 100 ms after the window gains focus no key is down.
  fake_keys[SDL_SCANCODE_Z] = 1;
  push_window(SDL_WINDOWEVENT_FOCUS_GAINED);
  push_key(SDL_SCANCODE_X);
  EXPECT_EQ(pump(), msgs{});
  EXPECT_EQ(app.window_focused, 1);
  EXPECT_GT(app.last_activity_ms, 0);
  EXPECT_EQ(pump(), msgs{});
  SDL_Delay(110);
  EXPECT_EQ(pump(), msgs{"{event=\"keydown\",scancode=29}"});

  push_window(SDL_WINDOWEVENT_FOCUS_LOST);
  pump();
  EXPECT_EQ(app.window_focused, 0);
  push_window(SDL_WINDOWEVENT_RESTORED);
  pump();
  EXPECT_EQ(app.window_focused, 1);

  EXPECT_EQ(app.exit_requested, 0);
  push_window(SDL_WINDOWEVENT_CLOSE);
  pump();
  EXPECT_EQ(app.exit_requested, 1);
  app.exit_requested = 0;
  SDL_Event quit{};
  quit.type = SDL_QUIT;
  push(quit);
  pump();
  EXPECT_EQ(app.exit_requested, 1);
}

TEST_F(InputEvents, LockedMouse) {
  fake_pointer = {201, 101, 0};
  EXPECT_EQ(pump(), msgs{"{event=\"mouse\",mx=100,my=50,mb=0}"});
  // The display process asks for the lock: event and move sensitivity 64.
  poke_proc(display, mouse_lock_flags_address, 4);
  poke_proc(display, mouse_event_sensitivity_address, 64);
  poke_proc(display, mouse_move_sensitivity_address, 64);
  apply_display_mouse_lock();
  ASSERT_EQ(app.mouse_lock.flags, 4);
  EXPECT_EQ(app.mouse_lock.drop_next_motion, 1);
  ASSERT_EQ(warps.size(), 1u);
  EXPECT_EQ(warps[0].x, 480);  // the window's centre
  EXPECT_EQ(warps[0].y, 270);

  // The first movement after locking only clears; then one screen pixel (two
  // window pixels) right gives one unit.
  app.mouse_lock.dx = 999;
  push_motion(500, 300);
  push_motion(482, 270);
  EXPECT_EQ(pump(), (msgs{"{event=\"mouse\",mx=111,my=65,mb=0}",
                          "{event=\"mouselockedmove\",locked_dx=1,locked_dy=0}"}));
  EXPECT_EQ(warps.back().x, 480);
  EXPECT_EQ(app.mouse_lock.drop_next_motion, 0);

  // Half a pixel up and left, twice: nothing, then one unit each way.
  push_motion(479, 269);
  EXPECT_EQ(pump(), msgs{});
  push_motion(479, 269);
  EXPECT_EQ(pump(), (msgs{"{event=\"mouse\",mx=110,my=64,mb=0}",
                          "{event=\"mouselockedmove\",locked_dx=-1,locked_dy=-1}"}));

  // Whole units are taken toward zero: 200 gives 3 and keeps 8.
  app.mouse_lock.dx = 200;
  app.mouse_lock.dy = -200;
  EXPECT_EQ(pump(), msgs{"{event=\"mouselockedmove\",locked_dx=3,locked_dy=-3}"});
  EXPECT_EQ(app.mouse_lock.dx, 8);
  EXPECT_EQ(app.mouse_lock.dy, -8);

  // Unlocking puts the host pointer back on the virtual position.
  poke_proc(display, mouse_lock_flags_address, 0);
  apply_display_mouse_lock();
  EXPECT_EQ(app.mouse_lock.flags, 0);
  EXPECT_EQ(warps.back().x, 221);
  EXPECT_EQ(warps.back().y, 129);

  // Fullscreen keeps the pointer on the picture.
  fake_pointer = {1000, -5, 0};
  warps.clear();
  os_lock_mouse_cursor(0, 0, 0, true, &app.mouse_lock);
  ASSERT_EQ(warps.size(), 1u);
  EXPECT_EQ(warps[0].x, 959);
  EXPECT_EQ(warps[0].y, 0);
}

TEST_F(InputEvents, ARebootEndsTheLock) {
  poke_proc(display, mouse_lock_flags_address, 4);
  poke_proc(display, mouse_event_sensitivity_address, 64);
  apply_display_mouse_lock();
  push_motion(500, 300);
  push_motion(481, 270);
  pump();
  EXPECT_EQ(app.mouse_lock.flags, 4);
  EXPECT_NE(app.mouse_lock.dx, 0);
  // The reset clears the application state; the new display process asks for
  // no lock: the lock is simply gone, with nothing put back and nothing sent
  // for the motion it had gathered.
  app = app_record{};
  poke_proc(display, mouse_lock_flags_address, 0);
  warps.clear();
  apply_display_mouse_lock();
  EXPECT_TRUE(warps.empty());
  fake_pointer = {201, 101, 0};
  EXPECT_EQ(pump(), msgs{"{event=\"mouse\",mx=100,my=50,mb=0}"});
}

TEST_F(InputEvents, AHostThatAnswersAWarpWithMotion) {
  // Some video drivers report every warp as a motion event to where the
  // pointer went; the pump must not keep warping to the centre.
  os_warp_host_pointer = [](int x, int y) {
    warps.push_back({x, y});
    if (warps.size() < 50) push_motion(x, y);
  };
  os_lock_mouse_cursor(4, 64, 64, false, &app.mouse_lock);
  pump();
  warps.clear();
  push_motion(490, 270);
  pump();
  EXPECT_EQ(warps.size(), 1u);
}

TEST_F(InputEvents, DroppedFiles) {
  host_put("my file(1).txt", "hello");
  host_put("empty.txt", "");
  std::filesystem::create_directories(host_path("folder"));
  const std::string notice =
      "{event=\"user_notification\",content=\"** dropping folders (and size zero files) currently "
      "not supported **\"}";
  push_drop(host_path("my file(1).txt"));
  EXPECT_EQ(pump(), msgs{"{event=\"drop_items\",items={{tuk_type=\"file_reference\",fullpath=\"/"
                         "ram/drop/my_file_1_.txt\"}}}"});
  EXPECT_EQ(get("/ram/drop/my_file_1_.txt"), "hello");
  push_drop(host_path("empty.txt"));
  EXPECT_EQ(pump(), msgs{notice});
  push_drop(host_path("folder"));
  EXPECT_EQ(pump(), msgs{notice});
  push_drop(host_path("missing.txt"));
  EXPECT_EQ(pump(), msgs{}) << "nothing was copied: nothing is announced";
}

TEST_F(InputEvents, SystemFunctionsReachTheHost) {
  using script_api_test::R;
  set_current_process(display);
  auto run = [&](const std::string &code) { return script_api_test::run_on(display->lua_state, code); };
  // Key names by scancode; none outside the table or for a scancode without a key.
  EXPECT_EQ(run("return stat(302, 4), stat(302, 40), stat(302, 0), stat(302, 512), stat(302, -1)"),
            (R{"s:A", "s:Return", "nil", "nil", "nil"}));
  // stat(988) pumps once more: both Ctrl keys, and the events reach process 3.
  fake_keys[224] = 1;
  EXPECT_EQ(run("return stat(988)"), R{"f:0"});
  fake_keys[228] = 1;
  SDL_Event e{};
  e.type = SDL_MOUSEWHEEL;
  e.wheel.y = 1;
  push(e);
  EXPECT_EQ(run("return stat(988)"), R{"f:1"});
  EXPECT_EQ(pump(), (msgs{"{event=\"keydown\",scancode=224}", "{event=\"mousewheel\",wheel_x=0,wheel_y=1}",
                          "{event=\"keydown\",scancode=228}"}));
  // _warp_mouse: a screen point onto the picture (two window pixels a pixel).
  for (const auto &[args, x, y] : std::vector<std::tuple<std::string, int, int>>{
           {"100, 50", 200, 100}, {"479.9, 269", 958, 538}, {"-5, 1e9", 0, 538}, {"", 0, 0}}) {
    run("_warp_mouse(" + args + ")");
    ASSERT_FALSE(warps.empty());
    EXPECT_EQ(warps.back().x, x) << args;
    EXPECT_EQ(warps.back().y, y) << args;
  }
  // _set_host_window_icon takes a 16 x 16 u8 bitmap (charged), clears with no
  // userdata, and ignores any other userdata.
  for (const auto &[args, charged] : std::vector<std::pair<std::string, bool>>{
           {"userdata('u8', 16, 16)", true}, {"", false}, {"'x'", false},
           {"userdata('u8', 16, 8)", false}, {"userdata('i16', 16, 16)", false},
           {"userdata('u8', 256)", false}}) {
    cpu_cycles = 0;
    run("_set_host_window_icon(" + args + ")");
    EXPECT_EQ(cpu_cycles >= 16384, charged) << args;  // the script's own work stays far below
  }
}

TEST(DropPath, CleanedNamesStayInTheDropFolder) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/home/u/my file(1).txt", "/ram/drop/my_file_1_.txt"},
      {"C:\\Users\\u\\pic.png", "/ram/drop/pic.png"},
      {"/a/b/..", "/ram/drop/__"},
      {"/a/b/.", "/ram/drop/_"},
      {"/a/b/", "/ram/drop/_"},
      {"", "/ram/drop/_"},
      {"/a/...", "/ram/drop/..."},
      {"/a/\xC3\xA9t\xC3\xA9.txt", "/ram/drop/__t__.txt"},
      {"/a/#x?.lua", "/ram/drop/_x_.lua"},
      {"/a/" + std::string(300, 'n'), "/ram/drop/" + std::string(path_segment_max, 'n')},
  };
  for (const auto &[host, expected] : cases) {
    std::string got = drop_path_for(host);
    EXPECT_EQ(got, expected) << host;
    auto norm = normalise_kestrune_path_from(got, "/");
    ASSERT_TRUE(norm) << got;
    EXPECT_EQ(*norm, got);
    EXPECT_TRUE(path_is_under(*norm, "/ram/drop") && *norm != "/ram/drop") << got;
  }
}

TEST(MouseMapping, ScreenPointsAndLockedUnits) {
  struct map_case {
    int hx, hy;
    SDL_Rect rect;
    bool fullscreen;
    int x, y;
  };
  const std::vector<map_case> maps = {
      {201, 101, {0, 0, 960, 540}, false, 100, 50},
      {-3, 0, {0, 0, 960, 540}, false, -1, 0},      // toward zero
      {1000, 600, {0, 0, 960, 540}, false, 500, 300},
      {1000, 600, {0, 0, 960, 540}, true, 479, 269},
      {10, 10, {40, 15, 1200, 675}, true, 0, 0},
      {40, 15, {40, 15, 1200, 675}, true, 0, 0},
      {1239, 689, {40, 15, 1200, 675}, true, 479, 269},
      {5, 5, {0, 0, 0, 0}, false, 2400, 1350},  // no area: taken as 1 x 1
      {5, 5, {3, 3, -4, 0}, true, 479, 269},
  };
  for (const map_case &m : maps) {
    SDL_Point p = screen_point_from_window(m.hx, m.hy, m.rect, m.fullscreen);
    EXPECT_EQ(p.x, m.x) << m.hx << "," << m.hy;
    EXPECT_EQ(p.y, m.y) << m.hx << "," << m.hy;
  }
  const std::vector<std::vector<int32_t>> units = {
      {200, 3, 8}, {-200, -3, -8}, {63, 0, 63}, {64, 1, 0}, {-64, -1, 0}, {0, 0, 0}};
  for (const auto &u : units) {
    int32_t acc = u[0];
    EXPECT_EQ(take_locked_units(&acc), u[1]) << u[0];
    EXPECT_EQ(acc, u[2]) << u[0];
  }
}

}  // namespace
