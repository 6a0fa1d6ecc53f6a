// Game controllers, their mapping files and the players' button values.
#include "platform/controllers.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/atomic_write.h"
#include "platform/event_pump.h"
#include "platform/host_log.h"
#include "platform/host_paths.h"

std::array<metacon_slot, metacon_max> metacon;

namespace {

constexpr const char *mapping_file_name = "sdl_controllers.txt";
constexpr const char *mapping_file_default = "// add SDL2 game controller mappings to this file\n";
// An axis counts once it has been read this close to rest.
constexpr int32_t axis_rest_limit = 8191;
constexpr int64_t stick_offset = 0x200000;
constexpr int64_t stick_divisor = 0x5800;
constexpr uint8_t button_full = 255;

// Each complaint is logged once per run.
bool logged_not_attached = false;
bool logged_button_not_validated = false;

bool slot_attached_controller(const metacon_slot &s) {
  return s.controller && SDL_GameControllerGetAttached(s.controller);
}

void close_slot(metacon_slot &s) {
  if (s.controller) SDL_GameControllerClose(s.controller);
  if (s.joystick) SDL_JoystickClose(s.joystick);
  s = metacon_slot{};
}

void log_counts(SDL_Joystick *j) {
  hovi_debugf(" Number of Axes: %d\n", SDL_JoystickNumAxes(j));
  hovi_debugf(" Number of Buttons: %d\n", SDL_JoystickNumButtons(j));
  hovi_debugf(" Number of Balls: %d\n", SDL_JoystickNumBalls(j));
}

int32_t validated_axis(metacon_slot &s, int axis, int32_t v) {
  if (axis < 0 || axis >= metacon_axes) return 0;
  if (v >= -axis_rest_limit && v <= axis_rest_limit) s.axis_validated[size_t(axis)] = true;
  return s.axis_validated[size_t(axis)] ? v : 0;
}

// A raw joystick's axis or button beyond its count reads as 0 without asking
// SDL (which would set an error text every frame).
int32_t raw_axis(SDL_Joystick *j, int axis) {
  return axis >= 0 && axis < SDL_JoystickNumAxes(j) ? SDL_JoystickGetAxis(j, axis) : 0;
}

bool trimmed_byte(char c) { return static_cast<unsigned char>(c) < '!'; }

bool read_regular_file(const std::string &path, std::string *text) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  *text = all.str();
  return true;
}

void read_mapping_file(const std::string &path, bool create_when_missing) {
  std::string text;
  if (!read_regular_file(path, &text)) {
    if (create_when_missing)
      write_host_file_atomically(path, mapping_file_default, strlen(mapping_file_default));
    return;
  }
  hovi_debugf("Reading controller mappings: %s\n", path.c_str());
  add_controller_mappings_from_text(text);
}

}  // namespace

bool metacon_in_use(const metacon_slot &s) { return s.controller || s.joystick; }

int metacon_count() {
  return int(std::count_if(metacon.begin(), metacon.end(), metacon_in_use));
}

void add_controller_mappings_from_text(std::string_view text) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    while (!line.empty() && trimmed_byte(line.front())) line.remove_prefix(1);
    while (!line.empty() && trimmed_byte(line.back())) line.remove_suffix(1);
    if (line.empty() || line.front() == '/') continue;
    std::string mapping(line);
    switch (SDL_GameControllerAddMapping(mapping.c_str())) {
      case 1: hovi_debugf(" added controller mapping: %s\n", mapping.c_str()); break;
      case 0: hovi_debugf(" updated controller mapping: %s\n", mapping.c_str()); break;
      default: hovi_debugf(" failed to add controller mapping: %s\n", mapping.c_str()); break;
    }
  }
}

void add_sdl_controllers() {
  // SDL's own database of controller mappings is compiled into the library;
  // the two files add to it or override it.
  read_mapping_file(hovi_prefix_with_program_path(mapping_file_name), false);
  read_mapping_file(hovi_prefix_with_appdata_path(mapping_file_name), true);
}

void repack_metacon() {
  std::stable_partition(metacon.begin(), metacon.end(), metacon_in_use);
}

