// The host clipboard.
#include "platform/host_clipboard.h"

#include <SDL.h>

#include "kernel/text.h"

std::string os_get_clipboard_text() {
  char *raw = SDL_GetClipboardText();
  if (!raw) return {};
  std::string text = clean_windows_text(raw);
  SDL_free(raw);
  return text;
}

void os_set_clipboard_text(const std::string &text) { SDL_SetClipboardText(text.c_str()); }
