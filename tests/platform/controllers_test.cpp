// Game controllers on SDL's virtual joysticks: slots opened once, axis and
// button validation, the stick formula, the players' button values, connect
// and disconnect; the mapping files; the keyboard's buttons.
#include "platform/controllers.h"

#include <SDL.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/system.h"
#include "platform/event_pump.h"
#include "platform/host_log.h"
#include "platform/host_paths.h"
#include "sdl_env.h"

namespace {

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string scratch_log() {
  return testing::TempDir() + "kestrune-tests-" + std::to_string(getpid()) + "/log.txt";
}

class Controllers : public testing::Test {
 protected:
  void SetUp() override {
    env.set("SDL_VIDEODRIVER", "dummy");
    log_path = testing::TempDir() + "kestrune-controllers-" + std::to_string(getpid()) + ".txt";
    hovi_set_log_path(log_path);
    saved_config = config;
    saved_argv0 = hovi_argv0;
    sdl_host_allocations exempt;
    ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_JOYSTICK | SDL_INIT_GAMECONTROLLER | SDL_INIT_EVENTS), 0)
        << SDL_GetError();
  }
  void TearDown() override {
    release_all_controllers();
    {
      sdl_host_allocations exempt;
      SDL_Quit();
    }
    config = saved_config;
    hovi_argv0 = saved_argv0;
    hovi_set_log_path(scratch_log());
    std::filesystem::remove(log_path);
  }

  static int attach(SDL_JoystickType type) {
    int index = SDL_JoystickAttachVirtual(type, 6, 21, 0);
    EXPECT_GE(index, 0) << SDL_GetError();
    return index;
  }
  // The pump's device events, as a frame serves them.
  static void pump() {
    int32_t focused = 0, exit_requested = 0;
    int64_t activity = 0;
    event_pump_link link;
    link.window_focused = &focused;
    link.last_activity_ms = &activity;
    link.exit_requested = &exit_requested;
    start_frame(link);
  }
  // SDL's joystick behind a slot, to move its virtual axes and buttons.
  static SDL_Joystick *device(int slot) {
    return SDL_JoystickFromInstanceID(metacon[size_t(slot)].instance_id);
  }
  static void set(int slot, int axis, int value) {
    SDL_JoystickSetVirtualAxis(device(slot), axis, Sint16(value));
    SDL_JoystickUpdate();
  }
  static void press(int slot, int button, bool down) {
    SDL_JoystickSetVirtualButton(device(slot), button, down);
    SDL_JoystickUpdate();
  }
  std::string log() { return read_file(log_path); }

  scoped_env env;
  std::string log_path;
  config_record saved_config;
  std::string saved_argv0;
};

TEST_F(Controllers, APresentControllerIsOpenedOnceAndClosedOnDisconnect) {
  int index = attach(SDL_JOYSTICK_TYPE_GAMECONTROLLER);
  hovi_joystick_init();
  ASSERT_EQ(metacon_count(), 1);
  ASSERT_NE(metacon[0].controller, nullptr);
  EXPECT_EQ(metacon[0].joystick, nullptr);
  SDL_JoystickID id = metacon[0].instance_id;
  // SDL announces the same device once more: still one slot, one handle.
  pump();
  EXPECT_EQ(metacon_count(), 1);
  EXPECT_NE(log().find("found 1 joysticks\n"), std::string::npos);
  EXPECT_NE(log().find("Controller 0: Virtual Controller\n"), std::string::npos);
  EXPECT_NE(log().find(" Mapping: "), std::string::npos);

  // A raw joystick joins behind it; the first one goes, the second moves up.
  int raw = attach(SDL_JOYSTICK_TYPE_UNKNOWN);
  pump();
  ASSERT_EQ(metacon_count(), 2);
  EXPECT_NE(metacon[1].joystick, nullptr);
  EXPECT_NE(log().find("Unmapped Joystick 1: Virtual Joystick\n"), std::string::npos);
  SDL_JoystickID raw_id = metacon[1].instance_id;
  ASSERT_EQ(SDL_JoystickDetachVirtual(index), 0);
  pump();
  EXPECT_EQ(metacon_count(), 1);
  EXPECT_EQ(metacon[0].instance_id, raw_id);
  EXPECT_EQ(SDL_JoystickFromInstanceID(id), nullptr) << "the slot's handle is closed";
  (void)raw;
  ASSERT_EQ(SDL_JoystickDetachVirtual(0), 0);
  pump();
  EXPECT_EQ(metacon_count(), 0);
  EXPECT_EQ(SDL_JoystickFromInstanceID(raw_id), nullptr);

  // A device nobody holds: logged.
  controller_removed(12345);
  EXPECT_NE(log().find("** failed to disconnect joystick\n"), std::string::npos);
}

