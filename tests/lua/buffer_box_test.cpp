// The storage of the library's string buffers, attacked from a script through the
// registry, a host function's slots and the debug library: the runtime survives
// (the sanitizers watch), the buffer's result is intact, and once the state is
// closed every byte its owner was charged has come back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chunk_runner.h"
#include "kernel/accounting.h"
#include "kernel/process.h"

using namespace lua_harness;

namespace {

process *owner;
int owner_heap(lua_State *L) {
  lua_pushinteger(L, owner->heap_bytes);
  return 1;
}

struct attack {
  const char *what;
  const char *code;
  std::vector<std::string> results;
};

TEST(BufferBox, ScriptsCannotKeepFreeOrForgeItsStorage) {
  const std::vector<attack> attacks = {
      {"the finalizers taken out of the registry's box metatable",
       "local _ = string.rep('x', 5000) "
       "local mt = debug.getregistry()['_UBOX*'] "
       "if mt then mt.__gc = nil mt.__close = nil end "
       "local failed = 0 "
       "for i = 1, 20 do if not pcall(string.rep, 'y', 100000) then failed = failed + 1 end end "
       "return mt == nil, failed",
       {"b:true", "i:0"}},
      {"the box read from a running gsub's slots: its metatable's functions called, a "
       "metatable of the script's own given, a to-be-closed variable made of it",
       "local finalized = 0 "
       "local function mine() return {__close = function() end, "
       "  __gc = function() finalized = finalized + 1 end} end "
       "local out = string.gsub(string.rep('ab', 3000), 'a', function() "
       "  for slot = 1, 12 do "
       "    local _, v = debug.getlocal(2, slot) "
       "    if type(v) == 'userdata' then "
       "      local mt = debug.getmetatable(v) "
       "      if mt then "
       "        for _, f in pairs(mt) do if type(f) == 'function' then pcall(f, v) end end "
       "        mt.__gc = nil mt.__close = nil "
       "      end "
       "      debug.setmetatable(v, mine()) "
       "      pcall(function() local b <close> = v end) "
       "    end "
       "  end "
       "  return 'c' "
       "end) "
       "collectgarbage() collectgarbage() "
       "return out == string.rep('cb', 3000), finalized > 0",
       {"b:true", "b:true"}},
      {"the registry's box entry replaced by a number",
       "debug.getregistry()['_UBOX*'] = 42 "
       "return #string.rep('x', 5000), #table.concat({string.rep('y', 3000), 'z'})",
       {"i:5000", "i:3001"}},
      {"the registry's hook table replaced by a number while a hook runs",
       "debug.sethook(function() end, 'l') debug.getregistry()._HOOKKEY = 5 "
       "local x = 1 x = x + 1 "
       "local h, mask = debug.gethook() debug.sethook() "
       "return x, h, mask",
       {"i:2", "nil", "s:l"}},
      {"a buffer left by an error is freed at once",
       "collectgarbage('stop') local big = string.rep('x', 100000) "
       "local before = heap() "
       "for i = 1, 50 do pcall(table.concat, {big, {}}) end "
       "return heap() - before < 100000",
       {"b:true"}},
  };
  for (const attack &a : attacks) {
    process P;
    owner = &P;
    lua_State *L = lua_newstate(l_alloc, &P);
    ASSERT_NE(L, nullptr);
    luaL_openlibs(L);
    lua_register(L, "heap", owner_heap);
    chunk_run r = run_chunk(L, a.code);
    EXPECT_EQ(r.results, a.results) << a.what;
    lua_close(L);
    EXPECT_EQ(P.heap_bytes, 0) << a.what << ": every charged byte came back";
  }
}

}  // namespace
