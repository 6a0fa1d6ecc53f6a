// Input in the kernel: event messages from the host pump, the display
// process's mouse lock, and the buttons.
#include "kernel/input.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "kernel/dropped_file.h"
#include "kernel/messages.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "kernel/system.h"
#include "platform/controllers.h"
#include "platform/mouse.h"

namespace {

constexpr int64_t display_process_id = 3;
constexpr int button_group = 8;  // buttons 0-7 and 8-15 of a player: a stick and four buttons each
constexpr int32_t stick_radius_squared = 65536;
constexpr int32_t default_delay = 30, default_interval = 8;
constexpr int never_byte = 255;

const char *const text_opening = "{event=\"textinput\",text=\"";
const char *const text_closing = "\"}";

// A repeat setting from RAM: 0 is the default, 255 never (-1).
int32_t repeat_setting(process *P, int32_t address, int32_t default_frames) {
  int v = peek_proc(P, address);
  if (v == 0) return default_frames;
  return v == never_byte ? -1 : v;
}

// Buttons 0-7 of player p, one byte each, button 0 lowest.
uint64_t first_eight(const uint8_t *values, int p) {
  uint64_t x;
  memcpy(&x, values + p * buttons_per_player, sizeof x);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
  return x;
}

// Bit k set where byte k of x is not 0: the mask functions read eight
// buttons at once instead of one by one.
uint64_t nonzero_byte_bits(uint64_t x) {
  constexpr uint64_t low7 = 0x7F7F7F7F7F7F7F7F;
  uint64_t high = (((x & low7) + low7) | x) & ~low7;  // bit 7 of each non-zero byte
  return (high >> 7) * 0x0102040810204080 >> 56;
}

bool in_range(int64_t b, int64_t p) {
  return b >= 0 && b < buttons_per_player && p >= 0 && p < button_players;
}

// Both of two opposite directions held: neither.
void cancel_opposites(uint8_t *g) {
  if (g[0] && g[1]) g[0] = g[1] = 0;
  if (g[2] && g[3]) g[2] = g[3] = 0;
}

// A diagonal longer than full deflection is scaled back onto the circle.
void limit_to_circle(uint8_t *g) {
  int32_t dx = int32_t{g[1]} - g[0], dy = int32_t{g[3]} - g[2];
  int32_t d2 = dx * dx + dy * dy;
  if (d2 <= stick_radius_squared) return;
  double length = std::sqrt(double(d2));
  for (int i = 0; i < 4; i++)
    g[i] = uint8_t(std::clamp<int64_t>(int64_t(g[i] * 256.0 / length), 0, 255));
}

}  // namespace

uint32_t (*button_source)(int player, uint8_t out[buttons_per_player]) = os_get_button_states;

std::string input_event_message(const input_event &e) {
  char text[128];
  switch (e.kind) {
    case input_event::keydown:
      snprintf(text, sizeof text, "{event=\"keydown\",scancode=%d}", e.a);
      break;
    case input_event::keyup:
      snprintf(text, sizeof text, "{event=\"keyup\",scancode=%d}", e.a);
      break;
    case input_event::mousewheel:
      snprintf(text, sizeof text, "{event=\"mousewheel\",wheel_x=%d,wheel_y=%d}", e.a, e.b);
      break;
    case input_event::mouse:
      snprintf(text, sizeof text, "{event=\"mouse\",mx=%d,my=%d,mb=%d}", e.a, e.b, e.c);
      break;
    case input_event::mouselockedmove:
      snprintf(text, sizeof text, "{event=\"mouselockedmove\",locked_dx=%d,locked_dy=%d}", e.a,
               e.b);
      break;
    case input_event::textinput: {
      int64_t n = 0;
      const char *escaped = escape_lua_string(e.text, &n);
      return std::string(text_opening) + (escaped ? escaped : "") + text_closing;
    }
    case input_event::drop:
      return {};
  }
  return text;
}

