// The mouse: pointer mapping, buttons, the lock and warping.
#include "platform/mouse.h"

#include <algorithm>
#include <cmath>

#include "platform/window.h"

namespace {

constexpr int screen_w = 480, screen_h = 270;
constexpr int32_t locked_unit = 64;  // accumulator units per locked-move unit
constexpr int lock_flag = 4;
// A locked movement this large in one event is already far beyond any real
// one; the bound keeps the accumulators' sums inside 32 bits.
constexpr double accumulator_bound = 1 << 30;

// What lives for the run; the lock's own state is the caller's.
struct mouse_state {
  int32_t last_x = 0, last_y = 0, last_b = 0;  // last sent
  float vx = 0, vy = 0;  // the virtual position while locked
  int warp_x = 0, warp_y = 0;  // host position of the last warp
  int event_sensitivity = 0, move_sensitivity = 0;
  uint32_t went_down = 0;  // SDL mask of buttons pressed during this frame
};

mouse_state mouse;
mouse_lock_state own_lock;  // for callers that keep none

mouse_lock_state &lock_state(mouse_lock_state *given) { return given ? *given : own_lock; }
bool is_locked(const mouse_lock_state &lock) { return (lock.flags & lock_flag) != 0; }

host_pointer read_sdl_pointer() {
  host_pointer p;
  p.buttons = SDL_GetMouseState(&p.x, &p.y);
  return p;
}

void warp_sdl_pointer(int x, int y) {
  if (SDL_Window *w = os_get_window()) SDL_WarpMouseInWindow(w, x, y);
}

bool window_size(int *w, int *h) {
  SDL_Window *win = os_get_window();
  *w = *h = 0;
  if (!win) return false;
  SDL_GetWindowSize(win, w, h);
  return true;
}

int64_t now_ms() { return int64_t(SDL_GetTicks64()); }

int32_t grow(int32_t acc, double by) {
  return int32_t(std::clamp(double(acc) + std::trunc(by), -accumulator_bound, accumulator_bound));
}

// A virtual position's host point in the picture's rectangle.
SDL_Point host_point_of(float vx, float vy, const SDL_Rect &r) {
  return {int(float(r.x) + float(r.w) * vx / screen_w), int(float(r.y) + float(r.h) * vy / screen_h)};
}

}  // namespace

host_pointer (*os_read_host_pointer)() = read_sdl_pointer;
void (*os_warp_host_pointer)(int x, int y) = warp_sdl_pointer;

SDL_Point screen_point_from_window(int hx, int hy, const SDL_Rect &rect, bool fullscreen) {
  int64_t w = std::max(rect.w, 1), h = std::max(rect.h, 1);
  auto x = int((int64_t{hx} - rect.x) * screen_w / w);
  auto y = int((int64_t{hy} - rect.y) * screen_h / h);
  if (fullscreen) {
    x = std::clamp(x, 0, screen_w - 1);
    y = std::clamp(y, 0, screen_h - 1);
  }
  return {x, y};
}

SDL_Point nearest_point_inside(int hx, int hy, const SDL_Rect &rect) {
  int x1 = rect.x + std::max(rect.w, 1) - 1, y1 = rect.y + std::max(rect.h, 1) - 1;
  return {std::clamp(hx, rect.x, x1), std::clamp(hy, rect.y, y1)};
}

int32_t take_locked_units(int32_t *accumulator) {
  int32_t units = *accumulator / locked_unit;
  *accumulator -= units * locked_unit;
  return units;
}

int32_t screen_buttons(uint32_t sdl_mask) {
  return ((sdl_mask & SDL_BUTTON_LMASK) ? 1 : 0) | ((sdl_mask & SDL_BUTTON_RMASK) ? 2 : 0) |
         ((sdl_mask & SDL_BUTTON_MMASK) ? 4 : 0);
}

void mouse_button_went_down(uint8_t sdl_button) {
  if (sdl_button >= 1 && sdl_button <= 32) mouse.went_down |= SDL_BUTTON(sdl_button);
}