void connect_joystick(int device_index) {
  if (device_index < 0 || device_index >= metacon_max) return;
  SDL_JoystickID id = SDL_JoystickGetDeviceInstanceID(device_index);
  if (id < 0) return;
  for (const metacon_slot &s : metacon)
    if (metacon_in_use(s) && s.instance_id == id) return;
  auto free_slot = std::find_if_not(metacon.begin(), metacon.end(), metacon_in_use);
  if (free_slot == metacon.end()) return;
  metacon_slot &s = *free_slot;
  s = metacon_slot{};
  hovi_debugf("connecting joystick %d\n", device_index);

  if (SDL_IsGameController(device_index)) {
    s.controller = SDL_GameControllerOpen(device_index);
    if (!s.controller) {
      hovi_debugf("** could not open controller %d: %s\n", device_index, SDL_GetError());
      return;
    }
    SDL_Joystick *j = SDL_GameControllerGetJoystick(s.controller);
    const char *name = SDL_GameControllerName(s.controller);
    hovi_debugf("Controller %d: %s\n", device_index, name ? name : "");
    s.instance_id = SDL_JoystickInstanceID(j);
    log_counts(j);
    char *mapping = SDL_GameControllerMapping(s.controller);
    hovi_debugf(" Mapping: %s\n", mapping ? mapping : "");
    SDL_free(mapping);
  } else {
    s.joystick = SDL_JoystickOpen(device_index);
    if (!s.joystick) {
      hovi_debugf("** could not open joystick %d: %s\n", device_index, SDL_GetError());
      return;
    }
    const char *name = SDL_JoystickName(s.joystick);
    hovi_debugf("Unmapped Joystick %d: %s\n", device_index, name ? name : "");
    s.instance_id = SDL_JoystickInstanceID(s.joystick);
    log_counts(s.joystick);
  }
  repack_metacon();
}

void controller_added(int device_index) {
  repack_metacon();
  connect_joystick(device_index);
}

void controller_removed(SDL_JoystickID instance_id) {
  auto s = std::find_if(metacon.begin(), metacon.end(), [&](const metacon_slot &m) {
    return metacon_in_use(m) && m.instance_id == instance_id;
  });
  if (s != metacon.end())
    close_slot(*s);
  else
    hovi_debug("** failed to disconnect joystick\n");
  repack_metacon();
}

void release_all_controllers() {
  for (metacon_slot &s : metacon) close_slot(s);
}

void hovi_joystick_init() {
  release_all_controllers();
  add_sdl_controllers();
  hovi_debug(">searching for joysticks\n");
  int n = SDL_NumJoysticks();
  hovi_debugf("found %d joysticks\n", std::max(n, 0));
  for (int i = 0; i < n; i++) connect_joystick(i);
  hovi_debug("<ok\n");
}

void hovi_get_joystick_axes(int index, int axis_a, int axis_b, int32_t *a, int32_t *b) {
  *a = *b = 0;
  if (index < 0 || index >= metacon_max || !metacon_in_use(metacon[size_t(index)])) return;
  metacon_slot &s = metacon[size_t(index)];
  int32_t va, vb;
  if (slot_attached_controller(s)) {
    va = SDL_GameControllerGetAxis(s.controller, SDL_GameControllerAxis(axis_a));
    vb = SDL_GameControllerGetAxis(s.controller, SDL_GameControllerAxis(axis_b));
  } else if (s.joystick) {
    va = raw_axis(s.joystick, axis_a);
    vb = raw_axis(s.joystick, axis_b);
  } else {
    if (!logged_not_attached) hovi_debugf("** could not read joystick %d (not attached)\n", index);
    logged_not_attached = true;
    return;
  }
  *a = validated_axis(s, axis_a, va);
  *b = validated_axis(s, axis_b, vb);
}

void hovi_get_joystick(int index, int32_t *x, int32_t *y, uint32_t *buttons) {
  hovi_get_joystick_axes(index, 0, 1, x, y);
  *buttons = 0;
  if (index < 0 || index >= metacon_max) return;
  metacon_slot &s = metacon[size_t(index)];
  bool controller = slot_attached_controller(s);
  if (!controller && !s.joystick) return;
  int count = controller ? metacon_buttons : std::min(SDL_JoystickNumButtons(s.joystick), metacon_buttons);
  for (int b = 0; b < count; b++) {
    uint32_t bit = uint32_t{1} << b;
    bool pressed = controller ? SDL_GameControllerGetButton(s.controller, SDL_GameControllerButton(b))
                              : SDL_JoystickGetButton(s.joystick, b);
    if (!pressed) {
      s.buttons_validated |= bit;
    } else if (s.buttons_validated & bit) {
      *buttons |= bit;
    } else if (controller && !logged_button_not_validated) {
      hovi_debugf("** button %d not validated on joystick %d\n", b, index);
      logged_button_not_validated = true;
    }
  }
}