void deliver_input_event(const input_event &e) {
  if (e.kind == input_event::drop) {
    process_dropped_file(e.text);
    return;
  }
  // Nobody to tell: no need to write the text.
  if (!get_process(display_process_id)) return;
  send_event_message(input_event_message(e).c_str());
}

void pump_host_events() {
  event_pump_link link;
  link.window_focused = &app.window_focused;
  link.last_activity_ms = &app.last_activity_ms;
  link.exit_requested = &app.exit_requested;
  link.mouse_lock = &app.mouse_lock;
  link.fullscreen = config.fullscreen != 0;
  link.deliver = deliver_input_event;
  start_frame(link);
}

void apply_display_mouse_lock() {
  process *P = get_process(display_process_id);
  if (!P) return;
  os_lock_mouse_cursor(peek_proc(P, mouse_lock_flags_address),
                       peek_proc(P, mouse_event_sensitivity_address),
                       peek_proc(P, mouse_move_sensitivity_address), config.fullscreen != 0,
                       &app.mouse_lock);
}

void update_buttons(process *P, bool active) {
  if (!P) return;
  if (!active) {
    std::fill(std::begin(P->button_previous), std::end(P->button_previous), 0);
    std::fill(std::begin(P->button_current), std::end(P->button_current), 0);
    std::fill(std::begin(P->button_repeat), std::end(P->button_repeat), 0);
    std::fill(std::begin(P->button_wait), std::end(P->button_wait), 1);
    return;
  }
  memcpy(P->button_previous, P->button_current, button_count);
  std::fill(std::begin(P->button_current), std::end(P->button_current), 0);
  for (int p = 0; p < button_players; p++)
    button_source(p, P->button_current + p * buttons_per_player);
  ram_write_unflagged(P, button_ram_address, P->button_current, button_count);

  for (int g = 0; g < button_count; g += button_group) {
    cancel_opposites(P->button_current + g);
    limit_to_circle(P->button_current + g);
  }
  for (int i = 0; i < button_count; i++) {
    if (!P->button_wait[i]) continue;
    if (P->button_current[i])
      P->button_current[i] = 0;
    else
      P->button_wait[i] = 0;
  }
}

void buttons_wait_for_release(process *P) {
  if (!P) return;
  std::fill(std::begin(P->button_wait), std::end(P->button_wait), 1);
  std::fill(std::begin(P->button_current), std::end(P->button_current), 0);
}

uint64_t btn_mask(const process *P) {
  uint64_t mask = 0;
  for (int p = 0; p < button_players; p++)
    mask |= nonzero_byte_bits(first_eight(P->button_current, p)) << (8 * p);
  return mask;
}

int32_t btn_value(const process *P, int64_t b, int64_t p) {
  if (!in_range(b, p)) return 0;
  return P->button_current[b + buttons_per_player * p];
}

uint64_t btnp_mask(const process *P) {
  // A value of 64 or more has bit 6 or 7 set.
  constexpr uint64_t pressed_bits = 0xC0C0C0C0C0C0C0C0;
  uint64_t mask = 0;
  for (int p = 0; p < button_players; p++) {
    uint64_t now = nonzero_byte_bits(first_eight(P->button_current, p) & pressed_bits);
    uint64_t before = nonzero_byte_bits(first_eight(P->button_previous, p) & pressed_bits);
    mask |= (now & ~before) << (8 * p);
  }
  return mask;
}

bool btnp_value(process *P, int64_t b, int64_t p) {
  if (!in_range(b, p)) return false;
  auto i = size_t(b + buttons_per_player * p);
  if (P->button_current[i] < button_pressed_at) return false;
  int32_t &counter = P->button_repeat[i];
  if (P->button_previous[i] < button_pressed_at) {
    counter = repeat_setting(P, button_delay_address, default_delay);
    return true;
  }
  if (counter > 0) counter--;
  if (counter != 0) return false;
  counter = repeat_setting(P, button_interval_address, default_interval);
  return true;
}