void mouse_moved(int x, int y, mouse_lock_state *given) {
  mouse_lock_state &lock = lock_state(given);
  if (!is_locked(lock)) return;
  int w, h;
  if (!window_size(&w, &h) || w < 2 || h < 2) {
    mouse.warp_x = x;
    mouse.warp_y = y;
    return;
  }
  SDL_Rect r;
  get_dest_rect(&r);
  double mx = (x - mouse.warp_x) / std::max(r.w / double(screen_w), 0.1);
  double my = (y - mouse.warp_y) / std::max(r.h / double(screen_h), 0.1);
  if (lock.drop_next_motion) {
    lock.dx = lock.dy = 0;
    lock.drop_next_motion = 0;
  } else {
    lock.dx = grow(lock.dx, mx * mouse.event_sensitivity);
    lock.dy = grow(lock.dy, my * mouse.event_sensitivity);
  }
  mouse.vx = std::clamp(float(mouse.vx + mx * mouse.move_sensitivity / 64), 0.0f, float(screen_w - 1));
  mouse.vy = std::clamp(float(mouse.vy + my * mouse.move_sensitivity / 64), 0.0f, float(screen_h - 1));
  mouse.warp_x = w / 2;
  mouse.warp_y = h / 2;
  // A pointer already at the centre stays: a host that answers a warp with a
  // motion event of its own would otherwise keep the pump warping for ever.
  if (x != mouse.warp_x || y != mouse.warp_y) os_warp_host_pointer(mouse.warp_x, mouse.warp_y);
}

void mouse_frame(const event_pump_link &link) {
  mouse_lock_state &lock = lock_state(link.mouse_lock);
  SDL_Rect r;
  if (get_dest_rect(&r)) {
    host_pointer p = os_read_host_pointer();
    // A click that began and ended between two frames still shows for one.
    uint32_t held = p.buttons | mouse.went_down;
    if (held && link.last_activity_ms) *link.last_activity_ms = now_ms();
    int32_t mb = screen_buttons(held);
    SDL_Point s = is_locked(lock) ? SDL_Point{int(mouse.vx), int(mouse.vy)}
                                  : screen_point_from_window(p.x, p.y, r, link.fullscreen);
    if (s.x != mouse.last_x || s.y != mouse.last_y || mb != mouse.last_b) {
      mouse.last_x = s.x;
      mouse.last_y = s.y;
      mouse.last_b = mb;
      if (link.deliver) link.deliver({input_event::mouse, s.x, s.y, mb});
    }
  }
  mouse.went_down = 0;

  if (!is_locked(lock)) {
    lock.dx = lock.dy = 0;
    return;
  }
  int32_t dx = take_locked_units(&lock.dx), dy = take_locked_units(&lock.dy);
  if ((dx || dy) && link.deliver) link.deliver({input_event::mouselockedmove, dx, dy});
}

void os_lock_mouse_cursor(int flags, int event_sensitivity, int move_sensitivity,
                          bool fullscreen, mouse_lock_state *given) {
  mouse_lock_state &state = lock_state(given);
  mouse.event_sensitivity = event_sensitivity;
  mouse.move_sensitivity = move_sensitivity;
  bool lock = (flags & lock_flag) != 0, locked = is_locked(state);
  SDL_Rect r;
  bool has_window = get_dest_rect(&r);
  int w, h;
  window_size(&w, &h);
  if (lock && !locked) {
    host_pointer p = os_read_host_pointer();
    mouse.vx = std::clamp(float(p.x - r.x) * screen_w / float(r.w), 0.0f, float(screen_w - 1));
    mouse.vy = std::clamp(float(p.y - r.y) * screen_h / float(r.h), 0.0f, float(screen_h - 1));
    if (w > 1 && h > 1) {
      mouse.warp_x = w / 2;
      mouse.warp_y = h / 2;
      os_warp_host_pointer(mouse.warp_x, mouse.warp_y);
    }
    state.drop_next_motion = 1;
  } else if (!lock && locked) {
    if (has_window) {
      SDL_Point back = host_point_of(mouse.vx, mouse.vy, r);
      os_warp_host_pointer(back.x, back.y);
    }
    state.flags = flags;
    return;
  } else if (fullscreen && has_window) {
    host_pointer p = os_read_host_pointer();
    SDL_Point in = nearest_point_inside(p.x, p.y, r);
    if (in.x != p.x || in.y != p.y) os_warp_host_pointer(in.x, in.y);
  }
  state.flags = flags;
}

void os_warp_mouse_pointer(int64_t x, int64_t y) {
  mouse.vx = float(std::clamp<int64_t>(x, 0, screen_w - 1));
  mouse.vy = float(std::clamp<int64_t>(y, 0, screen_h - 1));
  SDL_Rect r;
  if (!get_dest_rect(&r)) return;
  SDL_Point to = host_point_of(mouse.vx, mouse.vy, r);
  os_warp_host_pointer(to.x, to.y);
}

void os_reset_mouse() {
  mouse = mouse_state{};
  own_lock = mouse_lock_state{};
}
