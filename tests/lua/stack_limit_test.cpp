// The dialect's stack limit: 100000 slots per thread.
#include <gtest/gtest.h>

#include <string>

#include "lua_harness.h"

using namespace lua_harness;

namespace {

static_assert(LUAI_MAXSTACK == 100000);
static_assert(LUA_REGISTRYINDEX == -101000);

TEST(StackLimit, HostRequestsBeyondTheLimitAreRefused) {
  state_owner S = new_state();
  lua_State *L = S.get();
  EXPECT_TRUE(lua_checkstack(L, 99000));
  EXPECT_FALSE(lua_checkstack(L, 100001));
}

TEST(StackLimit, ValuesUpToTheLimit) {
  state_owner S = new_state();
  lua_State *L = S.get();
  ASSERT_EQ(luaL_dostring(L, "local t = {} for i = 1, 100000 do t[i] = i end "
                             "local few = select('#', table.unpack(t, 1, 99000)) "
                             "local ok, err = pcall(table.unpack, t, 1, 100000) "
                             "return few, ok, err"),
            LUA_OK)
      << lua_tostring(L, -1);
  EXPECT_EQ(lua_tointeger(L, -3), 99000);
  EXPECT_FALSE(lua_toboolean(L, -2));
  EXPECT_STREQ(lua_tostring(L, -1), "too many results to unpack");
}

TEST(StackLimit, EndlessRecursionOverflows) {
  state_owner S = new_state();
  lua_State *L = S.get();
  ASSERT_EQ(luaL_dostring(L, "local depth = 0 "
                             "local function f() depth = depth + 1 return 1 + f() end "
                             "local ok, err = pcall(f) return ok, err, depth"),
            LUA_OK);
  EXPECT_FALSE(lua_toboolean(L, -3));
  std::string err = lua_tostring(L, -2);
  EXPECT_NE(err.find("stack overflow"), std::string::npos) << err;
  EXPECT_EQ(err.find("C stack overflow"), std::string::npos) << err;
  // Each level of f takes one more slot (its frame starts where the callee sits).
  EXPECT_GT(lua_tointeger(L, -1), 99000);
  EXPECT_LT(lua_tointeger(L, -1), 100000);
}

TEST(StackLimit, OverflowingErrorHandlerIsAnErrorInErrorHandling) {
  state_owner S = new_state();
  lua_State *L = S.get();
  ASSERT_EQ(luaL_loadstring(L, "local function r() return 1 + r() end return r()"), LUA_OK);
  ASSERT_EQ(luaL_loadstring(L, "error('first')"), LUA_OK);
  EXPECT_EQ(lua_pcall(L, 0, 0, 1), LUA_ERRERR);
  EXPECT_STREQ(lua_tostring(L, -1), "error in error handling");
}

}  // namespace