TEST_F(Controllers, AxesAndButtonsAreValidatedBeforeTheyCount) {
  attach(SDL_JOYSTICK_TYPE_GAMECONTROLLER);
  hovi_joystick_init();
  ASSERT_EQ(metacon_count(), 1);
  int32_t a = 1, b = 1, x, y;
  uint32_t mask = 0;
  // A stick resting off centre reads 0 until it has once been near the middle.
  set(0, 0, 20000);
  set(0, 1, -9000);
  hovi_get_joystick_axes(0, 0, 1, &a, &b);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 0);
  set(0, 0, 8191);
  hovi_get_joystick_axes(0, 0, 1, &a, &b);
  EXPECT_EQ(a, 8191);
  EXPECT_EQ(b, 0);
  set(0, 0, 20000);
  hovi_get_joystick_axes(0, 0, 1, &a, &b);
  EXPECT_EQ(a, 20000);
  // Slots without a device, and indexes outside the table, read 0.
  for (int index : {1, 31, 32, -1}) {
    a = b = 7;
    hovi_get_joystick_axes(index, 0, 1, &a, &b);
    EXPECT_EQ(a + b, 0) << index;
  }

  // A button held since before the first read is up until released once.
  press(0, SDL_CONTROLLER_BUTTON_A, true);
  hovi_get_joystick(0, &x, &y, &mask);
  EXPECT_EQ(mask, 0u);
  EXPECT_NE(log().find("** button 0 not validated on joystick 0\n"), std::string::npos);
  press(0, SDL_CONTROLLER_BUTTON_A, false);
  hovi_get_joystick(0, &x, &y, &mask);
  EXPECT_EQ(mask, 0u);
  press(0, SDL_CONTROLLER_BUTTON_A, true);
  press(0, SDL_CONTROLLER_BUTTON_DPAD_LEFT, true);
  hovi_get_joystick(0, &x, &y, &mask);
  EXPECT_EQ(mask, 1u << SDL_CONTROLLER_BUTTON_A | 1u << SDL_CONTROLLER_BUTTON_DPAD_LEFT);
  EXPECT_EQ(x, 20000);
}

TEST_F(Controllers, PlayersButtonValues) {
  attach(SDL_JOYSTICK_TYPE_GAMECONTROLLER);
  hovi_joystick_init();
  ASSERT_EQ(metacon_count(), 1);
  for (int axis = 0; axis < 4; axis++) set(0, axis, 0);
  for (int button = 0; button < metacon_buttons; button++) press(0, button, false);
  uint8_t out[player_buttons];
  os_get_button_states(0, out);  // validates every axis and button

  struct pad_case {
    const char *name;
    std::array<int, 4> axes;  // left x, left y, right x, right y
    std::vector<int> buttons;
    std::array<uint8_t, player_buttons> expected;
  };
  const std::vector<pad_case> cases = {
      {"at rest", {0, 0, 0, 0}, {}, {}},
      {"left stick full left and a little down", {-32768, 8300, 0, 0}, {},
       {255, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"right stick", {0, 0, 30632, -30631}, {}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 254, 0, 0, 0, 0, 0}},
      {"d-pad and face buttons",
       {0, 0, 0, 0},
       {SDL_CONTROLLER_BUTTON_DPAD_RIGHT, SDL_CONTROLLER_BUTTON_DPAD_UP, SDL_CONTROLLER_BUTTON_A,
        SDL_CONTROLLER_BUTTON_X, SDL_CONTROLLER_BUTTON_B, SDL_CONTROLLER_BUTTON_Y},
       {0, 255, 255, 0, 255, 255, 0, 0, 0, 0, 0, 0, 255, 255, 0, 0}},
      {"start, guide and shoulders",
       {0, 0, 0, 0},
       {SDL_CONTROLLER_BUTTON_GUIDE, SDL_CONTROLLER_BUTTON_LEFTSHOULDER,
        SDL_CONTROLLER_BUTTON_RIGHTSHOULDER, SDL_CONTROLLER_BUTTON_DPAD_DOWN},
       {0, 0, 0, 255, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0, 255, 255}},
  };
  for (const pad_case &c : cases) {
    SCOPED_TRACE(c.name);
    for (int axis = 0; axis < 4; axis++) set(0, axis, c.axes[size_t(axis)]);
    for (int button = 0; button < metacon_buttons; button++) press(0, button, false);
    for (int button : c.buttons) press(0, button, true);
    uint32_t mask = os_get_button_states(0, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + player_buttons),
              std::vector<uint8_t>(c.expected.begin(), c.expected.end()));
    uint32_t want = 0;
    for (int button : c.buttons) want |= 1u << button;
    EXPECT_EQ(mask, want);
  }
  // Another player's slot is empty.
  EXPECT_EQ(os_get_button_states(1, out), 0u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + player_buttons), std::vector<uint8_t>(player_buttons, 0));
}

