// The peek prefix operators of the dialect reading the current process's RAM:
// "@" a byte, "%" a signed 16-bit value, "$" a signed 32-bit value and "*" a
// 64-bit value, at expression starts only.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "chunk_runner.h"
#include "kernel/process.h"
#include "kernel/ram.h"

using namespace lua_harness;

namespace {

class PeekOperators : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ram_init(&owner));
    cproc = &owner;
    poke(0x5000, 0x7B);
    poke2(0x5002, -1);             // FF FF
    poke4(0x5004, INT_MIN);        // 00 00 00 80
    poke8(0x5010, static_cast<long long>(0x8877665544332211ULL));
    poke(4, 9);
    poke(2, 0x22);
  }
  void TearDown() override { cproc = saved_current; }

  std::vector<std::string> run(const std::string &code) {
    chunk_run r = run_chunk(L, code);
    EXPECT_EQ(r.status, LUA_OK) << r.results[0];
    return r.results;
  }
  std::string error_of(const std::string &code) {
    chunk_run r = run_chunk(L, code);
    EXPECT_EQ(r.status, LUA_ERRRUN) << code;
    return r.results.empty() ? "" : r.results[0];
  }

  process owner;
  process *saved_current = cproc;
  cycle_guard guard;
  state_owner S = new_state();
  lua_State *L = S.get();
};

TEST_F(PeekOperators, Widths) {
  EXPECT_EQ(run("return @0x5000, %0x5002, @0x5002, $0x5004, *0x5010"),
            (std::vector<std::string>{"i:123", "i:-1", "i:255", "i:-2147483648",
                                      "i:-8613303245920329199"}));
  EXPECT_EQ(run("return %0x5000, $0x5000, @0x5003"),
            (std::vector<std::string>{"i:123", "i:-65413", "i:255"}));
}

TEST_F(PeekOperators, PriorityAndBinaryMeanings) {
  // @addr + 1 reads one byte and adds 1; @a^2 peeks at a^2 like -a^2.
  EXPECT_EQ(run("local addr = 0x5000 return @addr + 1"), std::vector<std::string>{"i:124"});
  EXPECT_EQ(run("local a = 2 return @a^2, -a^2"), (std::vector<std::string>{"i:9", "f:-4"}));
  // Between operands "%" and "*" keep their binary meaning.
  EXPECT_EQ(run("local a, b = 0x5002, 7 return %a, a % b, *a, a * b"),
            (std::vector<std::string>{"i:-1", "i:0", "i:140737488420863", "i:143374"}));
  EXPECT_EQ(run("local a = 0x5000 return 2*@a, 2 * %a, 10 - @a, @a * @a"),
            (std::vector<std::string>{"i:246", "i:246", "i:-113", "i:15129"}));
  // Peeks in the other dialect forms.
  EXPECT_EQ(run("local x = 1 x += @0x5000 local y if (@0x5000 == 0x7B) y = 'hit'\nreturn x, y"),
            (std::vector<std::string>{"i:124", "s:hit"}));
}

TEST_F(PeekOperators, Addresses) {
  // A float with an integral value is that integer; only the low 32 bits are used.
  EXPECT_EQ(run("return @2.0, @(0x5000 + 0x100000000), @0x5000.0"),
            (std::vector<std::string>{"i:34", "i:123", "i:123"}));
  // Anything else is the arithmetic operand error; no string coercion.
  EXPECT_EQ(error_of("local x = 2.5 return @x"),
            "t:1: attempt to perform arithmetic on a number value (local 'x')");
  EXPECT_EQ(error_of("local x = '2' return @x"),
            "t:1: attempt to perform arithmetic on a string value (local 'x')");
  EXPECT_EQ(error_of("return %a"),
            "t:1: attempt to perform arithmetic on a nil value (global 'a')");
  EXPECT_EQ(error_of("return *{}"), "t:1: attempt to perform arithmetic on a table value");
  EXPECT_EQ(error_of("return $(0/0)"), "t:1: attempt to perform arithmetic on a number value");
}

TEST_F(PeekOperators, ConstantOperandIsNotFolded) {
  // The same code reads the byte each time it runs.
  ASSERT_EQ(luaL_loadstring(L, "return @0"), LUA_OK);
  for (int v : {5, 200}) {
    poke(0, v);
    lua_pushvalue(L, -1);
    ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK);
    EXPECT_EQ(lua_tointeger(L, -1), v);
    lua_pop(L, 1);
  }
}

}  // namespace
