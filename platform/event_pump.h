// The event pump: once a frame it reads every pending host event and the
// keyboard and pointer, keeps the key tables current and hands what the user
// did to the kernel as input events.
#pragma once

#include <cstdint>

constexpr int key_table_size = 512;  // entries of the key tables, by host scancode

// What the user did, as the kernel turns it into an event message.
struct input_event {
  enum kind_t { keydown, keyup, textinput, mousewheel, mouse, mouselockedmove, drop } kind;
  int32_t a = 0, b = 0, c = 0;  // scancode; wheel x, y; mx, my, mb; locked dx, dy
  const char *text = nullptr;   // typed text, or the host path of a dropped file
};

// The mouse lock's own state. The kernel keeps it with the application state,
// so a reboot ends the lock; the rest of the mouse state lives for the run.
struct mouse_lock_state {
  int32_t flags = 0;             // the last lock request: bit 2 locks
  int32_t dx = 0, dy = 0;        // locked-move accumulators, in 64ths of a unit
  int32_t drop_next_motion = 0;  // the first movement after locking only clears them
};

// What the pump reads and changes of the kernel's state, and where its events
// go. The pointers stay valid for the call.
struct event_pump_link {
  int32_t *window_focused = nullptr;
  int64_t *last_activity_ms = nullptr;
  int32_t *exit_requested = nullptr;
  mouse_lock_state *mouse_lock = nullptr;  // none: the mouse keeps one of its own
  bool fullscreen = false;
  void (*deliver)(const input_event &e) = nullptr;
};

// The pump, once a frame (start_frame) and once more for stat(988).
void start_frame(const event_pump_link &link);
void handle_sdl_messages(const event_pump_link &link);

// The key table's entry (1 = down) for a scancode; 0 outside the table.
int32_t os_key_state(int64_t scancode);
// The host's name of the key at that scancode, or null when it has none.
const char *os_key_from_scancode(int64_t scancode);
// The whole key table (key_table_size entries).
const int32_t *os_key_table();

// Where the pump reads the host keyboard: the host's key-state array and its
// length. Tests swap in a table of their own.
extern const uint8_t *(*os_read_host_keyboard)(int *count);

// Forgets every key (program start).
void os_clear_key_tables();