TEST(StickAndKeys, StickFormulaAndKeyboardButtons) {
  const std::vector<std::pair<int32_t, int>> sticks = {
      {0, 0},      {8191, 0},    {8192, 0},    {-8280, 1},   {8280, 1}, {20000, 134},
      {30631, 254}, {30632, 255}, {32767, 255}, {-32768, 255}};
  for (const auto &[v, want] : sticks) EXPECT_EQ(stick_half_value(v), want) << v;

  struct key_case {
    std::vector<SDL_Scancode> down;
    std::vector<int> buttons;  // the buttons at 255
  };
  const std::vector<key_case> keys = {
      {{SDL_SCANCODE_LEFT, SDL_SCANCODE_RIGHT, SDL_SCANCODE_UP, SDL_SCANCODE_DOWN}, {0, 1, 2, 3}},
      {{SDL_SCANCODE_C, SDL_SCANCODE_V}, {4, 5}},
      {{SDL_SCANCODE_Z, SDL_SCANCODE_X}, {4, 5}},
      {{SDL_SCANCODE_RETURN}, {6}},
      {{SDL_SCANCODE_RETURN, SDL_SCANCODE_LALT}, {}},
      {{SDL_SCANCODE_RETURN, SDL_SCANCODE_RALT}, {}},
      {{SDL_SCANCODE_A, SDL_SCANCODE_D, SDL_SCANCODE_W, SDL_SCANCODE_S}, {8, 9, 10, 11}},
      {{SDL_SCANCODE_F, SDL_SCANCODE_G, SDL_SCANCODE_Q, SDL_SCANCODE_E}, {12, 13, 14, 15}},
      {{SDL_SCANCODE_SPACE, SDL_SCANCODE_LCTRL}, {}},
  };
  for (const key_case &k : keys) {
    std::vector<int32_t> table(key_table_size, 0);
    for (SDL_Scancode s : k.down) table[size_t(s)] = 1;
    uint8_t out[player_buttons];
    keyboard_button_states(table.data(), out);
    std::vector<uint8_t> want(player_buttons, 0);
    for (int b : k.buttons) want[size_t(b)] = 255;
    EXPECT_EQ(std::vector<uint8_t>(out, out + player_buttons), want) << int(k.down[0]);
  }
}

TEST_F(Controllers, MappingFilesAreReadLineByLineAndTheDataFolderOneMade) {
  std::string root = testing::TempDir() + "kestrune-mappings-" + std::to_string(getpid());
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root + "/prog");
  std::filesystem::create_directories(root + "/home");
  hovi_argv0 = root + "/prog/kestrune";
  config.home_path = root + "/home";
  // A mapping whose line is far longer than one read piece, a comment, blank
  // and padded lines, Windows line ends, and one line SDL refuses.
  std::string long_name(1500, 'L');
  std::string guid = "03000000aabb00001122000001000000";
  std::string long_mapping = guid + "," + long_name + ",a:b0,b:b1,x:b2,y:b3,leftx:a0,lefty:a1";
  std::string updated = "03000000aabb00001122000001000000,Short,a:b1,b:b0,leftx:a0,lefty:a1";
  {
    std::ofstream f(root + "/prog/sdl_controllers.txt", std::ios::binary);
    f << "// my pads\r\n\r\n   \t" << long_mapping << "  \r\n" << updated << "\n"
      << "not a mapping at all\n/also a comment";
  }
  add_sdl_controllers();
  std::string data_file = root + "/home/sdl_controllers.txt";
  EXPECT_EQ(read_file(data_file), "// add SDL2 game controller mappings to this file\n");
  std::string l = log();
  EXPECT_NE(l.find("Reading controller mappings: " + root + "/prog/sdl_controllers.txt\n"),
            std::string::npos);
  EXPECT_NE(l.find(" added controller mapping: " + long_mapping + "\n"), std::string::npos);
  EXPECT_NE(l.find(" updated controller mapping: " + updated + "\n"), std::string::npos);
  EXPECT_NE(l.find(" failed to add controller mapping: not a mapping at all\n"), std::string::npos);
  EXPECT_EQ(l.find("mapping: " + long_name.substr(0, 10)), std::string::npos)
      << "no piece of a long line is read as a line of its own";
  EXPECT_EQ(l.find("my pads"), std::string::npos);

  // Once it exists, the data folder's file is read like the other.
  add_sdl_controllers();
  EXPECT_NE(log().find("Reading controller mappings: " + data_file + "\n"), std::string::npos);
  std::filesystem::remove_all(root);
}

}  // namespace
