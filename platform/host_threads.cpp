// Worker threads.
#include "platform/host_threads.h"

#include <SDL.h>

struct os_thread {
  SDL_Thread *thread = nullptr;
};

os_thread *os_create_thread(os_thread_function function, void *argument) {
  if (!function) return nullptr;
  auto *handle = new os_thread;
  handle->thread = SDL_CreateThread(function, "kestrune_worker", argument);
  if (!handle->thread) {
    delete handle;
    return nullptr;
  }
  return handle;
}

void os_destroy_thread(os_thread *handle) {
  if (!handle) return;
  SDL_DetachThread(handle->thread);
  delete handle;
}
