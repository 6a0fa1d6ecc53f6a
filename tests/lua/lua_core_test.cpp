// The Lua core links and runs chunks, and its errors unwind C++ frames.
#include <gtest/gtest.h>

#include <string>

#include "lua.hpp"

namespace {

struct lua_closer {
  void operator()(lua_State *L) const { lua_close(L); }
};
using state_owner = std::unique_ptr<lua_State, lua_closer>;

state_owner new_state() {
  state_owner L(luaL_newstate());
  luaL_openlibs(L.get());
  return L;
}

TEST(LuaCore, RunsAChunk) {
  state_owner L = new_state();
  ASSERT_EQ(luaL_loadstring(L.get(), "local t = {} for i = 1, 10 do t[i] = i * i end "
                                     "return #t, t[10], 7 // 2, 2^10, ('x'):rep(3)"),
            LUA_OK);
  ASSERT_EQ(lua_pcall(L.get(), 0, 5, 0), LUA_OK);
  EXPECT_EQ(lua_tointeger(L.get(), 1), 10);
  EXPECT_EQ(lua_tointeger(L.get(), 2), 100);
  EXPECT_EQ(lua_tointeger(L.get(), 3), 3);
  EXPECT_DOUBLE_EQ(lua_tonumber(L.get(), 4), 1024.0);
  EXPECT_STREQ(lua_tostring(L.get(), 5), "xxx");
  EXPECT_STREQ(LUA_RELEASE, "Lua 5.4.2");
}

TEST(LuaCore, ErrorsUnwindCppDestructors) {
  static int destroyed = 0;
  struct guard {
    ~guard() { destroyed++; }
  };
  state_owner L = new_state();
  lua_pushcfunction(L.get(), [](lua_State *S) -> int {
    guard g;
    return luaL_error(S, "boom %d", 7);
  });
  destroyed = 0;
  ASSERT_EQ(lua_pcall(L.get(), 0, 0, 0), LUA_ERRRUN);
  EXPECT_EQ(destroyed, 1);
  EXPECT_NE(std::string(lua_tostring(L.get(), -1)).find("boom 7"), std::string::npos);
}

}  // namespace
