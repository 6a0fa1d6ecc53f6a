// The mouse: the pointer mapped into the 480 x 270 screen through the
// picture's rectangle, the buttons, the lock (the pointer held at the window's
// centre while its movement is reported) and warping.
#pragma once

#include <SDL.h>

#include <cstdint>

#include "platform/event_pump.h"

// The host pointer in window coordinates and SDL's button mask.
struct host_pointer {
  int x = 0, y = 0;
  uint32_t buttons = 0;
};
// Where the mouse code reads and moves the host pointer; tests swap in their own.
extern host_pointer (*os_read_host_pointer)();
extern void (*os_warp_host_pointer)(int x, int y);

// A window point in screen coordinates: (h - rect origin) x 480 / rect width
// (and 270 / height), truncated toward zero; a rectangle without area counts
// as 1 x 1. Fullscreen clamps the result to the screen.
SDL_Point screen_point_from_window(int hx, int hy, const SDL_Rect &rect, bool fullscreen);
// The nearest window point inside the rectangle.
SDL_Point nearest_point_inside(int hx, int hy, const SDL_Rect &rect);
// Takes the whole units of 64 from a locked-move accumulator toward zero
// (200 gives 3 and keeps 8; -200 gives -3 and keeps -8).
int32_t take_locked_units(int32_t *accumulator);
// The screen buttons (1 left, 2 right, 4 middle) of an SDL button mask.
int32_t screen_buttons(uint32_t sdl_mask);

// The event pump's parts: a button went down during the frame; the pointer
// moved (x, y in the window); once the events are read, the pointer's state
// as mouse and mouselockedmove events. A null lock state is the mouse's own.
void mouse_button_went_down(uint8_t sdl_button);
void mouse_moved(int x, int y, mouse_lock_state *lock);
void mouse_frame(const event_pump_link &link);

// The lock, every frame from the display process's RAM: bit 2 of flags locks.
// The sensitivities scale locked movement (event_sensitivity / 64 events per
// screen pixel) and the virtual pointer's movement (move_sensitivity / 64).
// The lock's state is the caller's (null: the mouse's own).
void os_lock_mouse_cursor(int flags, int event_sensitivity, int move_sensitivity,
                          bool fullscreen, mouse_lock_state *lock);
// Puts the pointer at a screen point: the virtual position, and the host
// pointer at that point of the picture.
void os_warp_mouse_pointer(int64_t x, int64_t y);

// Back to the start: nothing sent yet, the virtual pointer at the origin, the
// mouse's own lock state cleared (tests).
void os_reset_mouse();
