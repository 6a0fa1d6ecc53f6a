// Random token soups and random nests of the dialect's forms: every one
// compiles or fails with a syntax error, and what compiles runs or fails with
// a Lua error (the sanitizers of the test build watch for anything else). Then
// random programs that call the string, table and debug libraries with hostile
// arguments, under a memory cap and the cpu limit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "chunk_runner.h"
#include "kernel/accounting.h"

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

// ---------------------------------------------------------------------------
// Library calls

// Values a hostile script passes: edge numbers, patterns, tables with
// metamethods, functions that fail or loop, threads in every state.
const std::vector<std::string> values = {
    "0", "1", "-1", "2", "7", "40", "1000", "math.mininteger", "math.maxinteger", "1 << 31",
    "-(1 << 31)", "1 << 62", "0.5", "-0.0", "1/0", "-1/0", "0/0", "2^53", "nil", "true",
    "false", "''", "'abc'", "'a.b'", "'%a+'", "'(%w+)=(%w+)'", "'%b()'", "'%f[%w]%w+'", "'[a-'",
    "'(()'", "'%'", "'a*a*a*a*b'", "'.-$'", "'%1'", "'[^%s]'", "s1", "s2", "'%d %s %q %5.2f %x'",
    "'%c'", "'%99.99f'", "'%-5s|'", "'%a'", "'%i'", "'\\0\\n\"'", "t1", "t2", "t3", "t4", "f1", "f2",
    "f3", "co1", "co2", "co3", "string.gmatch('a b', '%a')", "string", "print", "{}",
    "setmetatable({}, {__index = tostring, __len = function() return 1 << 40 end})", "'crl'",
    "'l'", "3", "4", "-2", "1 << 30",
};
const std::vector<std::string> functions = {
    "string.rep", "string.find", "string.match", "string.gmatch", "string.gsub", "string.format",
    "string.byte", "string.char", "string.sub", "string.len", "string.lower", "string.upper",
    "string.reverse", "string.pack", "string.unpack", "string.packsize", "table.concat",
    "table.insert", "table.remove", "table.move", "table.pack", "table.unpack", "tostring",
    "utf8.codes", "utf8.char", "utf8.codepoint", "utf8.len", "utf8.offset", "collectgarbage",
    "debug.getinfo", "debug.getlocal", "debug.setlocal", "debug.getupvalue", "debug.setupvalue",
    "debug.upvaluejoin", "debug.upvalueid", "debug.getmetatable", "debug.setmetatable",
    "debug.getuservalue", "debug.setuservalue", "debug.traceback", "debug.sethook",
    "debug.gethook", "coroutine.close", "coroutine.wrap", "select", "rawlen", "rawequal",
    "load", "pcall",
};

const char *library_prelude = R"lua(
  s1 = string.rep('a', 200) .. 'b'
  s2 = '(key=value) [x] ' .. string.rep('%', 3)
  print = function() end
  t1 = {1, 2, 3, 'x', 'y'}
  t2 = setmetatable({}, {__index = function(t, k) return k end, __len = function() return 50 end})
  t3 = setmetatable({}, {__newindex = function() error('no') end, __index = t1})
  t4 = setmetatable({}, {__close = function() end, __gc = function() end, __tostring = function() return 'T' end})
  f1 = function(...) return ... end
  f2 = function() error({}) end
  f3 = function(...) for i = 1, 100 do local l = debug.getlocal(2, i) end return 'r' end
  co1 = coroutine.create(function(...) coroutine.yield(...) return 1 end)
  coroutine.resume(co1, 1, 2)
  co2 = coroutine.create(function() local x <close> = t4 error('e') end)
  coroutine.resume(co2)
  co3 = coroutine.create(f1)
)lua";

struct library_generator : generator {
  using generator::generator;
  std::string call() {
    std::string out = pick(functions) + "(";
    for (int n = below(5); n > 0; n--) out += pick(values) + (n > 1 ? ", " : "");
    return out + ")";
  }
  std::string program() {
    std::string out;
    for (int n = below(6) + 1; n > 0; n--) {
      std::string c = call();
      switch (below(4)) {
        case 0: out += "pcall(function() local r = {" + c + "} for _, v in ipairs(r) do "
                       "if type(v) == 'function' then pcall(v, " + pick(values) + ") end end end)\n";
          break;
        case 1: out += "pcall(string.gsub, 'xy', '.', function() " + c + " end)\n"; break;
        default: out += "pcall(function() return " + c + " end)\n";
      }
    }
    return out;
  }
};

// An allocator that refuses to go past 64 MB in all.
struct capped_heap {
  size_t used = 0;
  static constexpr size_t cap = size_t{64} << 20;
};
void *capped_alloc(void *ud, void *ptr, size_t osize, size_t nsize, int, size_t) {
  auto *h = static_cast<capped_heap *>(ud);
  size_t old = ptr ? osize : 0;
  if (nsize == 0) {
    h->used -= old;
    std::free(ptr);
    return nullptr;
  }
  if (nsize > old && h->used - old + nsize > capped_heap::cap) return nullptr;
  void *p = std::realloc(ptr, nsize);
  if (p) h->used = h->used - old + nsize;
  return p;
}

TEST(DialectFuzz, RandomLibraryCallsFailCleanly) {
  cycle_guard guard;
  library_generator gen(20261210);
  int ran = 0;
  for (int i = 0; i < 600; i++) {
    std::string code = gen.program();
    capped_heap heap;
    lua_State *L = lua_newstate(capped_alloc, &heap);
    ASSERT_NE(L, nullptr);
    luaL_openlibs(L);
    cycle_guard::set_slice(0, INT_MAX);
    ASSERT_EQ(luaL_dostring(L, library_prelude), LUA_OK) << lua_tostring(L, -1);
    int status = luaL_loadbufferx(L, code.data(), code.size(), "=f", "t");
    ASSERT_EQ(status, LUA_OK) << code;
    // Past the cap from the start, where nothing can yield: everything stops
    // at the cpu limit, some 100,000 cycles in.
    cycle_guard::set_slice(0, static_cast<int>(100000 - cpu_overrun_limit));
    status = lua_pcall(L, 0, 0, 0);
    EXPECT_TRUE(status == LUA_OK || status == LUA_ERRRUN || status == LUA_ERRMEM) << code;
    ran += status == LUA_OK;
    lua_close(L);
    EXPECT_EQ(heap.used, 0u) << code;
  }
  EXPECT_GT(ran, 300);
}

}  // namespace
