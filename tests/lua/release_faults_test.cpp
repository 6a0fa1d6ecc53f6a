// Faults of the 5.4.2 release that a script can reach, each mended in our series:
// what the script now gets (the sanitizers watch for the rest). The end-to-end
// scenario hostile_interpreter attacks the others (nested coroutine closes,
// utf8.codes) in a process.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "chunk_runner.h"

using namespace lua_harness;

namespace {

struct fault {
  const char *what;
  std::string code;
  std::vector<std::string> results;  // tagged, or the error message alone
};

TEST(ReleaseFaults, ScriptsGetSoundResults) {
  const std::vector<fault> faults = {
      {"shifts by the most negative integer",
       "local m = math.mininteger "
       "return 1 >> m, 1 << m, -1 >> m, m >> m, 1 >> (-0x7fffffffffffffff - 1)",
       {"i:0", "i:0", "i:0", "i:0", "i:0"}},
      {"a constant _ENV is indexed as a value",
       "local _ENV <const> = 5 return y", {"t:1: attempt to index a number value"}},
      {"a constant _ENV seen from a nested function",
       "local _ENV <const> = 5 return (function() y = 1 end)()",
       {"t:1: attempt to index a number value"}},
      {"a constant string _ENV reads the string library",
       "local _ENV <const> = 'x' return (function() return len end)() == ('').len",
       {"b:true"}},
      {"traceback levels at the ends of the integers",
       "return debug.traceback('m', -(1 << 31)), debug.traceback('m', (1 << 31) - 1), "
       "(debug.traceback('m', 1):gsub('\\n.*', ''))",
       {"s:m\nstack traceback:", "s:m\nstack traceback:", "s:m"}},
      {"a collector step of the largest size",
       "collectgarbage('incremental', 0, 1000, 62) local t = {} for i = 1, 1000 do t[i] = {} end "
       "return collectgarbage('step'), collectgarbage('incremental')",
       {"b:true", "s:incremental"}},
      {"tostring of a named value",
       "local u = setmetatable({}, {__name = 'thing'}) return (tostring(u):gsub('0x%x+', 'p'))",
       {"s:thing: p"}},
  };
  for (const fault &f : faults) {
    chunk_run r = run_fresh(f.code);
    EXPECT_EQ(r.results, f.results) << f.what;
  }
}

// luaL_tolstring with a relative index reads the value it was given, not the
// "__name" it pushes on the way.
TEST(ReleaseFaults, TolstringWithRelativeIndex) {
  state_owner S = new_state();
  lua_State *L = S.get();
  ASSERT_EQ(luaL_dostring(L, "return setmetatable({}, {__name = 'thing'})"), LUA_OK);
  const void *p = lua_topointer(L, -1);
  char buf[64];
  snprintf(buf, sizeof buf, "thing: %p", p);
  EXPECT_STREQ(luaL_tolstring(L, -1, nullptr), buf);
}

}  // namespace
