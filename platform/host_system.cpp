// Starting and stopping the host layer.
#include "platform/host_system.h"

#include <SDL.h>

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
