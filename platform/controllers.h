// Game controllers and the button state of the players: 32 controller slots,
// the controller mapping files, validated axis and button reads, and the 16
// analogue button values each player gets from its controller and, for player
// 0, the keyboard.
#pragma once

#include <SDL.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

constexpr int metacon_max = 32;
constexpr int metacon_axes = 32;
constexpr int metacon_buttons = 21;  // game-controller buttons 0-20
constexpr int player_buttons = 16;

// One controller slot. In use while either handle is set; slots in use are
// kept at the front of the table.
struct metacon_slot {
  SDL_GameController *controller = nullptr;
  SDL_Joystick *joystick = nullptr;  // a device SDL knows no mapping for
  SDL_JoystickID instance_id = -1;
  std::array<bool, metacon_axes> axis_validated{};
  uint32_t buttons_validated = 0;  // bits 0-20
};
extern std::array<metacon_slot, metacon_max> metacon;

bool metacon_in_use(const metacon_slot &s);
int metacon_count();

// At system start: the mapping files, then every joystick present.
void hovi_joystick_init();
// Reads the mapping files: "sdl_controllers.txt" in the program folder, then
// the one in the data folder (made when missing). SDL's own database of
// mappings is already in place.
void add_sdl_controllers();
// One mapping file's lines, each trimmed (leading bytes below '!', trailing
// blanks) and read whole however long; empty lines and lines that begin with
// '/' are left out.
void add_controller_mappings_from_text(std::string_view text);
// Opens the device at a device index into a free slot, unless a slot already
// holds it (SDL announces the devices present at start once more).
void connect_joystick(int device_index);
// The pump's device events: a device came (by device index), a device went
// (by instance id: both handles closed, the slot cleared, the rest moved up).
void controller_added(int device_index);
void controller_removed(SDL_JoystickID instance_id);
void repack_metacon();
// Closes every slot (tests, before SDL_Quit).
void release_all_controllers();

// The validated values of two axes of slot index (0 when there is none, and
// 0 for an axis until it has once read within -8191..8191).
void hovi_get_joystick_axes(int index, int axis_a, int axis_b, int32_t *a, int32_t *b);
// Axes 0 and 1 and the mask of validated buttons held (a button counts once it
// has been seen released).
void hovi_get_joystick(int index, int32_t *x, int32_t *y, uint32_t *buttons);

// One half of a stick as a button value: clamp((|v| x 256 - 0x200000) / 0x5800, 0, 255).
uint8_t stick_half_value(int32_t v);
// The keyboard's buttons for player 0 from a key table of 512 entries.
void keyboard_button_states(const int32_t *keys, uint8_t out[player_buttons]);
// A controller's buttons and sticks as button values.
void controller_button_states(int32_t lx, int32_t ly, int32_t rx, int32_t ry, uint32_t mask,
                              uint8_t out[player_buttons]);
// The 16 button values of a player (the slot of that index, and for player 0
// the keyboard too); returns the controller's button mask.
uint32_t os_get_button_states(int player, uint8_t out[player_buttons]);
