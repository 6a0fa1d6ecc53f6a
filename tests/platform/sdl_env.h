// Sets SDL environment variables for one test and puts them back afterwards.
#pragma once

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

class scoped_env {
 public:
  void set(const char *name, const char *value) {
    if (!saved_.count(name)) {
      const char *old = getenv(name);
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    setenv(name, value, 1);
  }
  ~scoped_env() {
    for (auto &[name, value] : saved_) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRUNE_SDL_ENV_LSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KESTRUNE_SDL_ENV_LSAN 1
#endif
#ifdef KESTRUNE_SDL_ENV_LSAN
#include <sanitizer/lsan_interface.h>
#endif

// The host's libraries (X11, the bus connection, the video drivers) keep
// blocks past SDL_Quit: what SDL allocates while it starts, makes windows and
// quits is exempt from the leak check inside such a scope; our code stays checked.
struct sdl_host_allocations {
#ifdef KESTRUNE_SDL_ENV_LSAN
  sdl_host_allocations() { __lsan_disable(); }
  ~sdl_host_allocations() { __lsan_enable(); }
#endif
};
