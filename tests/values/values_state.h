// Shared by the values tests: a fresh process table with a root process whose
// state has the userdata, tuk and message bindings, code run on it, and
// results shown with their Lua types.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kernel/accounting.h"
#include "kernel/messages_api.h"
#include "kernel/process.h"
#include "kernel/system.h"
#include "lua.hpp"
#include "values/tuk_api.h"
#include "values/userdata_api.h"

namespace values_test {

using R = std::vector<std::string>;

// The registry's rows for this subsystem, set directly.
inline void add_value_bindings(lua_State *L) {
  add_userdata_metatable_functions(L);
  const luaL_Reg rows[] = {
      {"userdata", lua54_userdata},      {"vec", lua54_vec},
      {"get", lua54_get},                {"set", lua54_set},
      {"tuk", lua54_stringify},          {"_tuk", lua54_stringify},
      {"untuk", lua54_destringify},      {"send_message", lua54_send_message},
      {"_send_message", lua54_send_message}, {"_read_message", lua54__read_message},
  };
  for (const luaL_Reg &r : rows) lua_register(L, r.name, r.func);
}

// One value as "i:3", "f:2.5", "s:text", "b:true", "nil" or the type name.
inline std::string show(lua_State *L, int index) {
  char num[64];
  switch (lua_type(L, index)) {
    case LUA_TNIL: return "nil";
    case LUA_TBOOLEAN: return lua_toboolean(L, index) ? "b:true" : "b:false";
    case LUA_TNUMBER:
      if (lua_isinteger(L, index)) return "i:" + std::to_string(lua_tointeger(L, index));
      snprintf(num, sizeof num, "f:%.17g", lua_tonumber(L, index));
      return num;
    case LUA_TSTRING: {
      size_t n = 0;
      const char *s = lua_tolstring(L, index, &n);
      return "s:" + std::string(s, n);
    }
    default: return luaL_typename(L, index);
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

class ValuesState : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_world();
    root = new_process("[root]", "[root]");
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
    cpu_cycles = cpu_superyielding = 0;
    cpu_cycles_max = 0x7FFFFFFF;
  }

  // A process (created by the current one) with the bindings.
  static process *new_process(const char *name, const char *path) {
    process *P = create_process_from_code("", name, path);
    if (P) add_value_bindings(P->lua_state);
    return P;
  }

  // Runs code as the current process.
  static R run(const std::string &code) { return run_on(cproc->lua_state, code); }

  // Runs code as process P (then the root is current again).
  static R run_as(process *P, const std::string &code) {
    process *was = cproc;
    cproc = P;
    R r = run(code);
    cproc = was;
    return r;
  }

  // The cycles one direct call of a function charges: `fn_code` evaluates to
  // the function, `args_code` to its arguments; no instruction runs between.
  static int64_t charge_of(const std::string &fn_code, const std::string &args_code) {
    lua_State *L = cproc->lua_state;
    int base = lua_gettop(L);
    std::string code = "return " + fn_code + ", " + args_code;
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

}  // namespace values_test
