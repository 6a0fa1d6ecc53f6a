// Maths, random and string functions: the integer reader on every kind of
// value, the random generator against an independent reference, the maths
// conventions, the table functions and their errors, split and tokenoid.
#include "kernel/maths.h"

#include <gtest/gtest.h>

#include <climits>
#include <numbers>
#include <cmath>
#include <string>
#include <vector>

#include "kernel/maths_api.h"
#include "script_api_fixture.h"

namespace {

using namespace script_api_test;
using Maths = ScriptApi;

/* ---------------------------------------------------------------------- */
/* the integer reader                                                     */
/* ---------------------------------------------------------------------- */

// kvt_intp (and its rounding siblings) of the value `expr` evaluates to.
struct reader_case {
  const char *expr;
  int64_t floor, ceil, trunc;  // trunc: kvt_truncp, numbers only
};

TEST_F(Maths, IntegerReaderOnEveryKindOfValue) {
  const int64_t d = -77;  // the default
  const reader_case cases[] = {
      {"2.7", 2, 3, 2},
      {"-2.5", -3, -2, -2},
      {"12", 12, 12, 12},
      {"'12'", 12, 12, d},
      {"' 0x10 '", 16, 16, d},
      {"'2.5'", 2, 3, d},
      {"'-2.5'", -3, -2, d},
      {"'1e100'", INT64_MAX, INT64_MAX, d},
      {"'9223372036854775807'", INT64_MAX, INT64_MAX, d},
      {"'abc'", d, d, d},
      {"'12\\0'", d, d, d},
      {"true", d, d, d},
      {"nil", d, d, d},
      {"{}", d, d, d},
      {"print", d, d, d},
      {"0/0", 0, 0, 0},
      {"-(0/0)", 0, 0, 0},
      {"math.huge", INT64_MAX, INT64_MAX, INT64_MAX},
      {"-math.huge", INT64_MIN, INT64_MIN, INT64_MIN},
      {"2.0^63", INT64_MAX, INT64_MAX, INT64_MAX},
      {"-2.0^63", INT64_MIN, INT64_MIN, INT64_MIN},
      {"1e300", INT64_MAX, INT64_MAX, INT64_MAX},
      {"-1e300", INT64_MIN, INT64_MIN, INT64_MIN},
      {"math.mininteger", INT64_MIN, INT64_MIN, INT64_MIN},
      {"math.maxinteger", INT64_MAX, INT64_MAX, INT64_MAX},
      {"-0.0", 0, 0, 0},
      {"2^53 + 0.0", int64_t{1} << 53, int64_t{1} << 53, int64_t{1} << 53},
  };
  lua_State *L = root->lua_state;
  for (const reader_case &c : cases) {
    std::string code = std::string("return ") + c.expr;
    ASSERT_EQ(luaL_dostring(L, code.c_str()), LUA_OK) << c.expr;
    EXPECT_EQ(kvt_intp(L, -1, d), c.floor) << c.expr;
    EXPECT_EQ(kvt_ceilp(L, -1, d), c.ceil) << c.expr;
    EXPECT_EQ(kvt_truncp(L, -1, d), c.trunc) << c.expr;
    int64_t v = 123;
    EXPECT_EQ(kvt_intx(L, -1, &v), c.floor != d) << c.expr;
    lua_pop(L, 1);
  }
  // An index past the top is "none": the default.
  EXPECT_EQ(kvt_intp(L, lua_gettop(L) + 1, d), d);
  EXPECT_EQ(kvt_number(L, lua_gettop(L) + 1, 1.5), 1.5);
}

TEST_F(Maths, ReaderLeavesAStringArgumentAsItIs) {
  lua_State *L = root->lua_state;
  lua_pushstring(L, "2.5");
  EXPECT_EQ(kvt_intp(L, -1, 0), 2);
  EXPECT_EQ(lua_type(L, -1), LUA_TSTRING) << "no conversion in place";
  lua_pop(L, 1);
}

/* ---------------------------------------------------------------------- */
/* random                                                                 */
/* ---------------------------------------------------------------------- */

// Expected values from an independent Python implementation of xoshiro256**
// with the system's seeding (s0 = seed ^ 0xDEADBEEF, s1 = 0xFF, s2 = the
// halves of seed swapped, s3 = 0, 8 steps dropped).
struct xoshiro_vector {
  uint64_t seed;
  uint64_t outputs[5];
  const char *rnd100[3];  // srand(seed) then rnd(100) three times, %.17g
};

const xoshiro_vector xoshiro_vectors[] = {
    {0,
     {0xd3dcb6dba861219b, 0x71cb7e3a6dad09af, 0x45461dd5ae8f2732, 0x17c0bdb964e37275,
      0xd8d01398bf6974c8},
     {"65.773210558108985", "42.842159769497812", "68.187184305861592"}},
    {1,
     {0x8ab7e00330101e75, 0x8beb1678648b9317, 0xdac4efc63b4f6a19, 0x8dd9ce462c13528d,
      0x2442d1dbeaaa8805},
     {"18.774595600552857", "39.275473891757429", "23.168051824904978"}},
    {0xfffffffffffffff9,  // srand(-7)
     {0x5d5ff8880181ac37, 0xf0c97d9bfcf154df, 0x20e3336608f271d0, 0x66bbe33a22f67c52,
      0x9565a2dcec33fb7d},
     {"0.58848985936492682", "98.805742687545717", "3.4949410706758499"}},
    {0x123456789abcdef0,
     {0x33fda952b3ea0d67, 0x5139a815b9b8d52c, 0x9b68440554f9b9ef, 0x41846c2ad8ddebd4,
      0x09eac681153b1a32},
     {"70.279010548256338", "72.547657322138548", "33.193552098236978"}},
};

TEST(Random, XoshiroMatchesTheReference) {
  for (const xoshiro_vector &v : xoshiro_vectors) {
    uint64_t s[4];
    xoshiro256ss_seed(s, v.seed);
    for (uint64_t expected : v.outputs) EXPECT_EQ(xoshiro256ss_next(s), expected) << v.seed;
  }
}

TEST_F(Maths, SrandAndRndMatchTheReference) {
  const char *seeds[] = {"0", "1", "-7", "0x123456789abcdef0"};
  for (size_t i = 0; i < std::size(xoshiro_vectors); i++) {
    const xoshiro_vector &v = xoshiro_vectors[i];
    std::string code = std::string("srand(") + seeds[i] + ") return rnd(100), rnd(100), rnd(100)";
    R expected;
    for (const char *x : v.rnd100) expected.push_back(std::string("f:") + x);
    EXPECT_EQ(run(code), expected) << seeds[i];
  }
  // srand floors a float seed and reads a numeric string.
  EXPECT_EQ(run("srand(1.9) local a = rnd(100) srand('1') return a == rnd(100)"), R{"b:true"});
}

TEST_F(Maths, RndForms) {
  run("srand(1)");
  // rnd() is a float in [0, 1); a non-number acts as 1.
  R r = run("local a, b = rnd(), rnd('x') return math.type(a), a >= 0 and a < 1, b < 1");
  EXPECT_EQ(r, (R{"s:float", "b:true", "b:true"}));
  // The table form picks element output % #t + 1 (the reference's first output
  // for seed 0 is 0xd3dcb6dba861219b, which is 1 mod 3; for 4 elements, 3).
  EXPECT_EQ(run("srand(0) return rnd({'a', 'b', 'c'})"), R{"s:b"});
  EXPECT_EQ(run("srand(0) return rnd({'a', 'b', 'c', 'd'})"), R{"s:d"});
  EXPECT_EQ(run("return select('#', rnd({}))"), R{"i:0"});
  // Read through metamethods.
  EXPECT_EQ(run("srand(0) local p = setmetatable({}, {__len = function() return 3 end,"
                " __index = function(_, i) return i * 10 end}) return rnd(p)"),
            R{"i:20"});
  EXPECT_EQ(charge_of("rnd", "10"), 4);
  EXPECT_EQ(charge_of("srand", "5"), 0) << "srand charges nothing";
}

TEST_F(Maths, EveryProcessStartsWithItsOwnSeededGenerator) {
  process *a = create_process_from_code("", "a", "/a");
  process *b = create_process_from_code("", "b", "/b");
  ASSERT_TRUE(a && b);
  auto zero = [](const process *P) {
    return P->random_state[0] == 0 && P->random_state[1] == 0 && P->random_state[2] == 0 &&
           P->random_state[3] == 0;
  };
  EXPECT_FALSE(zero(root));
  EXPECT_FALSE(zero(a));
  EXPECT_NE(std::vector<uint64_t>(a->random_state, a->random_state + 4),
            std::vector<uint64_t>(b->random_state, b->random_state + 4));
  cproc = a;
  // A generator stuck at zero would answer 0 every time.
  EXPECT_EQ(run("for i = 1, 8 do if rnd(1) ~= 0 then return true end end return false"),
            R{"b:true"});
}

TEST_F(Maths, SrandWithoutASeedStirsTheEntropy) {
  seed_entropy = seed_entropy_initial;
  // Reference values from Python.
  EXPECT_EQ(stir_seed_entropy(), 0xd2338735u);
  EXPECT_EQ(stir_seed_entropy(), 0xb075c3bcu);
  EXPECT_EQ(stir_seed_entropy(), 0x416a2500u);
  uint32_t before = seed_entropy;
  run("srand()");
  EXPECT_NE(seed_entropy, before);
  before = seed_entropy;
  run("srand(nil)");
  EXPECT_NE(seed_entropy, before) << "nil is no seed";
  before = seed_entropy;
  run("srand(3)");
  EXPECT_EQ(seed_entropy, before) << "a given seed does not stir";

  const void *addr = reinterpret_cast<const void *>(uintptr_t{0x7f0012345678});
  EXPECT_EQ(default_random_seed(1700000000, addr, 7, 0x12345678), 0x05d0cc793ebddf78u);
  EXPECT_EQ(default_random_seed(1700000000, addr, 7, 0x87654321), 0xffffffffbfedcf79u)
      << "e is sign-extended";
}

/* ---------------------------------------------------------------------- */
/* maths                                                                  */
/* ---------------------------------------------------------------------- */

TEST_F(Maths, AbsAndSgn) {
  EXPECT_EQ(run("return abs(-3), abs(3), abs(-2.5), abs(math.mininteger), abs('-4')"),
            (R{"i:3", "i:3", "f:2.5", "i:9223372036854775807", "f:4"}));
  EXPECT_EQ(run("return abs('x')"),
            R{"error: test:1: bad argument #1 to 'abs' (number expected, got string)"});
  EXPECT_EQ(run("return abs()"),
            R{"error: test:1: bad argument #1 to 'abs' (number expected, got no value)"});
  EXPECT_EQ(abs_i64(INT64_MIN), INT64_MAX);
  EXPECT_EQ(abs_i64(-5), 5);
  EXPECT_EQ(run("return sgn(-0.5), sgn(0), sgn(7), sgn('x'), sgn(-3), sgn(0/0)"),
            (R{"i:-1", "i:1", "i:1", "i:1", "i:-1", "i:1"}));
}

TEST_F(Maths, MaxMinMidKeepIntegers) {
  EXPECT_EQ(run("return max(3, 5.5), max(3, nil), max(-3), max(2, 9), max('7', 1)"),
            (R{"f:5.5", "i:3", "i:0", "i:9", "f:1"}));
  EXPECT_EQ(run("return min(3, 5.5), min(3, nil), min(4), min(2, 9), min(2.5, 'x')"),
            (R{"f:3", "i:0", "i:0", "i:2", "f:0"}));
  // With an integer first, a non-number second reads through kvt_intp.
  EXPECT_EQ(run("return max(1, '7.9'), min(9, '2.5')"), (R{"i:7", "i:2"}));
  EXPECT_EQ(run("return mid(1, 5, 3), mid(5, 1, 3), mid(3, 1, 5), mid(1, 2), mid(1, 2.5, 3)"),
            (R{"i:3", "i:3", "i:3", "i:1", "f:2.5"}));
  EXPECT_EQ(run("return mid(7, 7, 1), mid(-1, nil, 4), mid(2.0, 1, 3)"),
            (R{"i:7", "i:0", "f:2"}));
  EXPECT_EQ(mid_of(1, 2, 3), 2);
  EXPECT_EQ(mid_of(3, 2, 1), 2);
  EXPECT_EQ(mid_of(2, 3, 1), 2);
  EXPECT_EQ(mid_of(2, 1, 3), 2);
}

TEST_F(Maths, SqrtAndRounding) {
  EXPECT_EQ(run("return sqrt(16), sqrt(), sqrt('16'), sqrt(2) == math.sqrt(2)"),
            (R{"f:4", "f:0", "f:0", "b:true"}));
  EXPECT_EQ(charge_of("sqrt", "2"), 6);
  EXPECT_EQ(run("return flr(-2.5), flr('x'), flr(5), flr(2.7), flr('3.9'), flr(0/0)"),
            (R{"i:-3", "i:0", "i:5", "i:2", "i:3", "i:0"}));
  EXPECT_EQ(run("return flr(math.huge), flr(-math.huge), flr(2^63), flr(math.mininteger)"),
            (R{"i:9223372036854775807", "i:-9223372036854775808", "i:9223372036854775807",
               "i:-9223372036854775808"}));
  EXPECT_EQ(run("return ceil(-2.5), ceil(2.1), ceil(4), ceil('x'), ceil('1.2'), ceil(-math.huge)"),
            (R{"i:-2", "i:3", "i:4", "i:0", "i:2", "i:-9223372036854775808"}));
}

TEST_F(Maths, TrigonometryInTurns) {
  // Exact at the quarter turns, including whole turns away from zero.
  EXPECT_EQ(run("return cos(0), cos(0.25), cos(0.5), cos(0.75), cos(3), cos(1.25)"),
            (R{"f:1", "f:0", "f:-1", "f:0", "f:1", "f:0"}));
  EXPECT_EQ(run("return sin(0), sin(0.25), sin(0.5), sin(0.75), sin(2.25)"),
            (R{"f:0", "f:-1", "f:0", "f:1", "f:-1"}));
  // A negative quarter has a negative remainder: computed, not exact.
  lua_State *L = root->lua_state;
  ASSERT_EQ(luaL_dostring(L, "return cos(-0.25), sin(-0.25), sin(0.1), cos(0.1)"), LUA_OK);
  EXPECT_EQ(lua_tonumber(L, -4), std::cos(-0.25 * 2 * 3.141562));
  EXPECT_NE(lua_tonumber(L, -4), 0.0);
  EXPECT_EQ(lua_tonumber(L, -3), std::sin(-3.141562 * -0.25 * 2));
  EXPECT_LT(lua_tonumber(L, -2), 0.0) << "the screen's sine is inverted";
  EXPECT_NEAR(lua_tonumber(L, -2), -std::sin(0.2 * std::numbers::pi), 1e-4);
  EXPECT_NEAR(lua_tonumber(L, -1), std::cos(0.2 * std::numbers::pi), 1e-4);
  lua_settop(L, 0);
  // atan2 with y pointing down: straight down is a quarter turn clockwise.
  ASSERT_EQ(luaL_dostring(L, "return atan2(1, 0), atan2(0, 1), atan2(0, -1), atan2(-1, 0)"),
            LUA_OK);
  EXPECT_EQ(lua_tonumber(L, -4), 0.0);
  EXPECT_NEAR(lua_tonumber(L, -3), -0.25, 1e-5);
  EXPECT_NEAR(lua_tonumber(L, -2), 0.25, 1e-5);
  EXPECT_NEAR(std::fabs(lua_tonumber(L, -1)), 0.5, 1e-5);
  EXPECT_EQ(turns_atan2(0, 1), std::atan2(-1.0, 0.0) / 6.283124);
  lua_settop(L, 0);
}

/* ---------------------------------------------------------------------- */
/* tables                                                                 */
/* ---------------------------------------------------------------------- */

TEST_F(Maths, AddInsertsAndChecksItsArguments) {
  EXPECT_EQ(run("local t = {1, 2, 3} local r = add(t, 9) return r, #t, t[4]"),
            (R{"i:9", "i:4", "i:9"}));
  EXPECT_EQ(run("local t = {1, 2, 3} add(t, 9, 1) return table.concat(t, ',')"), R{"s:9,1,2,3"});
  EXPECT_EQ(run("local t = {1, 2, 3} add(t, 9, 4) return table.concat(t, ',')"), R{"s:1,2,3,9"});
  EXPECT_EQ(run("local t = {1, 2, 3} add(t, 9, 2.9) return table.concat(t, ',')"),
            R{"s:1,9,2,3"});
  EXPECT_EQ(run("local t = {1, 2, 3} return add(t, 9, 5)"),
            R{"error: test:1: bad argument #2 to 'add' (position out of bounds)"});
  EXPECT_EQ(run("return add({}, 9, 0)"),
            R{"error: test:1: bad argument #2 to 'add' (position out of bounds)"});
  EXPECT_EQ(run("return select('#', add({}))"), R{"i:0"});
  EXPECT_EQ(run("return add({}, 1, 1, 1)"), R{"error: test:1: wrong number of arguments to 'insert'"});
  EXPECT_EQ(run("return add(nil, 1)"),
            R{"error: test:1: bad argument #1 to 'add' (table expected, got nil)"});
  // A proxy with the metamethods passes the check; reads and writes go through them.
  EXPECT_EQ(run("local store = {5, 6} local p = setmetatable({}, {__index = store,"
                " __newindex = store, __len = function() return #store end})"
                " add(p, 4, 1) return table.concat(store, ',')"),
            R{"s:4,5,6"});
  // A string's metatable has __index but no __newindex.
  EXPECT_EQ(run("return add('x', 2)"),
            R{"error: test:1: bad argument #1 to 'add' (table expected, got string)"});
}

TEST_F(Maths, DeliDelAndCount) {
  EXPECT_EQ(run("local t = {1, 2, 3} local r = deli(t) return r, #t, t[3]"),
            (R{"i:3", "i:2", "nil"}));
  EXPECT_EQ(run("local t = {1, 2, 3} local r = deli(t, 1) return r, table.concat(t, ',')"),
            (R{"i:1", "s:2,3"}));
  EXPECT_EQ(run("local t = {1, 2, 3} return select('#', deli(t, 4)), select('#', deli(t, 0)),"
                " select('#', deli(t, 'x')), select('#', deli({}))"),
            (R{"i:0", "i:0", "i:0", "i:0"}));
  EXPECT_EQ(run("local t = {1, 2, 3} return deli(t, 2.5), table.concat(t, ',')"),
            (R{"i:2", "s:1,3"}));
  // A table with a metatable is read and written through its metamethods.
  EXPECT_EQ(run("local s = {10, 20, 30} local t = setmetatable({}, {__index = s,"
                " __newindex = s, __len = function() return #s end})"
                " return deli(t, 1), table.concat(s, ','), rawlen(t)"),
            (R{"i:10", "s:20,30", "i:0"}));
  EXPECT_EQ(run("return deli(5)"),
            R{"error: test:1: bad argument #1 to 'deli' (table expected, got number)"});

  EXPECT_EQ(run("local t = {'a', 'b', 'a'} local r = del(t, 'a') return r, table.concat(t, ',')"),
            (R{"s:a", "s:b,a"}));
  EXPECT_EQ(run("local t = {1, 2} return select('#', del(t, 3)), select('#', del(t)), #t"),
            (R{"i:0", "i:0", "i:2"}));
  // Equality goes through __eq.
  EXPECT_EQ(run("local mt = {__eq = function(a, b) return a.k == b.k end}"
                " local x, y = setmetatable({k = 1}, mt), setmetatable({k = 1}, mt)"
                " local t = {x} return del(t, y) == x, #t"),
            (R{"b:true", "i:0"}));
  EXPECT_EQ(run("return del(nil, 1)"),
            R{"error: test:1: bad argument #1 to 'del' (table expected, got nil)"});

  EXPECT_EQ(run("local t = {1, 2, 1, 1} return count(t), count(t, 1), count(t, 7)"),
            (R{"i:4", "i:3", "i:0"}));
  EXPECT_EQ(run("return count('x')"),
            R{"error: test:1: bad argument #1 to 'count' (table expected, got string)"});
}

TEST_F(Maths, TableFunctionCharges) {
  run("t10 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10} t20 = {} for i = 1, 20 do t20[i] = i end");
  // count and del read every element through the API: at least #t, and in
  // step with it.
  for (const char *fn : {"count", "del"}) {
    SCOPED_TRACE(fn);
    int64_t ten = charge_of(fn, "t10, 99"), twenty = charge_of(fn, "t20, 99");
    EXPECT_GE(ten, 10);
    EXPECT_EQ(twenty, 2 * ten);
  }
  EXPECT_EQ(charge_of("count", "t10"), 0) << "no charge without a value";
  int64_t counted = charge_of("count", "t10, 3");
  EXPECT_EQ(charge_of("del", "t10, 3"), counted) << "#t, wherever it stops";
  EXPECT_EQ(charge_of("deli", "t10, 2"), 14) << "2 (#t - i), with #t now 9";
  EXPECT_EQ(charge_of("deli", "t10"), 1) << "the last element: 0 moved, at least 1";
  // Seven elements left in a table with room: inserting at 1 moves all seven.
  EXPECT_EQ(charge_of("add", "t10, 0, 1"), 7);
}

/* ---------------------------------------------------------------------- */
/* strings                                                                */
/* ---------------------------------------------------------------------- */

TEST_F(Maths, ChrOrdAndStrindex) {
  EXPECT_EQ(run("return chr(72, 105), chr(256 + 65), chr(), #chr(-1), chr(65.9, '66')"),
            (R{"s:Hi", "s:A", "s:", "i:1", "s:AB"}));
  EXPECT_EQ(run("return ord(chr(255, 0))"), R{"i:255"});
  EXPECT_EQ(run("return ord('Hi', 1, 3)"), (R{"i:72", "i:105", "nil"}));
  EXPECT_EQ(run("return ord('Hi', 0, 2)"), (R{"nil", "i:72"}));
  EXPECT_EQ(run("return ord(nil, 1, 2)"), (R{"nil", "nil"}));
  EXPECT_EQ(run("return ord(123, 2)"), R{"i:50"});
  EXPECT_EQ(run("return select('#', ord('x', 1, 0)), select('#', ord('x', 1, 65537))"),
            (R{"i:0", "i:0"}));
  EXPECT_EQ(run("return ord('abc', '2')"), R{"i:97"}) << "a non-number position is 1";
  EXPECT_EQ(run("return ord('abc', math.maxinteger, 2)"), (R{"nil", "nil"}));
  EXPECT_EQ(charge_of("ord", "'abc', 1, 3"), 3);

  EXPECT_EQ(run("return _strindex('abc', 2), _strindex('abc'), _strindex('abc', 4),"
                " _strindex('abc', 1.9), _strindex({}, 1), _strindex(456, 3)"),
            (R{"s:b", "nil", "nil", "s:a", "nil", "s:6"}));
}

TEST(Split, PiecesByCountAndBySet) {
  auto by_count = [](std::string_view text, int64_t n) {
    std::vector<std::string> out;
    split_by_count(text, n, [&](std::string_view p) { out.emplace_back(p); });
    return out;
  };
  auto by_set = [](std::string_view text, std::string_view sep) {
    std::vector<std::string> out;
    split_by_set(text, sep, [&](std::string_view p) { out.emplace_back(p); });
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(by_count("abcde", 2), (V{"ab", "cd", "e"}));
  EXPECT_EQ(by_count("abc", 0), (V{"a", "b", "c"}));
  EXPECT_EQ(by_count("abc", -5), (V{"a", "b", "c"}));
  EXPECT_EQ(by_count("abc", 99), (V{"abc"}));
  EXPECT_EQ(by_count("abc", INT64_MAX), (V{"abc"}));
  EXPECT_EQ(by_count("", 3), V{});
  EXPECT_EQ(by_set("1,,a", ","), (V{"1", "", "a"}));
  EXPECT_EQ(by_set(",a,", ","), (V{"", "a", ""}));
  EXPECT_EQ(by_set("a b;c", " ;"), (V{"a", "b", "c"}));
  EXPECT_EQ(by_set("", ","), (V{""}));
  EXPECT_EQ(by_set("xyz", ""), (V{"x", "y", "z"}));
  EXPECT_EQ(by_set(std::string_view("a\0b", 3), std::string_view("\0", 1)), (V{"a", "b"}));
}

TEST_F(Maths, SplitVectors) {
  auto pieces = [&](const std::string &args) {
    return run("local r = {} for i, v in ipairs(split(" + args +
               ")) do r[i] = math.type(v) or type(v) r[i] = r[i] .. ':' .. tostring(v) end"
               " return table.concat(r, '|')");
  };
  EXPECT_EQ(pieces("'1,,a'"), R{"s:integer:1|string:|string:a"});
  EXPECT_EQ(pieces("'ab12', 2"), R{"s:string:ab|integer:12"});
  EXPECT_EQ(pieces("'a b;c', ' ;', false"), R{"s:string:a|string:b|string:c"});
  EXPECT_EQ(pieces("'123', ''"), R{"s:integer:1|integer:2|integer:3"});
  EXPECT_EQ(pieces("'1.5,0x10, 7 ,1e2,x1'"),
            R{"s:float:1.5|integer:16|integer:7|float:100.0|string:x1"});
  EXPECT_EQ(pieces("'1,2', ',', nil"), R{"s:string:1|string:2"}) << "a third argument counts";
  EXPECT_EQ(pieces("'1,2', ',', 2"), R{"s:integer:1|integer:2"});
  EXPECT_EQ(pieces("'1;2', {}"), R{"s:string:1;2"}) << "a non-string separator is ','";
  EXPECT_EQ(pieces("'abcde', 2.9"), R{"s:string:ab|string:cd|string:e"});
  EXPECT_EQ(pieces("12.5"), R{"s:float:12.5"});
  EXPECT_EQ(pieces("''"), R{"s:string:"});
  EXPECT_EQ(run("return select('#', split()), select('#', split({})), select('#', split(nil, ','))"),
            (R{"i:0", "i:0", "i:0"}));
  // An embedded NUL keeps a piece a string.
  EXPECT_EQ(run("local t = split('1\\0,2') return type(t[1]), #t[1], t[2]"),
            (R{"s:string", "i:2", "i:2"}));
  int64_t c = charge_of("split", "string.rep('x', 500), ''");
  EXPECT_GE(c, 500) << "the length of the text, then the table's allocations";
}

struct token_case {
  std::string text;
  int64_t pos;
  int64_t state;
  R expected;  // token, next position, kind[, state]
};

TEST_F(Maths, TokenoidVectors) {
  const token_case cases[] = {
      {"x = 12", 1, 0, {"s:x", "i:2", "i:1"}},
      {"x = 12", 2, 0, {"s: ", "i:3", "i:0"}},
      {"x = 12", 3, 0, {"s:=", "i:4", "i:5"}},
      {"x = 12", 5, 0, {"s:12", "i:7", "i:2"}},
      {"--[[ open", 1, 0, {"s:--[[ open", "i:10", "i:3", "i:768"}},
      {"--[==[ a ]] b ]==] c", 1, 0, {"s:--[==[ a ]] b ]==]", "i:19", "i:3"}},
      {"-- note\nx", 1, 0, {"s:-- note", "i:8", "i:3"}},
      {"a - b", 3, 0, {"s:-", "i:4", "i:5"}},
      {"[=[ text", 1, 0, {"s:[=[ text", "i:9", "i:4", "i:1025"}},
      {"[[s]]..x", 1, 0, {"s:[[s]]", "i:6", "i:4"}},
      {"t[1]", 2, 0, {"s:[", "i:3", "i:5"}},
      {" \t x", 1, 0, {"s: \t ", "i:4", "i:0"}},
      {"_a1\xc3\xa9z+", 1, 0, {"s:_a1\xc3\xa9z", "i:7", "i:1"}},
      {"0x1f+", 1, 0, {"s:0x1f", "i:5", "i:2"}},
      {"0b101)", 1, 0, {"s:0b101", "i:6", "i:2"}},
      {"3.25e", 1, 0, {"s:3.25e", "i:6", "i:2"}},
      {"1b2", 1, 0, {"s:1b2", "i:4", "i:2"}},
      {"12ab;", 1, 0, {"s:12ab", "i:5", "i:2"}},
      {"1.x", 1, 0, {"s:1.", "i:3", "i:2"}},
      {"\"a\\\"b\" c", 1, 0, {"s:\"a\\\"b\"", "i:7", "i:4"}},
      {"\"a\\\\\" c", 1, 0, {"s:\"a\\\\\"", "i:6", "i:4"}},
      {"\"open", 1, 0, {"s:\"open", "i:6", "i:4"}},
      {"'q'", 1, 0, {"s:'", "i:2", "i:5"}},
      // Continuing a long bracket from the previous line.
      {"more ]] x", 1, 768, {"s:more ]]", "i:8", "i:3"}},
      {"still open", 1, 768, {"s:still open", "i:11", "i:3", "i:768"}},
      {"a]=]b]==]", 1, 1026, {"s:a]=]b]==]", "i:10", "i:4"}},
      {"x]]", 2, 768 + 1, {"s:]]", "i:4", "i:3", "i:769"}},
  };
  lua_State *L = root->lua_state;
  for (const token_case &c : cases) {
    lua_settop(L, 0);
    lua_getglobal(L, "tokenoid");
    lua_pushlstring(L, c.text.data(), c.text.size());
    lua_pushinteger(L, c.pos);
    lua_pushinteger(L, c.state);
    ASSERT_EQ(lua_pcall(L, 3, LUA_MULTRET, 0), LUA_OK) << c.text;
    R got;
    for (int i = 1; i <= lua_gettop(L); i++) got.push_back(show(L, i));
    EXPECT_EQ(got, c.expected) << c.text << " at " << c.pos;
  }
  lua_settop(L, 0);
  EXPECT_EQ(run("return select('#', tokenoid('abc', 0)), select('#', tokenoid('abc', 4)),"
                " select('#', tokenoid(12, 1)), select('#', tokenoid(''))"),
            (R{"i:0", "i:0", "i:0", "i:0"}));
  EXPECT_EQ(run("return tokenoid('ab cd')"), (R{"s:ab", "i:3", "i:1"})) << "pos defaults to 1";
  // A long bracket of 60 or more "=" is not one: the "[" stands alone.
  std::string deep = "[" + std::string(60, '=') + "[";
  EXPECT_EQ(scan_token(deep, 0, 0).kind, token_other);
  EXPECT_EQ(scan_token(deep, 0, 0).length, 1u);
  std::string ok = "[" + std::string(59, '=') + "[";
  token t = scan_token(ok, 0, 0);
  EXPECT_TRUE(t.open);
  EXPECT_EQ(t.state, 1024 + 59);
  run("keep = 'abcdef'");  // the token's string already exists: no allocation is charged
  EXPECT_EQ(charge_of("tokenoid", "'abcdef ', 1"), 6);
}

}  // namespace
