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

// Each call with N = 1 (an ordinary call: charged as before, where that is
// given) and N = 2001.
TEST_F(BulkCharges, GrowWithTheWorkDone) {
  constexpr int unchecked = -1;
  struct row {
    const char *setup;     // sees N
    const char *call;      // the function, then its arguments
    int small_charge;      // with N = 1
    double per_unit;       // the cycles each unit of N costs at least
  };
  const row rows[] = {
      {"local s = ('a'):rep(N)", "string.byte, s, 1, -1", 0, 0.5},
      {"local t = many(N, 65)", "string.char, table.unpack(t)", 0, 0.5},
      {"local s = ('a'):rep(N)", "utf8.codepoint, s, 1, -1", 0, 1},
      {"local t = many(N, 0x263A)", "utf8.char, table.unpack(t)", unchecked, 0.5},
      {"local s = ('a'):rep(N + 1)", "utf8.offset, s, N + 1", 0, 0.25},
      {"local s = ('a'):rep(N + 1)", "utf8.offset, s, -N", 0, 0.25},
      {"local f = ('b'):rep(N)", "string.unpack, f, ('x'):rep(N)", 4, 1},
      {"local f, t = ('b'):rep(N), many(N, 1)", "string.pack, f, table.unpack(t)", unchecked, 1},
      {"local f = 'c' .. N", "string.pack, f, ''", unchecked, 0.125},
      {"local f = ('i4'):rep(N)", "string.packsize, f", 2, 1},
      {"local s = ('1'):rep(N)", "tonumber, s", 0, 0.125},
      {"local t = many(N, 1.5)", "table.concat, t", 52, 1},
      {"local co = deep(N)", "debug.getinfo, co, N, 'l'", 0, 0.5},
      {"local co = deep(N)", "debug.sethook, co, print, 'c'", unchecked, 0.5},
      {"local f = compile(('a = 1\\n'):rep(N))", "debug.getinfo, f, 'L'", 3, 1},
      // A tried position of a pattern that is no plain character costs the
      // host several times what a character passed over costs.
      {"local s = ('a'):rep(N)", "string.find, s, '%d'", unchecked, 2},
      {"local s = ('a'):rep(N)", "string.find, s, '[%d]+'", unchecked, 2},
      // Each step of a loop over a library iterator is a host call.
      {"local s = ('a '):rep(N)", "function() for w in s:gmatch('a') do end end", unchecked, 8},
      {"local s = ('\\u{e9}'):rep(N)", "function() for p, c in utf8.codes(s) do end end", unchecked,
       6},
      // A traceback names its levels from the loaded modules, walking each
      // table of them (the last row: the module stays).
      {"local co = deep(N)", "debug.traceback, co", unchecked, 0.5},
      {"local m = {} for i = 1, N do m['k' .. i] = i end debug.getregistry()._LOADED.big = m",
       "function() return debug.traceback() end", unchecked, 0.5},
      {"local m = ('x'):rep(8 * N)", "debug.traceback, m", unchecked, 1},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.call);
    int small = charge(r.setup, r.call, 1);
    if (r.small_charge != unchecked) EXPECT_EQ(small, r.small_charge);
    int large = charge(r.setup, r.call, 2001);
    EXPECT_GE(large - small, 2000 * r.per_unit);
  }
}

// Calls whose host work is dear whatever their arguments pay for it beside
// a cheap call of the same kind: made from C, so the difference is the dear
// part alone.
TEST_F(BulkCharges, DearCallsPayBesideCheapOnes) {
  struct row {
    const char *what;
    const char *dear, *cheap;  // the function, then its arguments
    int more;                  // cycles the dear call pays beyond the cheap one, at least
  };
  const row rows[] = {
      {"the fields of a full getinfo", "function() return debug.getinfo(1) end",
       "function() return debug.getinfo(1, 'l') end", 100},
      {"a float written in decimal", "string.format, '%g', 0.5", "string.format, '%d', 1", 20},
      {"400 digits of a 1023-bit number", "string.format, '%.99f', 1e308",
       "string.format, '%.0f', 1.0", 2000},
      {"a 100-digit quotient of a 1074-bit number", "string.format, '%.99e', 4.9e-324",
       "string.format, '%.0e', 1.0", 500},
      {"a thread made", "coroutine.create, print", "type, print", 40},
      {"ten more levels shown", "debug.traceback, deep(12)", "debug.traceback, deep(2)", 400},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_GE(charge("", r.dear, 0) - charge("", r.cheap, 0), r.more);
  }
}

// What the host does besides: a line written, a thrown yield or error.
TEST_F(BulkCharges, HostWorkOfLinesAndThrows) {
  EXPECT_GE(charge("", "print, 'a line from the charges test'", 0), 1024);
  EXPECT_GE(charge("local s = ('x'):rep(16000)", "print, s", 0), 1024 + 1000);
  EXPECT_GE(charge("local co = coroutine.wrap(function() while true do coroutine.yield() end end) co()",
                   "co", 0),
            THROWCYCLES + 256)  // the yield's throw, and its catch
      << "a resume of a coroutine that yields from the library";
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
      "{byte = string.byte, char = string.char, codepoint = utf8.codepoint, "
      "offset = utf8.offset, concat = table.concat, sub = string.sub, getinfo = debug.getinfo, "
      "format = string.format}");
  int stubs = count(
      "{byte = type, char = type, codepoint = type, "
      "offset = type, concat = type, sub = type, getinfo = type, format = type}");
  // Only the charges that were there before: 3 strings joined (4 each) and a
  // conversion formatted (12), 50 times.
  EXPECT_EQ(real - stubs, 50 * (3 * 4 + 12));
}

}  // namespace
