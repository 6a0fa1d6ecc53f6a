// The host window, renderer and texture.
#include "platform/window.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host_log.h"

namespace {

constexpr int pixel_scale_default = 2;
constexpr int pixel_scale_max = 16;
constexpr int icon_bitmap_size = 16;
// Below this width-to-height ratio the letterboxed picture takes the full width.
constexpr double picture_aspect = 1.7777777777777777;

struct host_window_state {
  SDL_Window *window = nullptr;
  SDL_Renderer *renderer = nullptr;
  SDL_Texture *texture = nullptr;
  std::string title = "Kestrune";
  window_place remembered = {SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, 0, 0};
  bool last_fullscreen = false;
  float renderer_scale_x = 1.0f;
  float renderer_scale_y = 1.0f;
  int preblit_scale = 1;
  std::vector<uint32_t> preblit;  // the doubled picture when preblit_scale is 2
  std::vector<uint32_t> window_icon_dat =
      std::vector<uint32_t>(window_icon_size * window_icon_size);
  bool use_custom_window_icon = false;
  bool blit_failing = false;
};

host_window_state host;

const char *scale_quality() { return config.pixel_perfect ? "nearest" : "linear"; }

void apply_window_icon() {
  SDL_Surface *s = SDL_CreateRGBSurfaceFrom(host.window_icon_dat.data(), window_icon_size,
                                            window_icon_size, 32, window_icon_size * 4, 0xFF0000,
                                            0xFF00, 0xFF, 0xFF000000);
  if (!s) return;
  SDL_SetWindowIcon(host.window, s);
  SDL_FreeSurface(s);
}

void destroy_video_objects() {
  if (host.texture) SDL_DestroyTexture(host.texture);
  if (host.renderer) SDL_DestroyRenderer(host.renderer);
  if (host.window) SDL_DestroyWindow(host.window);
  host.texture = nullptr;
  host.renderer = nullptr;
  host.window = nullptr;
}

// Doubles every pixel in both directions: linear filtering of the doubled
// picture keeps its pixels sharper than filtering the picture itself.
void preblit_double(const uint32_t *src, int pitch, uint32_t *dst) {
  constexpr int dst_w = host_frame_width * 2;
  for (int y = 0; y < host_frame_height; y++) {
    const uint32_t *s = src + size_t(y) * size_t(pitch);
    uint32_t *d = dst + size_t(y) * 2 * dst_w;
    for (int x = 0; x < host_frame_width; x++) d[2 * x] = d[2 * x + 1] = s[x];
    std::memcpy(d + dst_w, d, dst_w * sizeof(uint32_t));
  }
}

}  // namespace

int32_t clamp_pixel_scale(int32_t pixel_scale) {
  if (pixel_scale == 0) return pixel_scale_default;
  if (pixel_scale > pixel_scale_max) return pixel_scale_max;
  if (pixel_scale < 2) return 1;
  return pixel_scale;
}

window_plan plan_video_window(const config_record &c, int desktop_w, int desktop_h,
                              const window_place &remembered) {
  window_plan p = {remembered.x, remembered.y, c.pixel_scale * host_frame_width,
                   c.pixel_scale * host_frame_height, 0};
  if (c.fullscreen) {
    // Without a known desktop mode the scaled size stands in for it.
    if (desktop_w > 0 && desktop_h > 0) {
      p.w = desktop_w;
      p.h = desktop_h;
    }
    if (c.fullscreen_window) {
      p.flags |= SDL_WINDOW_BORDERLESS;
      p.x = p.y = 0;
    } else {
      p.flags |= SDL_WINDOW_FULLSCREEN_DESKTOP;
    }
  } else {
    if (remembered.w > 0 && remembered.h > 0) {
      p.w = remembered.w;
      p.h = remembered.h;
    }
    p.flags |= SDL_WINDOW_RESIZABLE;
  }
  if (c.allow_highdpi) p.flags |= SDL_WINDOW_ALLOW_HIGHDPI;
  p.flags |= SDL_WINDOW_SHOWN;
  return p;
}

