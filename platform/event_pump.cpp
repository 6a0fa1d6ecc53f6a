// The event pump and the key tables.
#include "platform/event_pump.h"

#include <SDL.h>

#include <algorithm>
#include <cstring>

#include "platform/controllers.h"
#include "platform/mouse.h"
#include "platform/window.h"

namespace {

// After the window gains focus, keys read as up for this long: the keys that
// switched to it are not input for the system.
constexpr int64_t focus_quiet_ms = 100;
constexpr int events_per_peek = 64;

int32_t key_state[key_table_size];
int32_t last_key_state[key_table_size];
int64_t focus_time = 0;

const uint8_t *read_sdl_keyboard(int *count) { return SDL_GetKeyboardState(count); }

bool is_our_window(uint32_t window_id) {
  SDL_Window *w = os_get_window();
  return w && SDL_GetWindowID(w) == window_id;
}

void raise_window() {
  if (SDL_Window *w = os_get_window()) SDL_RaiseWindow(w);
}

void send(const event_pump_link &link, const input_event &e) {
  if (link.deliver) link.deliver(e);
}

void window_event(const SDL_WindowEvent &w, const event_pump_link &link, int64_t now) {
  switch (w.event) {
    case SDL_WINDOWEVENT_SHOWN:
    case SDL_WINDOWEVENT_MAXIMIZED:
    case SDL_WINDOWEVENT_RESTORED:
    case SDL_WINDOWEVENT_FOCUS_GAINED:
      *link.window_focused = 1;
      focus_time = now;
      raise_window();
      break;
    case SDL_WINDOWEVENT_HIDDEN:
    case SDL_WINDOWEVENT_MINIMIZED:
    case SDL_WINDOWEVENT_FOCUS_LOST:
      if (is_our_window(w.windowID)) *link.window_focused = 0;
      break;
    case SDL_WINDOWEVENT_CLOSE:
      *link.exit_requested = 1;
      break;
    default:
      break;
  }
}

void handle_event(const SDL_Event &e, const event_pump_link &link, int64_t now) {
  switch (e.type) {
    case SDL_QUIT:
      *link.exit_requested = 1;
      break;
    case SDL_WINDOWEVENT:
      window_event(e.window, link, now);
      break;
    case SDL_KEYDOWN: {
      // A press and release within one frame still counts as down for it.
      // Read as a plain number: a value outside the enumeration is no scancode.
      int32_t sc;
      memcpy(&sc, &e.key.keysym.scancode, sizeof sc);
      if (sc >= 0 && sc < key_table_size) key_state[sc] = 1;
      break;
    }
    case SDL_TEXTINPUT: {
      char text[SDL_TEXTINPUTEVENT_TEXT_SIZE + 1];
      memcpy(text, e.text.text, SDL_TEXTINPUTEVENT_TEXT_SIZE);
      text[SDL_TEXTINPUTEVENT_TEXT_SIZE] = 0;
      input_event t{input_event::textinput};
      t.text = text;
      send(link, t);
      break;
    }
    case SDL_MOUSEMOTION:
      mouse_moved(e.motion.x, e.motion.y, link.mouse_lock);
      break;
    case SDL_MOUSEBUTTONDOWN:
      mouse_button_went_down(e.button.button);
      break;
    case SDL_MOUSEWHEEL:
      send(link, {input_event::mousewheel, e.wheel.x, e.wheel.y});
      break;
    case SDL_JOYDEVICEADDED:
      controller_added(e.jdevice.which);
      break;
    case SDL_JOYDEVICEREMOVED:
      controller_removed(e.jdevice.which);
      break;
    case SDL_DROPFILE:
      if (e.drop.file) {
        input_event d{input_event::drop};
        d.text = e.drop.file;
        send(link, d);
        raise_window();
      }
      SDL_free(e.drop.file);
      break;
    case SDL_DROPTEXT:  // the path buffer is ours to free whatever the kind
      SDL_free(e.drop.file);
      break;
    default:
      break;
  }
}

}  // namespace

const uint8_t *(*os_read_host_keyboard)(int *count) = read_sdl_keyboard;

void handle_sdl_messages(const event_pump_link &link) {
  SDL_ShowCursor(SDL_DISABLE);
  memcpy(last_key_state, key_state, sizeof key_state);
  int count = 0;
  const uint8_t *host_keys = os_read_host_keyboard(&count);
  count = host_keys ? std::clamp(count, 0, key_table_size) : 0;
  for (int i = 0; i < count; i++) key_state[i] = host_keys[i] != 0;
  std::fill(key_state + count, key_state + key_table_size, 0);

  int64_t now = int64_t(SDL_GetTicks64());
  SDL_PumpEvents();
  SDL_Event batch[events_per_peek];
  int n;
  while ((n = SDL_PeepEvents(batch, events_per_peek, SDL_GETEVENT, SDL_FIRSTEVENT,
                             SDL_LASTEVENT)) > 0) {
    for (int i = 0; i < n; i++) {
      if (batch[i].type == SDL_POLLSENTINEL) continue;
      if (link.last_activity_ms) *link.last_activity_ms = now;
      handle_event(batch[i], link, now);
    }
  }

  if (focus_time + focus_quiet_ms >= now) std::fill(key_state, key_state + key_table_size, 0);
  for (int sc = 0; sc < key_table_size; sc++) {
    if (key_state[sc] && !last_key_state[sc]) send(link, {input_event::keydown, sc});
    if (!key_state[sc] && last_key_state[sc]) send(link, {input_event::keyup, sc});
  }
  mouse_frame(link);
}

void start_frame(const event_pump_link &link) { handle_sdl_messages(link); }

int32_t os_key_state(int64_t scancode) {
  return scancode >= 0 && scancode < key_table_size ? key_state[scancode] : 0;
}

const char *os_key_from_scancode(int64_t scancode) {
  if (scancode < 0 || scancode >= key_table_size) return nullptr;
  const char *name = SDL_GetKeyName(SDL_GetKeyFromScancode(SDL_Scancode(scancode)));
  return name && *name ? name : nullptr;
}

const int32_t *os_key_table() { return key_state; }

void os_clear_key_tables() {
  std::fill(key_state, key_state + key_table_size, 0);
  std::fill(last_key_state, last_key_state + key_table_size, 0);
  focus_time = 0;
}
