// Shared by the values tests: a fresh process table with a root process whose
// state has the registry's functions, code run on it, and results shown with
// their Lua types.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kernel/accounting.h"
#include "kernel/process.h"
#include "kernel/system.h"
#include "lua.hpp"
#include "tests/kernel/script_api_fixture.h"

namespace values_test {

using script_api_test::R;
using script_api_test::run_on;
using script_api_test::show;

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
    return create_process_from_code("", name, path);
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
