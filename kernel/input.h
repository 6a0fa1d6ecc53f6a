// Input in the kernel: the host's event pump wired to the display process's
// message queue, the mouse lock that process asks for in its RAM, and the
// buttons of the players as each process samples and reads them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/event_pump.h"

struct process;

constexpr int button_players = 8;
constexpr int buttons_per_player = 16;
constexpr int button_count = button_players * buttons_per_player;
constexpr int button_pressed_at = 64;  // a button value counts as pressed from here
constexpr int32_t button_ram_address = 0x5580;
constexpr int32_t button_delay_address = 0x5F5C;     // first repeat delay (0: 30, 255: never)
constexpr int32_t button_interval_address = 0x5F5D;  // repeat interval (0: 8, 255: never)
constexpr int32_t mouse_lock_flags_address = 0x5F2D;
constexpr int32_t mouse_event_sensitivity_address = 0x5F28;
constexpr int32_t mouse_move_sensitivity_address = 0x5F29;

// The event message text of an input event (every kind but the drop).
std::string input_event_message(const input_event &e);
// To the display process; a dropped file is copied under "/ram/drop/" first.
void deliver_input_event(const input_event &e);
// One run of the host event pump with the application state and settings.
void pump_host_events();
// Passes the display process's mouse lock bytes to the host (once a frame).
void apply_display_mouse_lock();

// Where button values come from: the host's players (os_get_button_states).
// Tests swap in their own.
extern uint32_t (*button_source)(int player, uint8_t out[buttons_per_player]);

// One frame's sample of the buttons for P. Active: the values of all players,
// copied to RAM 0x5580, then opposite directions cancelled, sticks limited to
// the unit circle and buttons held through a wait for release forced up.
// Inactive (P has lost input): everything up, and every button waits for its
// release.
void update_buttons(process *P, bool active);
// _signal(23): every button waits for its release and reads up now.
void buttons_wait_for_release(process *P);
// btn(-1): bit 8p + k while button k (0..7) of player p is not 0, for all players.
uint64_t btn_mask(const process *P);
// btn(b, p): the value, 0 when not pressed or out of range.
int32_t btn_value(const process *P, int64_t b, int64_t p);
// btnp(-1): bit 8p + k when button k of player p went from below 64 to 64 or
// more this frame.
uint64_t btnp_mask(const process *P);
// btnp(b, p): pressed this frame, or held and due for a repeat (which it counts).
bool btnp_value(process *P, int64_t b, int64_t p);
