// Starting and stopping the host layer.
#include "platform/host_system.h"

#include <SDL.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "kernel/system.h"
#include "platform/audio_device.h"
#include "platform/controllers.h"
#include "platform/event_pump.h"
#include "platform/host_log.h"

void os_system_init() {
  SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
  // SDL turns SIGINT and SIGTERM into quit events: the event pump serves
  // them as an orderly exit.
  // One at a time: SDL undoes a whole batch when one member fails, and a host
  // without, say, haptics must still get video and events.
  static const struct {
    Uint32 flag;
    const char *name;
  } subsystems[] = {
      {SDL_INIT_TIMER, "timer"},       {SDL_INIT_VIDEO, "video"},
      {SDL_INIT_JOYSTICK, "joystick"}, {SDL_INIT_HAPTIC, "haptic"},
      {SDL_INIT_GAMECONTROLLER, "game controller"}, {SDL_INIT_EVENTS, "events"},
      {SDL_INIT_SENSOR, "sensor"},
  };
  for (const auto &s : subsystems)
    if (SDL_InitSubSystem(s.flag) < 0)
      hovi_debugf("SDL %s did not start: %s\n", s.name, SDL_GetError());
  hovi_joystick_init();
  if (config.sdl_render_driver == 1) SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");
  os_clear_key_tables();
  os_open_audio();
}

void os_system_shutdown() { os_close_audio(); }

void os_keep_freed_memory() {
#if defined(__GLIBC__)
  // Near the bounds the allocator grows its own thresholds to as large blocks
  // come and go (setting them stops that growth). A block of a RAM space's
  // size or more (a capture's store) is still mapped from the host apart:
  // the host hands it over zeroed and faults in only the pages written.
  constexpr int freed_bytes_kept = 64 << 20;
  constexpr int mapped_block_min = 16 << 20;
  mallopt(M_TRIM_THRESHOLD, freed_bytes_kept);
  mallopt(M_MMAP_THRESHOLD, mapped_block_min);
#endif
}