SDL_Rect dest_rect_for_window(int win_w, int win_h, bool pixel_perfect, bool stretch) {
  // A window with no area is taken as 1 x 1, and every scale is at least 1:
  // the picture then overhangs the window, centred, rather than vanishing.
  int W = std::max(win_w, 1), H = std::max(win_h, 1);
  int w, h;
  if (pixel_perfect && stretch) {
    w = std::max(W / host_frame_width, 1) * host_frame_width;
    h = std::max(H / host_frame_height, 1) * host_frame_height;
  } else if (pixel_perfect) {
    int n = std::max(std::min(W / host_frame_width, H / host_frame_height), 1);
    w = n * host_frame_width;
    h = n * host_frame_height;
  } else if (stretch) {
    w = W;
    h = H;
  } else if (double(W) / double(H) < picture_aspect) {
    w = W;
    h = std::max(int(double(W) * host_frame_height / host_frame_width), 1);
  } else {
    w = std::max(int(double(H) * host_frame_width / host_frame_height), 1);
    h = H;
  }
  return {(W - w) / 2, (H - h) / 2, w, h};
}

void renderer_scale_for(int out_w, int out_h, int win_w, int win_h, float *scale_x,
                        float *scale_y) {
  *scale_x = *scale_y = 1.0f;
  if (out_w != win_w && win_w > 0 && win_h > 0) {
    *scale_x = float(out_w) / float(win_w);
    *scale_y = float(out_h) / float(win_h);
  }
}

void make_window_icon(const uint8_t *bitmap16x16, const uint32_t *palette, uint32_t *out) {
  constexpr int block = window_icon_size / icon_bitmap_size;
  for (int y = 0; y < window_icon_size; y++)
    for (int x = 0; x < window_icon_size; x++) {
      uint8_t c = bitmap16x16[(y / block) * icon_bitmap_size + x / block];
      out[y * window_icon_size + x] = c ? (palette[c & 63] & 0xFFFFFF) | 0xFF000000 : 0;
    }
}

bool blit_failure_is_new(bool failed, bool *failing) {
  bool is_new = failed && !*failing;
  *failing = failed;
  return is_new;
}

void os_apply_video_config() {
  // The program starts the host layer before any userland code runs; only a
  // caller without it (a test of the settings) gets here first.
  if (config.headless || !system_inited) return;
  if (config.sdl_render_driver == 1) SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");
  if (host.window && !host.last_fullscreen) {
    SDL_GetWindowPosition(host.window, &host.remembered.x, &host.remembered.y);
    SDL_GetWindowSize(host.window, &host.remembered.w, &host.remembered.h);
  }
  SDL_DisplayMode desktop{};
  if (SDL_GetDesktopDisplayMode(0, &desktop) != 0) desktop = SDL_DisplayMode{};
  destroy_video_objects();

  config.pixel_scale = clamp_pixel_scale(config.pixel_scale);
  window_plan p = plan_video_window(config, desktop.w, desktop.h, host.remembered);
  hovi_debugf("creating SDL window %d %d flags %d\n", p.w, p.h, int(p.flags));
  host.window = SDL_CreateWindow(host.title.c_str(), p.x, p.y, p.w, p.h, p.flags);
  host.last_fullscreen = config.fullscreen != 0;
  if (host.window) host.renderer = SDL_CreateRenderer(host.window, -1, SDL_RENDERER_PRESENTVSYNC);
  if (!host.renderer) {
    hovi_debugf("SDL: %s\n", SDL_GetError());
    kestrune_fatal("could not create renderer", 0);
  }
  SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, scale_quality());

  int out_w = 0, out_h = 0, win_w = 0, win_h = 0;
  SDL_GetRendererOutputSize(host.renderer, &out_w, &out_h);
  SDL_GetWindowSize(host.window, &win_w, &win_h);
  renderer_scale_for(out_w, out_h, win_w, win_h, &host.renderer_scale_x, &host.renderer_scale_y);
  hovi_debugf("renderer_scale: %f,%f\n", double(host.renderer_scale_x),
              double(host.renderer_scale_y));
  SDL_RenderSetScale(host.renderer, host.renderer_scale_x, host.renderer_scale_y);
  SDL_SetRenderDrawColor(host.renderer, 0, 0, 0, 255);
  SDL_RenderClear(host.renderer);
  SDL_RenderPresent(host.renderer);

  host.preblit_scale = config.pixel_perfect ? 1 : 2;
  size_t preblit_pixels = size_t(host_frame_width) * host_frame_height * 4;
  host.preblit.assign(host.preblit_scale == 1 ? 0 : preblit_pixels, 0);
  host.texture = SDL_CreateTexture(host.renderer, SDL_PIXELFORMAT_ARGB8888,
                                   SDL_TEXTUREACCESS_STREAMING,
                                   host_frame_width * host.preblit_scale,
                                   host_frame_height * host.preblit_scale);
  if (host.texture) {
    // The picture's top byte is whatever the palette words hold, never alpha.
    SDL_SetTextureBlendMode(host.texture, SDL_BLENDMODE_NONE);
  } else {
    hovi_debugf("could not create the screen texture: %s\n", SDL_GetError());
  }
  host.blit_failing = false;

  if (host.use_custom_window_icon) apply_window_icon();
}

