// Script-API functions of the system's spine: thin readers of arguments.
#include "kernel/system_api.h"

#include <cmath>
#include <cstdio>

#include "kernel/numbers.h"
#include "kernel/system.h"

namespace {

int64_t setting_value(lua_State *L, int index) {
  switch (lua_type(L, index)) {
  case LUA_TBOOLEAN:
    return lua_toboolean(L, index);
  case LUA_TNUMBER: {
    if (lua_isinteger(L, index)) return lua_tointeger(L, index);
    double x = lua_tonumber(L, index);
    return std::floor(x) == x ? trunc_to_i64(x) : 0;
  }
  default:
    return 0;
  }
}

}  // namespace

int lua54__apply_system_settings(lua_State *L) {
  if (!lua_istable(L, 1)) {
    printf("** lua54__apply_system_settings failed; not a table\n");
    return 0;
  }
  lua_pushnil(L);
  while (lua_next(L, 1)) {
    // lua_tostring on a number key would change it under lua_next: only real strings count.
    if (lua_type(L, -2) == LUA_TSTRING)
      kestrune_apply_setting(lua_tostring(L, -2), setting_value(L, -1));
    lua_pop(L, 1);
  }
  kestrune_apply_settings();
  return 0;
}
