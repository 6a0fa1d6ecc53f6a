// The debug library reads everything but writes only into Lua functions: a host
// function's slots and upvalues and a loop's control slots stay as they are.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chunk_runner.h"

using namespace lua_harness;

namespace {

struct attempt {
  const char *what;
  const char *code;
  std::vector<std::string> results;  // tagged, or the error message alone
};

TEST(DebugLibrary, WritesStayOutOfHostFunctions) {
  const std::vector<attempt> attempts = {
      // From gsub's replacement function, level 2 is gsub itself: its subject
      // and its buffer box are "(C temporary)" slots. Reading still works.
      {"setlocal into a host frame",
       "local names, set = {}, {} "
       "local r = string.gsub(string.rep('ab', 40), 'a', function() "
       "  names[#names + 1] = debug.getlocal(2, 1) "
       "  set[#set + 1] = tostring(debug.setlocal(2, 1, 'x')) "
       "  collectgarbage() return 'c' end) "
       "return names[1], set[1], set[40], r == string.rep('cb', 40)",
       {"s:(C temporary)", "s:nil", "s:nil", "b:true"}},
      {"setlocal from a finalizer into the host frame that allocates",
       "local out = {} "
       "setmetatable({}, {__gc = function() "
       "  for l = 2, 6 do local i = debug.getinfo(l, 'S') "
       "    if i and i.what == 'C' then out[#out + 1] = tostring(debug.setlocal(l, 1, 1)) end end end}) "
       "local s = string.format('%s-%s', string.rep('p', 100), 'q') "
       "collectgarbage('collect') return #s, out[1]",
       {"i:102", "s:nil"}},
      // A gmatch iterator keeps its subject and match state in upvalues.
      {"setupvalue on a host closure",
       "local it = string.gmatch('one two', '%a+') "
       "local n = select('#', debug.setupvalue(it, 3, 'junk')) "
       "return n, debug.getupvalue(it, 1), it(), it()",
       {"i:0", "s:", "s:one", "s:two"}},
      {"setupvalue on a Lua closure still works",
       "local up = 1 local function f() return up end "
       "return debug.setupvalue(f, 1, 5), f()",
       {"s:up", "i:5"}},
      {"upvaluejoin refuses host closures",
       "local up = 1 local function f() return up end "
       "return pcall(debug.upvaluejoin, f, 1, string.gmatch('a', 'a'), 1)",
       {"b:false", "s:bad argument #3 to 'debug.upvaluejoin' (Lua function expected)"}},
      // The loop reads its count and step without checking their types.
      {"setlocal on a loop's control slots",
       "local n, tries, set = 0, 0, 0 "
       "for i = 1, 3 do for k = 1, 20 do "
       "  if debug.getlocal(1, k) == '(for state)' then tries = tries + 1 "
       "    if debug.setlocal(1, k, {}) then set = set + 1 end end end "
       "  n = n + 1 end collectgarbage() "
       "return n, tries, set",
       {"i:3", "i:18", "i:0"}},
      {"setlocal on an ordinary local still works",
       "local a = 1 debug.setlocal(1, 1, 7) return a", {"i:7"}},
      {"getinfo with a '>' option",
       "return pcall(debug.getinfo, 1, '>S')",
       {"b:false", "s:bad argument #2 to 'debug.getinfo' (invalid option '>')"}},
  };
  for (const attempt &a : attempts) {
    chunk_run r = run_fresh(a.code);
    EXPECT_EQ(r.results, a.results) << a.what;
  }
}

}  // namespace
