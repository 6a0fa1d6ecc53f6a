// The host window: its vsync renderer, the streaming texture that shows the
// 480 x 270 picture, the picture's place in the window, the title and the icon.
#pragma once

#include <SDL.h>

#include <cstdint>

#include "kernel/system.h"

constexpr int host_frame_width = 480;
constexpr int host_frame_height = 270;
constexpr int window_title_max = 1024;   // a title this long or longer is ignored
constexpr int window_icon_size = 128;    // the icon image is 128 x 128, 8 x 8 per bitmap pixel

// pixel_scale as the window uses it: 0 is the default 2, then 1..16.
int32_t clamp_pixel_scale(int32_t pixel_scale);

// A window's place on the desktop: position and size.
struct window_place {
  int x, y, w, h;
};

// How the next window is made.
struct window_plan {
  int x, y, w, h;
  uint32_t flags;
};

// Plans the window for c (whose pixel_scale is already clamped) on a desktop of
// desktop_w x desktop_h (0 x 0 when unknown), given the windowed place that the
// last windowed window had (size 0 x 0 before there was one).
window_plan plan_video_window(const config_record &c, int desktop_w, int desktop_h,
                              const window_place &remembered);

// The picture's rectangle in a window of win_w x win_h, in window coordinates,
// by the pixel_perfect and stretch settings, centred (negative offsets when the
// picture is larger than the window). Never empty: mouse mapping divides by it.
SDL_Rect dest_rect_for_window(int win_w, int win_h, bool pixel_perfect, bool stretch);

// The renderer scale that maps window coordinates onto a high-DPI output.
void renderer_scale_for(int out_w, int out_h, int win_w, int win_h, float *scale_x,
                        float *scale_y);

// The 128 x 128 icon image from a 16 x 16 u8 bitmap and the 64-entry system
// palette: colour 0 transparent, any other palette[c & 63] made opaque.
void make_window_icon(const uint8_t *bitmap16x16, const uint32_t *palette, uint32_t *out);

// A failure that lasts many frames is logged when it begins, not every frame:
// records this frame's outcome and says whether a failure is new.
bool blit_failure_is_new(bool failed, bool *failing);

// (Re)makes window, renderer and texture from config. Nothing in headless mode
// or before the host layer has started. No renderer ends the program.
void os_apply_video_config();

// Presents one 480 x 270 ARGB frame (rows pitch_in_pixels apart) in the window.
void blit_to_sdl_window_hardware(const uint32_t *pixels, int pitch_in_pixels);

// The picture's rectangle in the current window; false (with a rectangle that is
// still non-empty) when there is no window or it has no area.
bool get_dest_rect(SDL_Rect *out);

// Minimises the window when it is fullscreen, so what the host opened shows
// (after _open_host_path). True when it did; nothing without a window.
bool os_minimise_window_in_fullscreen();

void os_set_window_title(const char *text);
// bitmap null: the host's default icon from the next window creation on.
void os_set_window_icon(const uint8_t *bitmap16x16, const uint32_t *palette);

// The current window and renderer, null until the first os_apply_video_config.
SDL_Window *os_get_window();
SDL_Renderer *os_get_renderer();

// Destroys window, renderer and texture and forgets title, icon and remembered
// place. The program never calls it (the objects live until it ends); tests do
// before SDL_Quit.
void os_release_video();
