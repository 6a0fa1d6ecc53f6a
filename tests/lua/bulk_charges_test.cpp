// What the library's bulk calls charge: each grows with the values it pushes,
// the bytes or items it handles, the stack levels it walks; small calls cost
// what they did; lines written, yields and errors pay for the host's work.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "lua_harness.h"

namespace {

using lua_harness::cycle_guard;
using lua_harness::new_state;
using lua_harness::state_owner;

class BulkCharges : public testing::Test {
 protected:
  // Runs `setup` (Lua source, with N set to n), then calls the function and
  // arguments that `call` returns from C: the slice's count holds the call's
  // charge alone (the test states charge nothing for memory).
  int charge(const std::string &setup, const std::string &call, int n) {
    lua_settop(L, 0);
    std::string code = "local N = " + std::to_string(n) + " " + setup + " return " + call;
    if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK) {
      ADD_FAILURE() << lua_tostring(L, -1);
      return -1;
    }
    fflush(stdout);
    cycle_guard::set_slice(0, INT_MAX);
    int status = lua_pcall(L, lua_gettop(L) - 1, LUA_MULTRET, 0);
    int spent = cpu_cycles;
    if (status != LUA_OK) ADD_FAILURE() << call << ": " << lua_tostring(L, -1);
    return spent;
  }
  void SetUp() override {
    lua_register(L, "compile", [](lua_State *S) {
      size_t n;
      const char *code = luaL_checklstring(S, 1, &n);
      luaL_loadbuffer(S, code, n, "=compiled");
      return 1;
    });
    ASSERT_EQ(luaL_dostring(L, R"lua(
      -- a coroutine suspended n calls deep
      function deep(n)
        local function r(k) if k == 0 then coroutine.yield() end return r(k - 1) + 0 end
        local co = coroutine.create(r)
        coroutine.resume(co, n)
        return co
      end
      function many(n, v) local t = {} for i = 1, n do t[i] = v end return t end
    )lua"),
              LUA_OK);
  }
  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
};

// Each call with N = 1 (an ordinary call: charged as before) and N = 2001.
TEST_F(BulkCharges, GrowWithTheWorkDone) {
  struct row {
    const char *setup;  // sees N
    const char *call;   // the function, then its arguments
    int small_charge;   // with N = 1
    int per_cycle;      // the units of N a cycle covers at most
  };
  const row rows[] = {
      {"local s = ('a'):rep(N)", "string.byte, s, 1, -1", 0, 2},
      {"local t = many(N, 65)", "string.char, table.unpack(t)", 0, 2},
      {"local s = ('a'):rep(N)", "utf8.codepoint, s, 1, -1", 0, 1},
      {"local t = many(N, 0x263A)", "utf8.char, table.unpack(t)", 0, 2},
      {"local s = ('a'):rep(N + 1)", "utf8.offset, s, N + 1", 0, 4},
      {"local s = ('a'):rep(N + 1)", "utf8.offset, s, -N", 0, 4},
      {"local f = ('b'):rep(N)", "string.unpack, f, ('x'):rep(N)", 4, 1},
      {"local f, t = ('b'):rep(N), many(N, 1)", "string.pack, f, table.unpack(t)", 2, 1},
      {"local f = 'c' .. N", "string.pack, f, ''", 2, 8},
      {"local f = ('i4'):rep(N)", "string.packsize, f", 2, 1},
      {"local s = ('1'):rep(N)", "tonumber, s", 0, 8},
      {"local t = many(N, 1.5)", "table.concat, t", 52, 1},
      {"local co = deep(N)", "debug.getinfo, co, N, 'l'", 0, 2},
      {"local co = deep(N)", "debug.traceback, co", 0, 2},
      {"local co = deep(N)", "debug.sethook, co, print, 'c'", 0, 2},
      {"local f = compile(('a = 1\\n'):rep(N))", "debug.getinfo, f, 'L'", 3, 1},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.call);
    int small = charge(r.setup, r.call, 1);
    EXPECT_EQ(small, r.small_charge);
    int large = charge(r.setup, r.call, 2001);
    EXPECT_GE(large - small, 2000 / r.per_cycle);
  }
}

// What the host does besides: a line written, a thrown yield or error.
TEST_F(BulkCharges, HostWorkOfLinesAndThrows) {
  EXPECT_GE(charge("", "print, 'a line from the charges test'", 0), 1024);
  EXPECT_GE(charge("local s = ('x'):rep(16000)", "print, s", 0), 1024 + 1000);
  EXPECT_GE(charge("local co = coroutine.wrap(function() while true do coroutine.yield() end end) co()",
                   "co", 0),
            THROWCYCLES);
  EXPECT_GE(charge("", "pcall, error, 'x'", 0), THROWCYCLES);
  // A budget yield ends a slice and costs it nothing beyond its instructions.
  ASSERT_EQ(luaL_loadstring(L, "while true do end"), LUA_OK);
  lua_State *co = lua_newthread(L);
  lua_rotate(L, -2, 1);
  lua_xmove(L, co, 1);
  cycle_guard::set_slice(0, 1000);
  int results = 0;
  ASSERT_EQ(lua_resume(co, L, 0, &results), LUA_YIELD);
  EXPECT_LE(cpu_cycles, 1004);
}

// A script of ordinary calls counts the same as the same script with each
// function replaced by one that does nothing: the small calls charge nothing.
TEST_F(BulkCharges, OrdinaryCallsCostWhatTheyDid) {
  const char *script = R"lua(
    local s, t = 'hello world', {'a', 'b', 'c'}
    for i = 1, 50 do
      local a = f.byte(s, 3)
      local b = f.char(72, 105)
      local c = f.codepoint(s, 2)
      local d = f.uchar(0x263A)
      local e = f.offset(s, 3)
      local g = f.concat(t, ',')
      local h = f.sub(s, 2, 5)
      local k = f.getinfo(1, 'l')
      local m = f.format('%d', i)
    end
  )lua";
  auto count = [&](const char *functions) {
    std::string code = std::string("f = ") + functions;
    EXPECT_EQ(luaL_dostring(L, code.c_str()), LUA_OK);
    EXPECT_EQ(luaL_loadstring(L, script), LUA_OK);
    cycle_guard::set_slice(0, INT_MAX);
    EXPECT_EQ(lua_pcall(L, 0, 0, 0), LUA_OK);
    return cpu_cycles;
  };
  int real = count(
      "{byte = string.byte, char = string.char, codepoint = utf8.codepoint, uchar = utf8.char, "
      "offset = utf8.offset, concat = table.concat, sub = string.sub, getinfo = debug.getinfo, "
      "format = string.format}");
  int stubs = count(
      "{byte = type, char = type, codepoint = type, uchar = type, "
      "offset = type, concat = type, sub = type, getinfo = type, format = type}");
  // Only the charges that were there before: 3 strings joined (4 each) and a
  // conversion formatted (12), 50 times.
  EXPECT_EQ(real - stubs, 50 * (3 * 4 + 12));
}

}  // namespace
