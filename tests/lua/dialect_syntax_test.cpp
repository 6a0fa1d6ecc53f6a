// The dialect's parser forms: each behaves as its plain Lua rewriting (run
// side by side in two states), gives the published errors, and compiles to the
// code the forms call for (peek operators, compound assignment).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chunk_runner.h"

// The core's internals, to look at compiled code.
#include "ldebug.h"
#include "lobject.h"
#include "lopcodes.h"
#include "lopnames.h"
#include "lstate.h"

using namespace lua_harness;

namespace {

struct rewrite {
  const char *name;
  const char *dialect;
  const char *plain;  // the same program in plain Lua 5.4
};

const std::vector<rewrite> rewrites = {
    // operator spellings
    {"bang_equal", "local a, b = 3, 4 return a != b, a != a, 'x' != 'x', nil != false, 1 != 1.0",
     "local a, b = 3, 4 return a ~= b, a ~= a, 'x' ~= 'x', nil ~= false, 1 ~= 1.0"},
    {"backslash", "local a = 7 return a \\ 2, -7 \\ 2, 7.5 \\ 2, 7 \\ 2.0, 1 \\ 0.0, 2^3 \\ 3",
     "local a = 7 return a // 2, -7 // 2, 7.5 // 2, 7 // 2.0, 1 // 0.0, 2^3 // 3"},
    {"caret_caret", "local a = 5 return a ^^ 3, ^^a, ^^ ^^a, 1 ^^ 2 ^^ 4, 1 | 6 ^^ 3 & 5",
     "local a = 5 return a ~ 3, ~a, ~ ~a, 1 ~ 2 ~ 4, 1 | 6 ~ 3 & 5"},
    {"modulo_and_product_between_operands", "local a, b = 17, 5 return a % b, a * b, a%b*a",
     "local a, b = 17, 5 return a % b, a * b, a%b*a"},

    // compound assignment, each operator
    {"add", "local x = 10 x += 3 x += 0.5 return x",
     "local x = 10 x = x + 3 x = x + 0.5 return x"},
    {"sub", "local x = 10 x -= 3 x -= 2 ^ 2 return x",
     "local x = 10 x = x - 3 x = x - 2 ^ 2 return x"},
    {"mul", "local x = 3 x *= 4 x *= 1 + 1 return x", "local x = 3 x = x * 4 x = x * (1 + 1) return x"},
    {"div", "local x = 9 x /= 2 return x", "local x = 9 x = x / 2 return x"},
    {"mod", "local x = -7 x %= 3 return x", "local x = -7 x = x % 3 return x"},
    {"pow", "local x = 2 x ^= 10 return x", "local x = 2 x = x ^ 10 return x"},
    {"idiv", "local x = 9 x \\= 2 local y = 9.5 y \\= 2 return x, y",
     "local x = 9 x = x // 2 local y = 9.5 y = y // 2 return x, y"},
    {"band", "local x = 12 x &= 10 return x", "local x = 12 x = x & 10 return x"},
    {"bor", "local x = 12 x |= 3 return x", "local x = 12 x = x | 3 return x"},
    {"bxor", "local x = 12 x ^^= 10 return x", "local x = 12 x = x ~ 10 return x"},
    {"shl", "local x = 3 x <<= 4 return x", "local x = 3 x = x << 4 return x"},
    {"shr", "local x = 48 x >>= 4 local y = -1 y >>= 60 return x, y",
     "local x = 48 x = x >> 4 local y = -1 y = y >> 60 return x, y"},
    {"concat", "local s = 'a' s ..= 1 s ..= 'b' .. 'c' s ..= 2.5 return s",
     "local s = 'a' s = s .. 1 s = s .. ('b' .. 'c') s = s .. 2.5 return s"},
    {"whole_expression_is_the_operand", "local x = 2 x *= 3 + 4 local y = 2 y ^= 3 ^ 2 return x, y",
     "local x = 2 x = x * (3 + 4) local y = 2 y = y ^ (3 ^ 2) return x, y"},
    {"string_coercion", "local s = '10' s += 1 local t = 7 t ..= 8 return s, t",
     "local s = '10' s = s + 1 local t = 7 t = t .. 8 return s, t"},

    // compound assignment, each kind of target
    {"global", "g = 1 g += 41 return g", "g = 1 g = g + 41 return g"},
    {"upvalue", "local u = 1 local function f() u *= 3 end f() f() return u",
     "local u = 1 local function f() u = u * 3 end f() f() return u"},
    {"fields", "local t = {n = 1} t.n += 1 t['n'] *= 10 t.m = 'a' t.m ..= 'b' return t.n, t.m",
     "local t = {n = 1} t.n = t.n + 1 t['n'] = t['n'] * 10 t.m = 'a' t.m = t.m .. 'b' "
     "return t.n, t.m"},
    {"integer_key", "local t = {5, 6} t[1] -= 1 t[2] <<= 1 return t[1], t[2]",
     "local t = {5, 6} t[1] = t[1] - 1 t[2] = t[2] << 1 return t[1], t[2]"},
    {"nested_path", "local t = {a = {b = {1, 2}}} t.a.b[2] += 40 return t.a.b[2]",
     "local t = {a = {b = {1, 2}}} t.a.b[2] = t.a.b[2] + 40 return t.a.b[2]"},
    {"global_table", "G = {x = 1} G.x += 1 G['y'] = 2 G['y'] ..= '!' return G.x, G.y",
     "G = {x = 1} G.x = G.x + 1 G['y'] = 2 G['y'] = G['y'] .. '!' return G.x, G.y"},
    {"computed_key_in_loop",
     "local t = {0, 0, 0} for i = 1, 9 do t[i % 3 + 1] += i end return t[1], t[2], t[3]",
     "local t = {0, 0, 0} for i = 1, 9 do local k = i % 3 + 1 t[k] = t[k] + i end "
     "return t[1], t[2], t[3]"},
    // t[f()] ..= s evaluates f once.
    {"key_call_once",
     "local calls = 0 local t = {'a', 'b'} local function f() calls += 1 return 2 end "
     "local s = 'z' t[f()] ..= s return t[2], calls",
     "local calls = 0 local t = {'a', 'b'} local function f() calls = calls + 1 return 2 end "
     "local s = 'z' local k = f() t[k] = t[k] .. s return t[2], calls"},
    // Table and key are evaluated once, then one read and one write.
    {"access_order",
     "local log = {} local p = setmetatable({}, {__index = function(_, k) log[#log + 1] = 'get ' "
     ".. k return 1 end, __newindex = function(_, k, v) log[#log + 1] = 'set ' .. k .. '=' .. v "
     "end}) local function key() log[#log + 1] = 'key' return 'k' end local function tab() "
     "log[#log + 1] = 'tab' return p end tab()[key()] += 5 return table.concat(log, ',')",
     "local log = {} local p = setmetatable({}, {__index = function(_, k) log[#log + 1] = 'get ' "
     ".. k return 1 end, __newindex = function(_, k, v) log[#log + 1] = 'set ' .. k .. '=' .. v "
     "end}) local function key() log[#log + 1] = 'key' return 'k' end local function tab() "
     "log[#log + 1] = 'tab' return p end local tt, kk = tab(), key() tt[kk] = tt[kk] + 5 "
     "return table.concat(log, ',')"},
    {"metamethod", "local v = setmetatable({}, {__add = function(a, b) return 'added ' .. b end}) "
                   "v += 1 return v",
     "local v = setmetatable({}, {__add = function(a, b) return 'added ' .. b end}) "
     "v = v + 1 return v"},
    {"registers_after_block",
     "local t = {1} do t[1 + 0] += 1 local q = 3 t[q - 2] += q end local y = 5 return t[1], y",
     "local t = {1} do t[1 + 0] = t[1 + 0] + 1 local q = 3 t[q - 2] = t[q - 2] + q end "
     "local y = 5 return t[1], y"},
    {"runtime_error_names_the_variable", "local x x += 1", "local x x = x + 1"},
    {"runtime_error_on_a_field", "local t = {} t.f ..= 'a'", "local t = {} t.f = t.f .. 'a'"},

    // the print shorthand
    {"print", "? 1, 'a', nil\n?\n? \n? 2.5", "print(1, 'a', nil) print() print() print(2.5)"},
    {"print_multiple_results",
     "local function f() return 1, 2, 3 end\n? f()\n? 0, f()\n? (f())\n? f(), 9",
     "local function f() return 1, 2, 3 end print(f()) print(0, f()) print((f())) "
     "print(f(), 9)"},
    {"print_varargs", "local function g(...)\n? ...\n? 'n', ...\nend g(1, nil, 3) g()",
     "local function g(...) print(...) print('n', ...) end g(1, nil, 3) g()"},
    {"print_local_shadows_global",
     "local print = function(...) _G.print('local', ...) end\n? 1\n? ",
     "local print = function(...) _G.print('local', ...) end print(1) print()"},
    {"print_upvalue", "local print = print local function f()\n? 'up'\nend f()",
     "local print = print local function f() print('up') end f()"},
    {"print_at_end_of_input", "? 'last'", "print('last')"},
    {"print_then_statement_on_next_line", "local x = 1\n? x\nx = 2\n? x", "local x = 1 print(x) x = 2 print(x)"},
    {"print_as_expression", "local v = ? 'x', 2\nreturn v, select('#', v)",
     "local v = (print('x', 2)) return v, select('#', v)"},
    {"print_after_statement_on_line", "local x = 5 ? x\n? x + 1", "local x = 5 print(x) print(x + 1)"},

    // one-line if and while
    {"if_else", "local x, y = 1 if (x > 0) y = 1 else y = 2\nreturn y",
     "local x, y = 1 if x > 0 then y = 1 else y = 2 end return y"},
    {"if_else_false", "local x, y = -1 if (x > 0) y = 1 else y = 2\nreturn y",
     "local x, y = -1 if x > 0 then y = 1 else y = 2 end return y"},
    {"if_several_statements", "local a, b = 0, 0 if (true) a = 1; b = 2\nreturn a, b",
     "local a, b = 0, 0 if true then a = 1; b = 2 end return a, b"},
    {"if_false_skips_whole_line", "local a, b = 0, 0 if (false) a = 1 b = 2\nreturn a, b",
     "local a, b = 0, 0 if false then a = 1 b = 2 end return a, b"},
    {"while", "local i = 0 while (i < 10) i += 1\nreturn i",
     "local i = 0 while i < 10 do i = i + 1 end return i"},
    {"while_break", "local n = 0 while (true) break\nn = 1 return n",
     "local n = 0 while true do break end n = 1 return n"},
    {"if_break", "local n = 0 for i = 1, 10 do if (i > 3) break\nn = i end return n",
     "local n = 0 for i = 1, 10 do if i > 3 then break end n = i end return n"},
    {"if_return", "local function f(d) if (d) return 'early'\nreturn 'late' end return f(true), f(false)",
     "local function f(d) if d then return 'early' end return 'late' end return f(true), f(false)"},
    {"if_return_value_list",
     "local function f(d) if (d) return 1, 2\nreturn 3 end return f(true)",
     "local function f(d) if d then return 1, 2 end return 3 end return f(true)"},
    {"nested", "local a, b = 0, 0 if (true) if (true) a = 1\nb = 2 return a, b",
     "local a, b = 0, 0 if true then if true then a = 1 end end b = 2 return a, b"},
    {"nested_while_in_if", "local i = 0 if (true) while (i < 4) i += 1\nreturn i",
     "local i = 0 if true then while i < 4 do i = i + 1 end end return i"},
    // The mend: a comment or blanks before the break do not let the nested
    // statements take in the next line.
    {"nested_with_comment", "local a, b = 0, 0 if (false) if (true) a = 1 -- note\nb = 2 return a, b",
     "local a, b = 0, 0 if false then if true then a = 1 end end b = 2 return a, b"},
    {"nested_with_blanks", "local a, b = 0, 0 if (false) while (true) a = 1  \t\nb = 2 return a, b",
     "local a, b = 0, 0 if false then while true do a = 1 end end b = 2 return a, b"},
    {"nested_with_long_comment",
     "local a, b = 0, 0 if (false) if (true) a = 1 --[[ x ]] \nb = 2 return a, b",
     "local a, b = 0, 0 if false then if true then a = 1 end end b = 2 return a, b"},
    {"nested_three_with_comment",
     "local a, b = 0, 0 if (false) if (true) if (true) a = 1 -- c\nb = 2 return a, b",
     "local a, b = 0, 0 b = 2 return a, b"},
    {"print_in_one_line_if", "if (true) ? 'yes'\n? 'after'\nif (false) ? 'no' -- c\n? 'end'",
     "if true then print('yes') end print('after') if false then print('no') end print('end')"},
    {"closed_by_end_of_function", "local function f(x) if (x) return 1 end return f(true), f(false)",
     "local function f(x) if x then return 1 end end return f(true), f(false)"},
    {"while_closed_by_end", "local i = 0 do while (i < 3) i += 1 end return i",
     "local i = 0 do while i < 3 do i = i + 1 end end return i"},
    {"elseif_part",
     "local function f(x) local r if (x == 1) r = 'one' elseif x == 2 then r = 'two' else "
     "r = 'many'\nreturn r end return f(1), f(2), f(3)",
     "local function f(x) local r if x == 1 then r = 'one' elseif x == 2 then r = 'two' else "
     "r = 'many' end return r end return f(1), f(2), f(3)"},
    {"closed_by_until", "local i = 0 repeat if (i < 5) i += 1 until i >= 5 return i",
     "local i = 0 repeat if i < 5 then i = i + 1 end until i >= 5 return i"},
    {"if_at_end_of_input", "x = 0 if (true) x = 7", "x = 0 if true then x = 7 end"},
    {"published_forms_with_parentheses",
     "local y, z if (1 > 0) then y = 1 end while (false) do end if (1 >\n0) then z = 2 end "
     "return y, z",
     "local y, z if 1 > 0 then y = 1 end while false do end if 1 > 0 then z = 2 end return y, z"},
    {"then_on_the_next_line", "local y if (true)\nthen y = 1 end return y",
     "local y if true then y = 1 end return y"},
    {"condition_with_inner_calls", "local y if (select('#', (1)) == 1) y = 'ok'\nreturn y",
     "local y if select('#', (1)) == 1 then y = 'ok' end return y"},
    {"call_statement_body", "local t = {} if (#t == 0) table.insert(t, 'x')\nreturn t[1]",
     "local t = {} if #t == 0 then table.insert(t, 'x') end return t[1]"},
    {"function_body_in_one_line", "local f if (true) f = function() return 42 end\nreturn f()",
     "local f if true then f = function() return 42 end end return f()"},

    // escapes
    {"control_escapes", "return '\\*\\#\\-\\|\\+\\^'", "return '\\1\\2\\3\\4\\5\\6'"},
};

class Rewrites : public testing::TestWithParam<rewrite> {};

TEST_P(Rewrites, SameBehaviourAsPlainLua) {
  const rewrite &r = GetParam();
  chunk_run a = run_fresh(r.dialect);
  chunk_run b = run_fresh(r.plain);
  ASSERT_NE(a.status, LUA_ERRSYNTAX) << a.results[0];
  ASSERT_NE(b.status, LUA_ERRSYNTAX) << b.results[0];
  EXPECT_EQ(a.status, b.status);
  EXPECT_EQ(a.results, b.results);
  EXPECT_EQ(a.printed, b.printed);
}

INSTANTIATE_TEST_SUITE_P(Dialect, Rewrites, testing::ValuesIn(rewrites),
                         [](const testing::TestParamInfo<rewrite> &info) {
                           return std::string(info.param.name);
                         });

const char *dialect_of(const std::string &name) {
  for (const rewrite &r : rewrites)
    if (name == r.name) return r.dialect;
  ADD_FAILURE() << "no rewrite " << name;
  return "";
}

// A few of the results spelled out, so that a mistake common to both cores of
// a pair cannot hide.
TEST(DialectForms, KnownResults) {
  EXPECT_EQ(run_fresh("local x = 10 x -= 2 ^ 2 return x").results, std::vector<std::string>{"f:6"});
  EXPECT_EQ(run_fresh("local s = 'x' s ..= 1 return s").results, std::vector<std::string>{"s:x1"});
  EXPECT_EQ(run_fresh("return 7 \\ 2, 5 ^^ 3, ^^0, 1 != 2").results,
            (std::vector<std::string>{"i:3", "i:6", "i:-1", "b:true"}));
  chunk_run r = run_fresh(dialect_of("key_call_once"));
  EXPECT_EQ(r.results, (std::vector<std::string>{"s:bz", "i:1"}));
  r = run_fresh(dialect_of("access_order"));
  EXPECT_EQ(r.results, std::vector<std::string>{"s:tab,key,get k,set k=6"});
  r = run_fresh("? 1, 'a'\n?\n? nil");
  EXPECT_EQ(r.printed, "1\ta\n\nnil\n");
  r = run_fresh("local x x += 1");
  EXPECT_EQ(r.results,
            std::vector<std::string>{"t:1: attempt to perform arithmetic on a nil value (local 'x')"});
  r = run_fresh(dialect_of("nested_with_comment"));
  EXPECT_EQ(r.results, (std::vector<std::string>{"i:0", "i:2"}));
}

// The hidden locals of a compound assignment are ordinary locals of the block.
TEST(DialectForms, CompoundTemporariesAreHiddenLocals) {
  chunk_run r = run_fresh(
      "local t, k = {0, 0}, 1 t[k + 1] += 1 local names = {} local i = 1 "
      "while debug.getlocal(1, i) do names[#names + 1] = debug.getlocal(1, i) i = i + 1 end "
      "return table.concat(names, ','), t[2]");
  EXPECT_EQ(r.results, (std::vector<std::string>{"s:t,k,(for compound),names,i", "i:1"}));
  // Temporaries of a table and a key: two of them.
  r = run_fresh(
      "local function f() return {5} end local function one() return 1 end f()[one()] += 1 "
      "local n = 0 for i = 1, 20 do if debug.getlocal(1, i) == '(for compound)' then n = n + 1 "
      "end end return n");
  EXPECT_EQ(r.results, std::vector<std::string>{"i:2"});
  // No temporaries, no hidden local.
  r = run_fresh(
      "local t, x = {1}, 1 x += 1 t[1] += 1 t.a = 0 t.a += 1 g = 0 g += 1 local n = 0 "
      "for i = 1, 20 do if debug.getlocal(1, i) == '(for compound)' then n = n + 1 end end "
      "return n");
  EXPECT_EQ(r.results, std::vector<std::string>{"i:0"});
}

TEST(DialectForms, CompoundTemporariesCountAgainstTheLocalLimit) {
  std::string code = "local t, k = {}, 0\n";
  for (int i = 0; i < 198; i++) code += "t[k + 1] = 0 t[k + 1] += 1\n";
  EXPECT_EQ(run_fresh(code + "return #t").results, std::vector<std::string>{"i:1"});
  code += "t[k + 1] += 1\n";  // the 201st local
  EXPECT_EQ(compile_error(code),
            "t:200: too many local variables (limit is 200) in main function near +=");
}

// ---------------------------------------------------------------------------
// Error texts

struct bad_chunk {
  const char *code;
  const char *message;
};

TEST(DialectForms, ErrorTexts) {
  const std::vector<bad_chunk> cases = {
      {"x //= 2", "t:1: syntax error near '//'"},
      {"a, b += 1", "t:1: '=' expected near +="},
      {"f() += 1", "t:1: syntax error near +="},
      {"(x) += 1", "t:1: syntax error near +="},
      {"local c <const> = 1; c += 1", "t:1: attempt to assign to const variable 'c'"},
      {"local c <close> = nil; c ..= 1", "t:1: attempt to assign to const variable 'c'"},
      {"local c <const> = 1 local function f() c -= 1 end",
       "t:1: attempt to assign to const variable 'c'"},
      {"x += ", "t:1: unexpected symbol near <eof>"},
      {"? x y", "t:1: <eol> expected near 'y'"},
      {"? [[a\nb]] c", "t:2: <eol> expected (to close ? at line 1) near 'c'"},
      {"? (1\n)", "t:2: ')' expected (to close '(' at line 1) near <eol>"},
      {"if (a) and (b) c()", "t:1: 'then' expected near 'c'"},
      {"while (a) and (b) c()", "t:1: 'do' expected near 'c'"},
      {"if (a)(b) c()", "t:1: 'then' expected near 'c'"},
      {"if a c()", "t:1: 'then' expected near 'c'"},
      {"if (a)\nc()", "t:2: 'then' expected near 'c'"},
      {"if (a", "t:1: ')' expected near <eof>"},
      {"if (a)", "t:1: 'then' expected near <eof>"},
      {"while (a)", "t:1: 'do' expected near <eof>"},
      {"while (a)\n", "t:2: 'do' expected near <eof>"},
      {"if (a) f(1,\n2)", "t:2: unexpected symbol near <eol>"},
      {"if (a) x = {1,\n2}", "t:2: unexpected symbol near <eol>"},
      {"if (a) return 1 2", "t:1: <eol> expected near '2'"},
      {"if (a) return [[x\ny]] 2", "t:2: <eol> expected (to close 'if' at line 1) near '2'"},
      {"while (a) return 1 2", "t:1: <eol> expected near '2'"},
      {"if (a) b = 1 end", "t:1: <eof> expected near 'end'"},
      {"if (a) x = 1 else y = 2 z = 3 end", "t:1: <eof> expected near 'end'"},
      {"local v = != 1", "t:1: unexpected symbol near !="},
      {"x = 1 !", "t:1: unexpected symbol near '!'"},
      {"x = @", "t:1: unexpected symbol near <eof>"},
  };
  for (const bad_chunk &c : cases) EXPECT_EQ(compile_error(c.code), c.message) << c.code;
}

// ---------------------------------------------------------------------------
// Compiled code

const Proto *proto_at(lua_State *L, int idx) {
  return static_cast<const LClosure *>(lua_topointer(L, idx))->p;
}

std::vector<std::string> listing(const std::string &code) {
  state_owner S = new_state();
  lua_State *L = S.get();
  if (luaL_loadstring(L, code.c_str()) != LUA_OK) return {lua_tostring(L, -1)};
  const Proto *p = proto_at(L, -1);
  std::vector<std::string> ops;
  for (int i = 0; i < p->sizecode; i++) ops.emplace_back(opnames[GET_OPCODE(p->code[i])]);
  return ops;
}

TEST(DialectCode, PeekOperatorsAreNeverFolded) {
  EXPECT_EQ(listing("return @0"),
            (std::vector<std::string>{"VARARGPREP", "LOADI", "PEEK", "RETURN", "RETURN"}));
  EXPECT_EQ(listing("return %0x5000, $1.0, *'x'"),
            (std::vector<std::string>{"VARARGPREP", "LOADI", "PEEK2", "LOADF", "PEEK4", "LOADK",
                                      "PEEK8", "RETURN", "RETURN"}));
}

TEST(DialectCode, PeekOperatorsAtExpressionStartOnly) {
  EXPECT_EQ(listing("local a, b = ... return %a, a % b"),
            (std::vector<std::string>{"VARARGPREP", "VARARG", "PEEK2", "MOD", "MMBIN", "RETURN",
                                      "RETURN"}));
  EXPECT_EQ(listing("local a, b = ... return *a, a * b"),
            (std::vector<std::string>{"VARARGPREP", "VARARG", "PEEK8", "MUL", "MMBIN", "RETURN",
                                      "RETURN"}));
  // Unary priority: @a^2 peeks at a^2; @a + 1 adds to the byte.
  EXPECT_EQ(listing("local a = ... return @a^2"),
            (std::vector<std::string>{"VARARGPREP", "VARARG", "POWK", "MMBINK", "PEEK", "RETURN",
                                      "RETURN"}));
  EXPECT_EQ(listing("local a = ... return @a + 1"),
            (std::vector<std::string>{"VARARGPREP", "VARARG", "PEEK", "ADDI", "MMBINI", "RETURN",
                                      "RETURN"}));
  EXPECT_EQ(listing("local a = ... return -@a, @-a, #@a, @@a"),
            (std::vector<std::string>{"VARARGPREP", "VARARG", "PEEK", "UNM", "UNM", "PEEK",
                                      "PEEK", "LEN", "PEEK", "PEEK", "RETURN", "RETURN"}));
}

TEST(DialectCode, PeekOperandRegisterAndLine) {
  state_owner S = new_state();
  lua_State *L = S.get();
  ASSERT_EQ(luaL_loadstring(L, "local a, b = ...\nlocal c = a\n+ $b"), LUA_OK);
  const Proto *p = proto_at(L, -1);
  int found = 0;
  for (int i = 0; i < p->sizecode; i++) {
    Instruction in = p->code[i];
    if (GET_OPCODE(in) != OP_PEEK4) continue;
    found++;
    EXPECT_EQ(GETARG_B(in), 1);  // b's register
    EXPECT_EQ(GETARG_C(in), 0);
    EXPECT_EQ(luaG_getfuncline(p, i), 3);
  }
  EXPECT_EQ(found, 1);
}

TEST(DialectCode, CompoundReadsAndWritesOnce) {
  EXPECT_EQ(listing("local t, i = ... t[i] += 1"),
            (std::vector<std::string>{"VARARGPREP", "VARARG", "GETTABLE", "ADDI", "MMBINI",
                                      "SETTABLE", "RETURN"}));
  EXPECT_EQ(listing("local t = ... t.x ..= 'a'"),
            (std::vector<std::string>{"VARARGPREP", "VARARG", "GETFIELD", "LOADK", "CONCAT",
                                      "SETFIELD", "RETURN"}));
  EXPECT_EQ(listing("g -= 1"),
            (std::vector<std::string>{"VARARGPREP", "GETTABUP", "ADDI", "MMBINI", "SETTABUP",
                                      "RETURN"}));
  EXPECT_EQ(listing("local f, s = ... f()[1] *= s"),
            (std::vector<std::string>{"VARARGPREP", "VARARG", "MOVE", "CALL", "GETI", "MUL",
                                      "MMBIN", "SETI", "RETURN"}));
}

TEST(DialectCode, PrintShorthandIsOneCall) {
  state_owner S = new_state();
  lua_State *L = S.get();
  ASSERT_EQ(luaL_loadstring(L, "local x = 1\n? x, 2\n? x, ..."), LUA_OK);
  const Proto *p = proto_at(L, -1);
  std::vector<std::pair<int, int>> calls;  // B, C
  for (int i = 0; i < p->sizecode; i++)
    if (GET_OPCODE(p->code[i]) == OP_CALL) {
      calls.emplace_back(GETARG_B(p->code[i]), GETARG_C(p->code[i]));
      EXPECT_EQ(luaG_getfuncline(p, i), int(calls.size()) + 1);
    }
  EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{3, 2}, {0, 2}}));
}

}  // namespace
