// Shared harness of the script-API tests: a fresh process table with a root
// process that has the real registry, code run on it, and results shown with
// their Lua types.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "kernel/accounting.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "kernel/system.h"
#include "lua.hpp"

namespace script_api_test {

using R = std::vector<std::string>;

// One value as "i:3", "f:2.5", "s:text", "b:true", "nil" or the type name.
inline std::string show(lua_State *L, int index) {
  char num[64];
  switch (lua_type(L, index)) {
  case LUA_TNIL:
    return "nil";
  case LUA_TBOOLEAN:
    return lua_toboolean(L, index) ? "b:true" : "b:false";
  case LUA_TNUMBER:
    if (lua_isinteger(L, index)) return "i:" + std::to_string(lua_tointeger(L, index));
    snprintf(num, sizeof num, "f:%.17g", lua_tonumber(L, index));
    return num;
  case LUA_TSTRING: {
    size_t n = 0;
    const char *s = lua_tolstring(L, index, &n);
    return "s:" + std::string(s, n);
  }
  default:
    return luaL_typename(L, index);
  }
}

// Runs code on a state (not yieldable: no cap applies); its results, or
// "error: <message>".
inline R run_on(lua_State *L, const std::string &code) {
  int base = lua_gettop(L);
  if (luaL_loadbuffer(L, code.data(), code.size(), "=test") != LUA_OK ||
      lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK) {
    R r{"error: " + std::string(lua_tostring(L, -1))};
    lua_settop(L, base);
    return r;
  }
  R r;
  for (int i = base + 1; i <= lua_gettop(L); i++) r.push_back(show(L, i));
  lua_settop(L, base);
  return r;
}

class ScriptApi : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_world();
    root = create_process_from_code("", "[root]", "[root]");
    ASSERT_NE(root, nullptr);
    root_process = root;
    cproc = root;
  }
  void TearDown() override { reset_world(); }

  static void reset_world() {
    ASSERT_TRUE(processes_init());
    app = app_record{};
    config = config_record{};
    config.headless = 1;
    root_process = nullptr;
    cpu_cycles = cpu_cycles_max = cpu_superyielding = 0;
  }

  // Runs code on the current process's state (not yieldable: no cap applies);
  // its results, or "error: <message>".
  static R run(const std::string &code) { return run_on(cproc->lua_state, code); }

  // The cycles one direct call of a function charges: `fn_code` evaluates to
  // the function (a global's name, say), `args_code` to its arguments; no
  // instruction of the interpreter runs in between.
  static int64_t charge_of(const std::string &fn_code, const std::string &args_code) {
    lua_State *L = cproc->lua_state;
    int base = lua_gettop(L);
    std::string code = "return " + fn_code + (args_code.empty() ? "" : ", " + args_code);
    cpu_cycles = 0;  // a large charge before must not stop the arguments at the cpu limit
    if (luaL_loadbuffer(L, code.data(), code.size(), "=args") != LUA_OK ||
        lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK) {
      ADD_FAILURE() << lua_tostring(L, -1);
      lua_settop(L, base);
      return -1;
    }
    int nargs = lua_gettop(L) - base - 1;
    cpu_cycles = 0;
    if (lua_pcall(L, nargs, LUA_MULTRET, 0) != LUA_OK) ADD_FAILURE() << lua_tostring(L, -1);
    int64_t used = cpu_cycles;
    lua_settop(L, base);
    return used;
  }

  process *root = nullptr;
};

}  // namespace script_api_test