uint8_t stick_half_value(int32_t v) {
  int64_t magnitude = v < 0 ? -int64_t{v} : int64_t{v};
  int64_t value = (magnitude * 256 - stick_offset) / stick_divisor;
  return uint8_t(std::clamp<int64_t>(value, 0, button_full));
}

void keyboard_button_states(const int32_t *keys, uint8_t out[player_buttons]) {
  static const struct {
    int button;
    SDL_Scancode keys[2];
  } bindings[] = {
      {0, {SDL_SCANCODE_LEFT}},           {1, {SDL_SCANCODE_RIGHT}}, {2, {SDL_SCANCODE_UP}},
      {3, {SDL_SCANCODE_DOWN}},           {4, {SDL_SCANCODE_Z, SDL_SCANCODE_C}},
      {5, {SDL_SCANCODE_X, SDL_SCANCODE_V}}, {8, {SDL_SCANCODE_A}},  {9, {SDL_SCANCODE_D}},
      {10, {SDL_SCANCODE_W}},             {11, {SDL_SCANCODE_S}},    {12, {SDL_SCANCODE_F}},
      {13, {SDL_SCANCODE_G}},             {14, {SDL_SCANCODE_Q}},    {15, {SDL_SCANCODE_E}},
  };
  std::fill(out, out + player_buttons, 0);
  for (const auto &b : bindings)
    for (SDL_Scancode k : b.keys)
      if (k != SDL_SCANCODE_UNKNOWN && keys[k]) out[b.button] = button_full;
  // Return is start, but not as part of Alt+Return.
  if (keys[SDL_SCANCODE_RETURN] && !keys[SDL_SCANCODE_LALT] && !keys[SDL_SCANCODE_RALT])
    out[6] = button_full;
}

void controller_button_states(int32_t lx, int32_t ly, int32_t rx, int32_t ry, uint32_t mask,
                              uint8_t out[player_buttons]) {
  auto held = [mask](int b) { return (mask & (uint32_t{1} << b)) ? button_full : uint8_t{0}; };
  auto negative = [](int32_t v) { return v < 0 ? stick_half_value(v) : uint8_t{0}; };
  auto positive = [](int32_t v) { return v > 0 ? stick_half_value(v) : uint8_t{0}; };
  out[0] = std::max(negative(lx), held(SDL_CONTROLLER_BUTTON_DPAD_LEFT));
  out[1] = std::max(positive(lx), held(SDL_CONTROLLER_BUTTON_DPAD_RIGHT));
  out[2] = std::max(negative(ly), held(SDL_CONTROLLER_BUTTON_DPAD_UP));
  out[3] = std::max(positive(ly), held(SDL_CONTROLLER_BUTTON_DPAD_DOWN));
  out[4] = held(SDL_CONTROLLER_BUTTON_A);
  out[5] = held(SDL_CONTROLLER_BUTTON_X);
  out[6] = std::max(held(SDL_CONTROLLER_BUTTON_START), held(SDL_CONTROLLER_BUTTON_GUIDE));
  out[7] = 0;
  out[8] = negative(rx);
  out[9] = positive(rx);
  out[10] = negative(ry);
  out[11] = positive(ry);
  out[12] = held(SDL_CONTROLLER_BUTTON_B);
  out[13] = held(SDL_CONTROLLER_BUTTON_Y);
  out[14] = held(SDL_CONTROLLER_BUTTON_LEFTSHOULDER);
  out[15] = held(SDL_CONTROLLER_BUTTON_RIGHTSHOULDER);
}

uint32_t os_get_button_states(int player, uint8_t out[player_buttons]) {
  std::fill(out, out + player_buttons, 0);
  uint32_t mask = 0;
  if (player >= 0 && player < metacon_max && metacon_in_use(metacon[size_t(player)])) {
    int32_t lx, ly, rx, ry;
    hovi_get_joystick(player, &lx, &ly, &mask);
    hovi_get_joystick_axes(player, SDL_CONTROLLER_AXIS_RIGHTX, SDL_CONTROLLER_AXIS_RIGHTY, &rx, &ry);
    controller_button_states(lx, ly, rx, ry, mask, out);
  }
  if (player == 0) {
    uint8_t keys[player_buttons];
    keyboard_button_states(os_key_table(), keys);
    for (int i = 0; i < player_buttons; i++) out[i] = std::max(out[i], keys[i]);
  }
  return mask;
}
