// Frame pacing.
#include "platform/frame_pacing.h"

#include <SDL.h>

#include "platform/window.h"

namespace {

constexpr int max_pauses = 100;
constexpr int64_t idle_after_ms = 500;

int64_t headless_frame = 0;
int64_t last_t = 0;  // when the last frame ended

}  // namespace

int64_t os_get_time() { return int64_t(SDL_GetTicks64()); }

bool headless_frame_pauses(int64_t *frame) { return ++*frame % 4 == 0; }

bool is_slow_frame(const config_record &c, const app_record &a, int64_t now_ms) {
  return c.battery_saver && a.boot_finished && a.last_activity_ms + idle_after_ms < now_ms;
}

int64_t frame_budget_ms(bool slow) { return slow ? 32 : 16; }

void end_frame(picture_builder build_picture) {
  if (config.headless) {
    if (headless_frame_pauses(&headless_frame)) SDL_Delay(1);
    return;
  }
  if (build_picture) {
    const uint32_t *picture = build_picture();
    if (picture) blit_to_sdl_window_hardware(picture, host_frame_width);
  }
  int64_t now = os_get_time();
  app.slow_frame = is_slow_frame(config, app, now);
  int64_t budget = frame_budget_ms(app.slow_frame);
  for (int i = 0; i < max_pauses && os_get_time() < last_t + budget; i++) SDL_Delay(1);
  last_t = os_get_time();
}
