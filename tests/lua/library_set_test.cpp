// The library set every process state gets: which libraries and functions
// exist, tonum, and the cycles the table functions charge.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "chunk_runner.h"

using namespace lua_harness;

namespace {

using names = std::set<std::string>;

// The keys of the table that `expr` gives.
names keys_of(const char *expr) {
  chunk_run r = run_fresh(std::string("local out = {} for k in pairs(") + expr +
                          ") do out[#out + 1] = tostring(k) end return table.concat(out, ' ')");
  EXPECT_EQ(r.status, LUA_OK) << r.results[0];
  names out;
  std::string all = r.results[0].substr(2), word;
  for (char c : all + " ") {
    if (c != ' ') {
      word += c;
    } else if (!word.empty()) {
      out.insert(word);
      word.clear();
    }
  }
  return out;
}

TEST(LibrarySet, GlobalTable) {
  EXPECT_EQ(keys_of("_G"),
            (names{"assert", "collectgarbage", "error", "getmetatable", "ipairs", "next", "pairs",
                   "pcall", "print", "warn", "rawequal", "rawlen", "rawget", "rawset", "select",
                   "setmetatable", "tonumber", "tonum", "tostring", "type", "_G", "_VERSION",
                   "coroutine", "table", "string", "math", "utf8", "debug"}));
  EXPECT_EQ(run_fresh("return _VERSION, _G == _G._G").results,
            (std::vector<std::string>{"s:Lua 5.4", "b:true"}));
}

TEST(LibrarySet, RemovedNamesAreNil) {
  EXPECT_EQ(run_fresh("return require, dofile, loadfile, xpcall, string.dump, table.sort, "
                      "debug.setcstacklimit, io, os, package, load")
                .results,
            std::vector<std::string>(11, "nil"));
}

TEST(LibrarySet, LibraryContents) {
  EXPECT_EQ(keys_of("table"), (names{"concat", "insert", "pack", "unpack", "remove", "move"}));
  EXPECT_EQ(keys_of("string"),
            (names{"byte", "char", "find", "format", "gmatch", "gsub", "len", "lower", "match",
                   "rep", "reverse", "sub", "upper", "pack", "packsize", "unpack"}));
  EXPECT_EQ(keys_of("coroutine"), (names{"create", "resume", "running", "status", "wrap", "yield",
                                         "isyieldable", "close"}));
  EXPECT_EQ(keys_of("debug"),
            (names{"debug", "getuservalue", "gethook", "getinfo", "getlocal", "getregistry",
                   "getmetatable", "getupvalue", "upvaluejoin", "upvalueid", "setuservalue",
                   "sethook", "setlocal", "setmetatable", "setupvalue", "traceback"}));
  EXPECT_EQ(keys_of("utf8"), (names{"offset", "codes", "codepoint", "char", "len", "charpattern"}));
  EXPECT_EQ(keys_of("math").size(), 35u);  // as published, with the 5.3 compatibility functions
  // Each library is recorded as loaded, the removed ones are not.
  EXPECT_EQ(keys_of("debug.getregistry()._LOADED"),
            (names{"_G", "coroutine", "table", "string", "math", "utf8", "debug"}));
  // The string metatable as published.
  EXPECT_EQ(run_fresh("return ('abc'):upper(), '10' + 5, #getmetatable('').__index.format('%d', 3)")
                .results,
            (std::vector<std::string>{"s:ABC", "i:15", "i:1"}));
}

// ---------------------------------------------------------------------------
// tonum

TEST(LibrarySet, Tonum) {
  struct vector {
    const char *args;
    std::vector<std::string> results;
  };
  const std::vector<vector> vectors = {
      {"'0x10'", {"i:16"}},     {"' 12 '", {"i:12"}},     {"'0b11'", {"i:3"}},
      {"'1e2'", {"f:100"}},     {"'12a'", {}},            {"{}", {}},
      {"true", {"i:1"}},        {"false", {"i:0"}},       {"", {}},
      {"nil", {}},              {"print", {}},            {"coroutine.create(print)", {}},
      {"7", {"i:7"}},           {"-7.5", {"f:-7.5"}},     {"1 // 0.0", {"f:inf"}},
      {"'  -0b101.1  '", {"f:-5.5"}}, {"'0b'", {}},       {"''", {}},
      {"'1\\0'", {}},           {"'nan'", {}},            {"'inf'", {}},
      {"'9223372036854775808'", {"f:9.2233720368547758e+18"}},
      {"'5', 'extra'", {"i:5"}}, {"nil, 3", {}},          {"'0x'", {}},
  };
  for (const vector &v : vectors) {
    chunk_run r = run_fresh(std::string("return tonum(") + v.args + ")");
    EXPECT_EQ(r.status, LUA_OK) << v.args;
    EXPECT_EQ(r.results, v.results) << v.args;
  }
  // A userdata: nothing, and no error.
  state_owner S = new_state();
  lua_State *L = S.get();
  lua_getglobal(L, "tonum");
  lua_newuserdatauv(L, 8, 0);
  ASSERT_EQ(lua_pcall(L, 1, LUA_MULTRET, 0), LUA_OK);
  EXPECT_EQ(lua_gettop(L), 0);
}

// ---------------------------------------------------------------------------
// Table-library charges: each call is made from C, so the slice's count holds
// the function's charge alone.

class TableCharges : public testing::Test {
 protected:
  // Calls table.<fn> with the arguments that `args` (Lua source) gives and
  // returns the cycles it charged; `results` gets its tagged results.
  int charge(const char *fn, const std::string &args, std::vector<std::string> *results = nullptr,
             std::string *error = nullptr) {
    lua_settop(L, 0);
    std::string code = "return table." + std::string(fn) + ", " + args;
    if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK) {
      ADD_FAILURE() << lua_tostring(L, -1);
      return -1;
    }
    cycle_guard::set_slice(0, INT_MAX);
    int status = lua_pcall(L, lua_gettop(L) - 1, LUA_MULTRET, 0);
    int spent = cpu_cycles;
    if (error) *error = status == LUA_OK ? "" : lua_tostring(L, -1);
    if (results) {
      results->clear();
      for (int i = 1; i <= lua_gettop(L); i++) results->push_back(tagged(L, i));
    }
    return spent;
  }
  void SetUp() override {
    ASSERT_EQ(luaL_dostring(L, "function ten() local t = {} for i = 1, 10 do t[i] = i end "
                               "return t end"),
              LUA_OK);
  }
  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
};

