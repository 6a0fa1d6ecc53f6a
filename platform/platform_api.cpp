// Script-API functions of the host layer: thin readers of arguments.
#include "platform/platform_api.h"

#include <string>
#include <string_view>

#include "platform/host_clipboard.h"
#include "platform/host_open.h"

int lua54__get_host_clipboard_text(lua_State *L) {
  std::string text = os_get_clipboard_text();
  lua_pushlstring(L, text.data(), text.size());
  return 1;
}

int lua54__set_host_clipboard_text(lua_State *L) {
  // Strings only: a number is not text to paste.
  if (lua_type(L, 1) == LUA_TSTRING) os_set_clipboard_text(lua_tostring(L, 1));
  return 0;
}

// The clipboard is read when asked for, so there is nothing to request.
int lua54__req_host_clipboard_text(lua_State *) { return 0; }

int lua54__open_host_path(lua_State *L) {
  if (lua_type(L, 1) != LUA_TSTRING) return 0;
  size_t n = 0;
  const char *text = lua_tolstring(L, 1, &n);
  os_open_host_path(std::string_view(text, n));
  return 0;
}

void os_add_public_c_functions(lua_State *L) {
  static const luaL_Reg functions[] = {
      {"_req_host_clipboard_text", lua54__req_host_clipboard_text},
      {"_get_host_clipboard_text", lua54__get_host_clipboard_text},
      {"_set_host_clipboard_text", lua54__set_host_clipboard_text},
      {"_open_host_path", lua54__open_host_path},
  };
  for (const luaL_Reg &f : functions) lua_register(L, f.name, f.func);
}