void blit_to_sdl_window_hardware(const uint32_t *pixels, int pitch_in_pixels) {
  if (!host.renderer || !host.texture || !pixels || pitch_in_pixels < host_frame_width ||
      pitch_in_pixels > INT32_MAX / int(sizeof(uint32_t)))
    return;
  SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, scale_quality());
  if (host.preblit_scale == 1) {
    SDL_UpdateTexture(host.texture, nullptr, pixels, pitch_in_pixels * int(sizeof(uint32_t)));
  } else {
    preblit_double(pixels, pitch_in_pixels, host.preblit.data());
    SDL_UpdateTexture(host.texture, nullptr, host.preblit.data(),
                      host_frame_width * 2 * int(sizeof(uint32_t)));
  }

  int win_w = 0, win_h = 0;
  SDL_GetWindowSize(host.window, &win_w, &win_h);
  SDL_SetRenderDrawColor(host.renderer, 0, 0, 0, 255);
  SDL_SetRenderDrawBlendMode(host.renderer, SDL_BLENDMODE_NONE);
  SDL_RenderClear(host.renderer);
  SDL_Rect whole = {0, 0, win_w, win_h};
  SDL_RenderFillRect(host.renderer, &whole);

  SDL_Rect dest;
  bool found = get_dest_rect(&dest);
  if (blit_failure_is_new(!found, &host.blit_failing))
    hovi_debug("** failed: blit_to_sdl_window_hardware can not find blit dest_rect\n");
  if (!found) return;
  SDL_RenderCopy(host.renderer, host.texture, nullptr, &dest);
  SDL_RenderPresent(host.renderer);
}

bool get_dest_rect(SDL_Rect *out) {
  int w = 0, h = 0;
  if (host.window) SDL_GetWindowSize(host.window, &w, &h);
  *out = dest_rect_for_window(w, h, config.pixel_perfect != 0, config.stretch != 0);
  return host.window && w >= 1 && h >= 1;
}

bool os_minimise_window_in_fullscreen() {
  if (!host.window || !config.fullscreen) return false;
  SDL_MinimizeWindow(host.window);
  return true;
}

void os_set_window_title(const char *text) {
  if (!text || strnlen(text, window_title_max) >= size_t(window_title_max)) return;
  host.title = text;
  if (host.window) SDL_SetWindowTitle(host.window, host.title.c_str());
}

void os_set_window_icon(const uint8_t *bitmap16x16, const uint32_t *palette) {
  if (!bitmap16x16) {
    host.use_custom_window_icon = false;
    return;
  }
  if (!palette) return;
  make_window_icon(bitmap16x16, palette, host.window_icon_dat.data());
  host.use_custom_window_icon = true;
  if (host.window) apply_window_icon();
}

SDL_Window *os_get_window() { return host.window; }
SDL_Renderer *os_get_renderer() { return host.renderer; }

void os_release_video() {
  destroy_video_objects();
  host = host_window_state{};
}
