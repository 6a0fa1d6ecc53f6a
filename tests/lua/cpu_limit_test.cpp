// The cpu limit: code that cannot yield, and library functions whose work a
// script can make huge, stop with the error once a slice has run far enough past
// its cap; the budget yield leaves a thread's stack as it found it.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "kernel/accounting.h"
#include "lua_harness.h"
#include "lstate.h"

using namespace lua_harness;

namespace {

// Hostile code that overruns stops with the error (the end-to-end scenario
// hostile_cpu_limit attacks with a process each); the same work within the
// limit goes through.
TEST(CpuLimit, WorkWithinTheLimitCompletes) {
  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
  ASSERT_EQ(luaL_loadstring(L, "local n = 0 "
                               "string.gsub(string.rep('a', 20), '.', function() "
                               "  for i = 1, 2000 do n = n + 1 end end) "
                               "return n, #string.rep('x', 100000) + #string.rep('', 1 << 62), "
                               "#table.concat({1, 2, 3})"),
            LUA_OK);
  ASSERT_EQ(run_sliced(L, 1000), LUA_OK) << lua_tostring(L, -1);
  EXPECT_EQ(lua_tointeger(L, -3), 40000);
  EXPECT_EQ(lua_tointeger(L, -2), 100000);
  EXPECT_EQ(lua_tointeger(L, -1), 3);
}

// Closing a state runs its finalizers where nothing can yield: an endless one
// ends at the limit and the close finishes.
TEST(CpuLimit, ClosingAStateBoundsItsFinalizers) {
  cycle_guard guard;
  lua_State *L = luaL_newstate();
  luaL_openlibs(L);
  ASSERT_EQ(luaL_dostring(L, "for i = 1, 3 do "
                             "  setmetatable({}, {__gc = function() while true do end end}) end "
                             "keep = setmetatable({}, {__gc = function() while true do end end})"),
            LUA_OK);
  cycle_guard::set_slice(0, 0);
  lua_close(L);
  EXPECT_GT(cpu_cycles, cpu_overrun_limit);
  EXPECT_LT(cpu_cycles, cpu_overrun_limit + 100000);
}

// A thread stopped by the budget yield and resumed with arguments (or looked at
// with the debug library meanwhile) keeps the stack it had.
TEST(CpuLimit, BudgetYieldsLeaveTheStackAsItWas) {
  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
  ASSERT_EQ(luaL_loadstring(L, "local n = 0 while true do n = n + 1 end"), LUA_OK);
  lua_State *co = lua_newthread(L);  // L: the thread at 1
  lua_rotate(L, -2, 1);
  lua_xmove(L, co, 1);
  ASSERT_EQ(luaL_loadstring(L, "local co = ... debug.getinfo(co, 0, 'l') debug.getlocal(co, 0, 1)"),
            LUA_OK);  // L: the probe at 2
  int nres = 0, size_after_first = 0;
  for (int i = 0; i < 20000; i++) {
    if (i > 0) lua_pushinteger(co, i);
    cycle_guard::set_slice(1, 0);  // past the cap: one instruction, then the yield
    ASSERT_EQ(lua_resume(co, L, i == 0 ? 0 : 1, &nres), LUA_YIELD) << i;
    if (i % 2 == 0) {
      cycle_guard::set_slice(0, INT_MAX);
      lua_pushvalue(L, 2);
      lua_pushvalue(L, 1);
      ASSERT_EQ(lua_pcall(L, 1, 0, 0), LUA_OK) << lua_tostring(L, -1);
    }
    if (i == 1) size_after_first = static_cast<int>(co->stack_last - co->stack);
  }
  EXPECT_EQ(static_cast<int>(co->stack_last - co->stack), size_after_first);
  EXPECT_EQ(co->ci->top, co->ci->func + 1 + clLvalue(s2v(co->ci->func))->p->maxstacksize);
}

// What a library call charges grows with its work: each call below is made
// with a size n and 4n, and must charge about four times as much.
struct sized_call {
  const char *what;
  const char *code;  // a function of n
};

const std::vector<sized_call> sized_calls = {
    {"string.rep", "return function(n) string.rep('x', n) end"},
    {"string.rep with a separator", "return function(n) string.rep('ab', n, ',') end"},
    {"table.move", "return function(n) table.move({}, 1, n, 1, {}) end"},
    {"table.concat", "return function(n) table.concat(setmetatable({}, {__index = function() "
                     "return 'w' end}), ' ', 1, n) end"},
    {"find, repetition", "return function(n) string.find(string.rep('a', n), '^.-b') end"},
    {"find, plain", "return function(n) string.find(string.rep('a', 64 * n), "
                    "string.rep('a', 63) .. 'b', 1, true) end"},
    {"gsub", "return function(n) string.gsub(string.rep('ab ', n), '%a+', '<%0>') end"},
    {"gmatch", "return function(n) for w in string.gmatch(string.rep('ab ', n), '%a+') do end end"},
    {"format", "return function(n) local t = {} for i = 1, n do t[i] = i end "
               "string.format(string.rep('%d', n), table.unpack(t)) end"},
    {"format %q", "return function(n) string.format('%q', string.rep('\\0', n)) end"},
    {"string.upper", "return function(n) string.upper(string.rep('ab', n)) end"},
    {"utf8.len", "return function(n) utf8.len(string.rep('ab', n)) end"},
    {"collectgarbage", "return function(n) local t = {} for i = 1, n do t[i] = {} end "
                       "local c0 = cpu_count() collectgarbage() return cpu_count() - c0 end"},
};

int cpu_count(lua_State *L) {
  lua_pushinteger(L, static_cast<uint32_t>(cpu_cycles));
  return 1;
}

TEST(LibraryCharges, GrowWithTheWork) {
  cycle_guard guard;
  for (const sized_call &c : sized_calls) {
    state_owner S = new_state();
    lua_State *L = S.get();
    lua_register(L, "cpu_count", cpu_count);
    ASSERT_EQ(luaL_dostring(L, c.code), LUA_OK) << c.what << ": " << lua_tostring(L, -1);
    auto charge = [&](int n) -> int64_t {
      lua_pushvalue(L, 1);
      lua_pushinteger(L, n);
      cycle_guard::set_slice(0, INT_MAX);
      EXPECT_EQ(lua_pcall(L, 1, 1, 0), LUA_OK) << c.what << ": " << lua_tostring(L, -1);
      // A call that measures its own part returns it; else the whole count.
      int64_t own = lua_isinteger(L, -1) ? lua_tointeger(L, -1) : static_cast<uint32_t>(cpu_cycles);
      lua_pop(L, 1);
      return own;
    };
    const int n = 20000;
    int64_t small = charge(n), large = charge(4 * n);
    EXPECT_GE(small, 100) << c.what;
    EXPECT_GT(large, 3 * small) << c.what;
    EXPECT_LT(large, 5 * small) << c.what;
  }
}

}  // namespace

