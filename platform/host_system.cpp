// Starting and stopping the host layer.
#include "platform/host_system.h"

#include <SDL.h>

#include "kernel/system.h"
#include "platform/audio_device.h"
#include "platform/host_log.h"

void os_system_init() {
  SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
  // SDL turns SIGINT and SIGTERM into quit events, which only the event pump
  // serves; until it does, the host's own handlers must still stop the program.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
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
  // Controller mappings are loaded here once the controller layer lands.
  if (config.sdl_render_driver == 1) SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");
  // The key table is cleared here once the keyboard layer lands.
  os_open_audio();
}

void os_system_shutdown() { os_close_audio(); }
