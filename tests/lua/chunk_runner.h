// Running a chunk in a state with the library set and reading what it gave:
// its results as tagged strings, the lines it printed, or its error message.
#pragma once

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "lua_harness.h"

namespace lua_harness {

// nil, b:true, i:5, f:2.25 (17 digits, so equal texts are equal floats),
// s:text, or the type name of anything else.
inline std::string tagged(lua_State *L, int idx) {
  char buf[64];
  switch (lua_type(L, idx)) {
    case LUA_TNIL: return "nil";
    case LUA_TBOOLEAN: return lua_toboolean(L, idx) ? "b:true" : "b:false";
    case LUA_TNUMBER:
      if (lua_isinteger(L, idx))
        std::snprintf(buf, sizeof buf, "i:%" PRId64, int64_t{lua_tointeger(L, idx)});
      else
        std::snprintf(buf, sizeof buf, "f:%.17g", double{lua_tonumber(L, idx)});
      return buf;
    case LUA_TSTRING: {
      size_t n;
      const char *s = lua_tolstring(L, idx, &n);
      return "s:" + std::string(s, n);
    }
    default: return luaL_typename(L, idx);
  }
}

struct chunk_run {
  int status = LUA_OK;               // of the load, or else of the call
  std::vector<std::string> results;  // tagged; on failure the message alone (untagged)
  std::string printed;               // what print wrote: tab-separated, one line per call
};

// print, writing into the std::string its upvalue points to.
inline int captured_print(lua_State *L) {
  auto *out = static_cast<std::string *>(lua_touserdata(L, lua_upvalueindex(1)));
  int n = lua_gettop(L);
  for (int i = 1; i <= n; i++) {
    size_t len;
    const char *s = luaL_tolstring(L, i, &len);
    if (i > 1) *out += '\t';
    out->append(s, len);
    lua_pop(L, 1);
  }
  *out += '\n';
  return 0;
}

// Loads `code` (chunk name `name`) into L and calls it with an unlimited
// slice; the global print writes into the result while it runs.
inline chunk_run run_chunk(lua_State *L, const std::string &code, const char *name = "=t") {
  chunk_run run;
  int base = lua_gettop(L);
  lua_pushlightuserdata(L, &run.printed);
  lua_pushcclosure(L, captured_print, 1);
  lua_setglobal(L, "print");
  run.status = luaL_loadbufferx(L, code.data(), code.size(), name, "t");
  if (run.status == LUA_OK) {
    cycle_guard::set_slice(0, INT_MAX);
    run.status = lua_pcall(L, 0, LUA_MULTRET, 0);
  }
  if (run.status != LUA_OK) {
    const char *m = lua_tostring(L, -1);
    run.results.emplace_back(m ? m : "(no message)");
  } else {
    for (int i = base + 1; i <= lua_gettop(L); i++) run.results.push_back(tagged(L, i));
  }
  lua_settop(L, base);
  lua_pushnil(L);  // the captured buffer dies with `run`
  lua_setglobal(L, "print");
  return run;
}

// The same in a fresh state.
inline chunk_run run_fresh(const std::string &code, const char *name = "=t") {
  state_owner S = new_state();
  return run_chunk(S.get(), code, name);
}

// The error message of a chunk that must fail to compile.
inline std::string compile_error(const std::string &code, const char *name = "=t") {
  state_owner S = new_state();
  lua_State *L = S.get();
  if (luaL_loadbufferx(L, code.data(), code.size(), name, "t") == LUA_OK) return "(compiled)";
  return lua_tostring(L, -1);
}

}  // namespace lua_harness