TEST_F(TableCharges, Insert) {
  EXPECT_EQ(charge("insert", "ten(), 1, 'v'"), 10);
  EXPECT_EQ(charge("insert", "ten(), 5, 'v'"), 6);
  EXPECT_EQ(charge("insert", "ten(), 11, 'v'"), 1);
  EXPECT_EQ(charge("insert", "ten(), 'v'"), 0);
  EXPECT_EQ(charge("insert", "{}, 1, 'v'"), 1);
  // A refused call pays for its error alone: the throw, and the function
  // named in the message, as for an argument of the wrong type.
  std::string error;
  int refused = charge("insert", "ten(), 'x', 'v'");
  EXPECT_GT(refused, THROWCYCLES);
  EXPECT_EQ(charge("insert", "ten(), 12, 'v'", nullptr, &error), refused);
  EXPECT_EQ(error, "bad argument #2 to 'table.insert' (position out of bounds)");
  EXPECT_EQ(charge("insert", "ten(), 1, 2, 3", nullptr, &error), THROWCYCLES);
  EXPECT_EQ(error, "wrong number of arguments to 'insert'");
}

TEST_F(TableCharges, Remove) {
  std::vector<std::string> results;
  EXPECT_EQ(charge("remove", "ten(), 1", &results), 9);
  EXPECT_EQ(results, std::vector<std::string>{"i:1"});
  EXPECT_EQ(charge("remove", "ten(), 4", &results), 6);
  EXPECT_EQ(charge("remove", "ten()", &results), 1);
  EXPECT_EQ(results, std::vector<std::string>{"i:10"});
  EXPECT_EQ(charge("remove", "ten(), 10", &results), 1);
  EXPECT_EQ(charge("remove", "ten(), 11", &results), 0);
  EXPECT_EQ(results, std::vector<std::string>{"nil"});
  EXPECT_EQ(charge("remove", "{}", &results), 1);
  std::string error;
  EXPECT_EQ(charge("remove", "ten(), 12", nullptr, &error), charge("remove", "ten(), 'x'"));
  EXPECT_EQ(error, "bad argument #1 to 'table.remove' (position out of bounds)");
}

TEST_F(TableCharges, PackAndUnpack) {
  std::vector<std::string> results;
  EXPECT_EQ(charge("pack", "nil"), 2);  // one value: nil
  EXPECT_EQ(charge("pack", "1, 2, 3"), 6);
  EXPECT_EQ(charge("unpack", "{}, 1, 0", &results), 0);
  EXPECT_TRUE(results.empty());
  EXPECT_EQ(charge("unpack", "{1, 2, 3}", &results), 6);
  EXPECT_EQ(results, (std::vector<std::string>{"i:1", "i:2", "i:3"}));
  EXPECT_EQ(charge("unpack", "ten(), 9", &results), 4);
  EXPECT_EQ(charge("unpack", "{}, 5, 5", &results), 2);
  std::string error;
  EXPECT_EQ(charge("unpack", "{}, 1, 200000", nullptr, &error), THROWCYCLES);
  EXPECT_EQ(error, "too many results to unpack");
  // A call with no values at all.
  lua_settop(L, 0);
  lua_getglobal(L, "table");
  lua_getfield(L, -1, "pack");
  lua_remove(L, 1);
  cycle_guard::set_slice(0, INT_MAX);
  ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK);
  EXPECT_EQ(cpu_cycles, 1);
}

// Also charged: 4 cycles an element joined or moved, and 16 more for the text
// of an integer joined.
TEST_F(TableCharges, ConcatAndMove) {
  EXPECT_EQ(charge("concat", "ten(), ','"), 10 * (4 + 16));
  EXPECT_EQ(charge("concat", "{'a', 'b', 'c'}, ','"), 3 * 4);
  EXPECT_EQ(charge("move", "ten(), 1, 10, 2"), 40);
}

// Inside a script the charge lands in the same count as the instructions.
TEST_F(TableCharges, ScriptsPayThemInTheirSlice) {
  ASSERT_EQ(luaL_loadstring(L, "local t, n = {}, ... for i = 1, n do t[i] = i end "
                               "table.insert(t, 1, 0)"),
            LUA_OK);
  auto cost = [&](int n) {
    lua_pushvalue(L, -1);
    lua_pushinteger(L, n);
    cycle_guard::set_slice(0, INT_MAX);
    EXPECT_EQ(lua_pcall(L, 1, 0, 0), LUA_OK);
    return cpu_cycles;
  };
  int small = cost(10), large = cost(30);
  // 20 more loop passes (FORLOOP and SETTABLE, 2 each) and 20 more moved elements.
  EXPECT_EQ(large - small, 20 * 4 + 20);
}

}  // namespace
