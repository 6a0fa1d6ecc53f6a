// The benchmark's way into the unchanged release.
#include "runner.h"

#include "pristine_std.h"

namespace pristine_lua {
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
}  // namespace pristine_lua

using namespace pristine_lua;

static lua_State *state_of(pristine_state *S) { return reinterpret_cast<lua_State *>(S); }

pristine_state *pristine_open() {
  lua_State *L = luaL_newstate();
  luaL_openlibs(L);
  return reinterpret_cast<pristine_state *>(L);
}

void pristine_close(pristine_state *S) { lua_close(state_of(S)); }

bool pristine_prepare(pristine_state *S, const char *code, std::string *error) {
  lua_State *L = state_of(S);
  lua_settop(L, 0);
  if (luaL_loadstring(L, code) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK) {
    *error = lua_tostring(L, -1);
    lua_settop(L, 0);
    return false;
  }
  return lua_isfunction(L, 1);
}

bool pristine_call(pristine_state *S, std::string *result) {
  lua_State *L = state_of(S);
  lua_pushvalue(L, 1);
  bool ok = lua_pcall(L, 0, 1, 0) == LUA_OK;
  const char *s = luaL_tolstring(L, -1, nullptr);
  *result = s ? s : "";
  lua_settop(L, 1);
  return ok;
}
