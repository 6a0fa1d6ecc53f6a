// Script-API functions of text printing.
#include "gfx/print_api.h"

#include <cstdio>

#include "gfx/binding.h"
#include "gfx/print.h"
#include "kernel/accounting.h"

int lua54__print_m7scii(lua_State *L) {
  userdata *t = gfx_binding::target();
  int type = lua_type(L, 1);
  if (!t || (type != LUA_TSTRING && type != LUA_TNUMBER)) return 0;
  get_masks_shape();
  size_t length = 0;
  const char *text = lua_tolstring(L, 1, &length);
  int n = lua_gettop(L), colour = 0;
  if (n == 2 || (n == 4 && lua_isnil(L, 3) && lua_isnil(L, 4))) {
    colour = 2;
  } else if (n >= 3) {
    if (lua_type(L, 2) == LUA_TNUMBER) poke4(ram_cursor_x, saturate_i32(kvt_truncp(L, 2, 0)));
    if (lua_type(L, 3) == LUA_TNUMBER) poke4(ram_cursor_y, saturate_i32(kvt_truncp(L, 3, 0)));
    colour = 4;
  }
  poke4(ram_print_home_x, peek4(ram_cursor_x));
  if (colour && lua_type(L, colour) == LUA_TNUMBER) set_colp(kvt_intp(L, colour, 0));
  int result = print_m7scii(t, text, static_cast<int64_t>(length), (peek(ram_print_flags) >> 3) & 0x10,
                            draw_colour());
  if (result == print_stopped) return luaL_error(L, "%s", cpu_limit_message);
  lua_pushinteger(L, print_max_set ? print_max_x : peek4(ram_cursor_x));
  lua_pushinteger(L, print_max_set ? print_max_y : peek4(ram_cursor_y));
  return 2;
}

int lua54__printh(lua_State *L) {
  int type = lua_type(L, 1);
  if (type != LUA_TSTRING && type != LUA_TNUMBER) return 0;
  size_t length = 0;
  const char *text = lua_tolstring(L, 1, &length);
  spend_host_line(L, length);
  fwrite(text, 1, length, stdout);
  fputc('\n', stdout);
  fflush(stdout);
  return 0;
}
