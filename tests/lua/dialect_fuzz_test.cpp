// Random token soups and random nests of the dialect's forms: every one
// compiles or fails with a syntax error, and what compiles runs or fails with
// a Lua error (the sanitizers of the test build watch for anything else).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "chunk_runner.h"

using namespace lua_harness;

namespace {

const std::vector<std::string> soup = {
    "a", "b", "t", "print", "f", "x", "1", "0b101", "2.5", "\"s\"", "'q'", "0b1.1",
    "if", "then", "else", "elseif", "end", "while", "do", "for", "in", "repeat", "until",
    "local", "function", "return", "break", "goto", "and", "or", "not", "nil", "true", "::l::",
    "+=", "-=", "*=", "/=", "%=", "^=", "\\=", "&=", "|=", "^^=", "<<=", ">>=", "..=", "!=",
    "\\", "^^", "@", "%", "$", "*", "?", "(", ")", "[", "]", "{", "}", ",", ";", ".", ":", "=",
    "==", "<", ">", "..", "...", "#", "-", "+", "~", "~=", "//", "<<", ">>", "&", "|", "^",
    "\n", "\n", "\n", "-- c\n", "  \n", "--[[x]]\n"};

const std::vector<std::string> operands = {"a", "1", "t.x", "t[a]", "0b11", "\"s\"", "@1",
                                           "%a", "$b", "*t", "f()", "(a)", "nil"};
const std::vector<std::string> binops = {"+", "-", "*", "%", "\\", "!=", "==", "..", "^^",
                                         "and", "or", "<"};
const std::vector<std::string> prefixes = {"-", "not ", "#", "@", "%", "$", "*", "^^"};
const std::vector<std::string> compounds = {"+=", "-=", "*=", "/=", "%=", "^=", "\\=",
                                            "&=", "|=", "^^=", "<<=", ">>=", "..="};
const std::vector<std::string> simple = {"a = 1", "print(a)", "x += 1", "t.x ..= 'a'", "? a",
                                         "break", "return", "f()", "b = @a"};
const std::vector<std::string> breaks = {"\n", " ", " -- c\n", "\n\n", " \t\n"};

struct generator {
  std::mt19937 rng;
  explicit generator(unsigned seed) : rng(seed) {}
  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
  const std::string &pick(const std::vector<std::string> &v) { return v[size_t(below(int(v.size())))]; }

  std::string expr(int depth = 0) {
    int r = below(10);
    if (depth > 3 || r < 3) return pick(operands);
    if (r < 6) return expr(depth + 1) + " " + pick(binops) + " " + expr(depth + 1);
    if (r < 8) return pick(prefixes) + expr(depth + 1);
    return "(" + expr(depth + 1) + ")";
  }
  std::string stat(int depth = 0) {
    if (depth > 2 || below(10) < 4) return pick(simple);
    std::string c = expr(), s = stat(depth + 1), op = pick(compounds);
    switch (below(11)) {
      case 0: return "if (" + c + ") " + s;
      case 1: return "while (" + c + ") " + s;
      case 2: return "if (" + c + ") " + s + " else " + stat(depth + 1);
      case 3: return "if (" + c + ") if (" + expr() + ") " + s + " -- c\n" + stat(depth + 1);
      case 4: return "local t = {} t[" + c + "] " + op + " " + expr();
      case 5: return "? " + c + ", " + expr();
      case 6: return "x " + op + " " + c;
      case 7: return "function g() if (" + c + ") return " + expr() + " end";
      case 8: return "repeat if (" + c + ") " + s + " until " + expr();
      case 9: return "local v = ? " + c;
      default: return "for i = 1, 2 do if (" + c + ") break\n" + s + " end";
    }
  }
  std::string program() {
    std::string out;
    if (below(2)) {
      for (int n = below(40) + 1; n > 0; n--) out += pick(soup) + " ";
    } else {
      for (int n = below(6) + 1; n > 0; n--) out += stat() + pick(breaks);
    }
    return out;
  }
};

// Stops a run after a bounded number of instructions.
void stop_hook(lua_State *L, lua_Debug *) { luaL_error(L, "too long"); }

TEST(DialectFuzz, RandomProgramsCompileOrFailCleanly) {
  cycle_guard guard;
  generator gen(20261209);
  state_owner S = new_state();
  lua_State *L = S.get();
  int compiled = 0, ran = 0;
  for (int i = 0; i < 4000; i++) {
    std::string code = gen.program();
    int status = luaL_loadbufferx(L, code.data(), code.size(), "=f", "t");
    ASSERT_TRUE(status == LUA_OK || status == LUA_ERRSYNTAX) << code;
    if (status == LUA_OK) {
      compiled++;
      ASSERT_EQ(luaL_dostring(L, "a, b, t, x = 1, 2, {x = 's'}, 3 "
                                 "f = function() return 1 end print = function() end"),
                LUA_OK);
      lua_sethook(L, stop_hook, LUA_MASKCOUNT, 20000);
      cycle_guard::set_slice(0, INT_MAX);
      status = lua_pcall(L, 0, 0, 0);
      lua_sethook(L, nullptr, 0, 0);
      ASSERT_TRUE(status == LUA_OK || status == LUA_ERRRUN) << code;
      if (status == LUA_OK) ran++;
    }
    lua_settop(L, 0);
  }
  // The generator reaches both outcomes often.
  EXPECT_GT(compiled, 400);
  EXPECT_GT(ran, 150);
}

}  // namespace
