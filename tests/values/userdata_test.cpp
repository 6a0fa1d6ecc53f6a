// userdata: the record's limits, the constructor and its text forms, and the
// core methods, through the script functions.
#include "values/userdata.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "tests/values/values_state.h"
#include "values/userdata_api.h"
#include "values/userdata_ops.h"

namespace {

using values_test::R;
using Userdata = values_test::ValuesState;

TEST(UserdataRecord, BlockSizeLimits) {
  EXPECT_EQ(userdata_block_size(utype_u8, 16 * 1024 * 1024, 1, 1), 16 * 1024 * 1024);
  EXPECT_EQ(userdata_block_size(utype_u8, 16 * 1024 * 1024 + 1, 1, 1), -1);
  EXPECT_EQ(userdata_block_size(utype_u8, 0, 1, 1), -1);
  EXPECT_EQ(userdata_block_size(utype_u8, 1, 1, 1), 8) << "rounded up to 8";
  EXPECT_EQ(userdata_block_size(utype_i16, 3, 1, 1), 8);
  EXPECT_EQ(userdata_block_size(utype_f64, 2 * 1024 * 1024, 1, 1), 16 * 1024 * 1024);
  EXPECT_EQ(userdata_block_size(utype_f64, 2 * 1024 * 1024 + 1, 1, 1), -1);
  EXPECT_EQ(userdata_block_size(utype_u8, -4, -4, 1), -1) << "two negatives make no size";
  // Products that wrap in 32 (or 64) bits are refused, not wrapped.
  EXPECT_EQ(userdata_block_size(utype_u8, int64_t{1} << 32, 1, 1), -1);
  EXPECT_EQ(userdata_block_size(utype_u8, (int64_t{1} << 32) + 8, 1, 1), -1);
  EXPECT_EQ(userdata_block_size(utype_i64, int64_t{1} << 61, 1, 1), -1);
  EXPECT_EQ(userdata_block_size(utype_u8, int64_t{1} << 40, int64_t{1} << 40, 1), -1);
  EXPECT_EQ(userdata_block_size(utype_u8, 65536, 65536, 1), -1);
  EXPECT_EQ(userdata_block_size(utype_u8, 4, 4, 0), -1);
}

TEST(UserdataRecord, TypeNames) {
  EXPECT_EQ(str_to_utype("u8"), utype_u8);
  EXPECT_EQ(str_to_utype("i16"), utype_i16);
  EXPECT_EQ(str_to_utype("i32"), utype_i32);
  EXPECT_EQ(str_to_utype("i64"), utype_i64);
  EXPECT_EQ(str_to_utype("f64"), utype_f64);
  EXPECT_EQ(str_to_utype("f32"), utype_i32);
  EXPECT_EQ(str_to_utype("u16"), utype_i16);
  EXPECT_EQ(str_to_utype("i8"), utype_i64);
  EXPECT_EQ(str_to_utype(""), utype_u8);
  EXPECT_EQ(str_to_utype("x"), utype_u8);
  EXPECT_STREQ(get_utype_string(3), "u8");
  EXPECT_STREQ(get_utype_string(22), "f64");
  EXPECT_STREQ(get_utype_string(4), "?");
  EXPECT_STREQ(get_utype_string(23), "?");
  EXPECT_STREQ(get_utype_string(-1), "?");
  EXPECT_EQ(utype_size(utype_u8), 1);
  EXPECT_EQ(utype_size(utype_i16), 2);
  EXPECT_EQ(utype_size(utype_i32), 4);
  EXPECT_EQ(utype_size(utype_i64), 8);
  EXPECT_EQ(utype_size(utype_f64), 8);
}

TEST_F(Userdata, ConstructorShapes) {
  EXPECT_EQ(run("return userdata('u8', 0)"), R{});
  EXPECT_EQ(run("return userdata('u8', 4, 2, 3):attribs()"), (R{"i:4", "i:2", "s:u8", "i:2"}));
  EXPECT_EQ(run("return userdata('u8', 4):attribs()"), (R{"i:4", "i:1", "s:u8", "i:1"}));
  EXPECT_EQ(run("return userdata('i16', 4, '0001'):attribs()"), (R{"i:4", "i:1", "s:i16", "i:1"}));
  EXPECT_EQ(run("return userdata('i32', 4, 2, '01'):attribs()"), (R{"i:4", "i:2", "s:i32", "i:2"}));
  EXPECT_EQ(run("return #userdata('u8', 16 * 1024 * 1024)"), R{"i:16777216"});
  EXPECT_EQ(run("return userdata('u8', 16 * 1024 * 1024 + 1)"), R{});
  EXPECT_EQ(run("return userdata('u8', 2^32 + 8)"), R{}) << "not wrapped to 8";
  EXPECT_EQ(run("return userdata('u8', 65536, 65537)"), R{});
  EXPECT_EQ(run("return userdata('u8', -4, -4)"), R{});
  EXPECT_EQ(run("return userdata('u8', 1/0)"), R{});
  EXPECT_EQ(run("return userdata('u8', 0/0)"), R{});
  EXPECT_EQ(run("return userdata('u8', '4')"), R{}) << "a size must be a number";
  EXPECT_EQ(run("return userdata('u8', 4.9):width()"), R{"i:4"});
  EXPECT_EQ(run("return userdata(nil, 4):attribs()"), (R{"i:4", "i:1", "s:u8", "i:1"}));
  EXPECT_EQ(run("return userdata(13, 2):attribs()"), (R{"i:2", "i:1", "s:i32", "i:1"}))
      << "a number type reads as its text";
  EXPECT_EQ(run("return getmetatable(userdata('u8', 4)) == USERDATA"), R{"b:true"});
  EXPECT_EQ(run("USERDATA = nil return getmetatable(userdata('u8', 4))"), R{"nil"});
}

TEST_F(Userdata, TextInitialisers) {
  EXPECT_EQ(run("local u = userdata('i16', 3, '00010002ffff') return u[0], u[1], u[2]"),
            (R{"i:1", "i:2", "i:-1"}));
  EXPECT_EQ(run("local u = userdata('u8', 4, '0102') return u:get(0, 4)"),
            (R{"i:1", "i:2", "i:0", "i:0"}));
  EXPECT_EQ(run("local u = userdata('u8', 4, 'hex:0a0B0') return u:get(0, 4)"),
            (R{"i:10", "i:11", "i:0", "i:0"}))
      << "the element cut by the end stays 0";
  EXPECT_EQ(run("local u = userdata('u8', 3, 'zz0g1') return u:get(0, 3)"),
            (R{"i:0", "i:0", "i:0"}))
      << "non-hex characters read as 0 and are consumed";
  EXPECT_EQ(run("local u = userdata('i64', 2, 'ffffffffffffffff0000000100000002') return u[0], u[1]"),
            (R{"i:-1", "i:4294967298"}));
  EXPECT_EQ(run("local u = userdata('i32', 1, '80000000') return u[0]"), R{"i:-2147483648"});
  EXPECT_EQ(run("local u = userdata('f64', 3, '1.5,2') return u:get(0, 3)"),
            (R{"f:1.5", "f:2", "f:0"}));
  EXPECT_EQ(run("local u = userdata('f64', 4, ' -3e2, x,inf,1e999') return u:get(0, 4)"),
            (R{"f:-300", "f:0", "f:inf", "f:inf"}));
  EXPECT_EQ(run("local u = userdata('f64', 3, '7\"8,9') return u:get(0, 3)"),
            (R{"f:7", "f:0", "f:0"}))
      << "a quote before any comma stops the fill";
  EXPECT_EQ(run("local u = userdata('f64', 2, 'nan,2') return u[0] ~= u[0], u[1]"),
            (R{"b:true", "f:2"}));
  EXPECT_EQ(run("local u = userdata('[gfx]0302abcdef') return u:attribs()"),
            (R{"i:3", "i:2", "s:u8", "i:2"}));
  EXPECT_EQ(run("local u = userdata('[gfx]0302abcdef', 9, 9, 'xx') return u:get(0, 0, 6)"),
            (R{"i:10", "i:11", "i:12", "i:13", "i:14", "i:15"}));
  EXPECT_EQ(run("local u = userdata('[gfx]0201_-') return u:get(0, 0, 2)"), (R{"i:62", "i:63"}));
  EXPECT_EQ(run("local u = userdata('[gfx]0202Z') return u:get(0, 0, 4)"),
            (R{"i:61", "i:0", "i:0", "i:0"}));
  EXPECT_EQ(run("return userdata('[gfx]0002')"), R{});
  EXPECT_EQ(run("return userdata('u8', 4, 'ab\\0cd'):get(0, 2)"), (R{"i:171", "i:0"}))
      << "the text ends at a NUL";
}

TEST_F(Userdata, DecimalTextIsReadInLinearTime) {
  // One long stretch of blanks before every comma, and many elements with no
  // comma at all: both used to rescan the rest of the text per element.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run("local u = userdata('f64', 1000000, string.rep(' ', 4000000) .. '5') "
                "return u[0], u[1]"),
            (R{"f:5", "f:0"}));
  EXPECT_EQ(run("local t = string.rep('1,', 200000) local u = userdata('f64', 200000, t) "
                "return u[199999]"),
            R{"f:1"});
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 5.0);
}

TEST_F(Userdata, DataTextCharge) {
  // count x bits / 32, beyond what the allocation itself costs; and each
  // decimal number read 16 more
  int64_t u8_block = charge_of("userdata", "'u8', 64");
  int64_t f64_block = charge_of("userdata", "'f64', 16");
  EXPECT_EQ(charge_of("userdata", "'u8', 64, '00'") - u8_block, 16);
  EXPECT_EQ(charge_of("userdata", "'f64', 16, '1'") - f64_block, 32 + 16);
  EXPECT_EQ(charge_of("userdata", "'f64', 16, '1,2,3'") - f64_block, 32 + 3 * 16);
  EXPECT_EQ(charge_of("userdata", "'u8', 64, ''") - u8_block, 16) << "an empty text still counts";
}

TEST_F(Userdata, GetAndSet) {
  EXPECT_EQ(run("local u = userdata('u8', 2, '0102') return get(u, 0, 3)"),
            (R{"i:1", "i:2", "i:0"}));
  EXPECT_EQ(run("local u = userdata('u8', 2, '0102') return u:get(2)"), R{"f:0"});
  EXPECT_EQ(run("local u = userdata('u8', 2, '0102') return u:get(-1)"), R{"f:0"});
  EXPECT_EQ(run("local u = userdata('u8', 2, '0102') return u:get()"), (R{"i:1", "i:2"}));
  EXPECT_EQ(run("local u = userdata('u8', 2, '0102') return u:get(0, 0)"), R{});
  EXPECT_EQ(run("local u = userdata('u8', 3, 2) u:set(1, 1, 7, 8, 9) return u:get(0, 0, 6)"),
            (R{"i:0", "i:0", "i:0", "i:0", "i:7", "i:8"}));
  EXPECT_EQ(run("local u = userdata('u8', 3) u:set(0, 300, -1, 2.7) return u:get()"),
            (R{"i:44", "i:255", "i:2"}));
  EXPECT_EQ(run("local u = userdata('u8', 3) u:set(3, 1) u:set(-1, 1) u:set('1', 5) return u:get()"),
            (R{"i:5", "i:0", "i:0"}))
      << "numeric-string coordinates count as absent (0)";
  EXPECT_EQ(run("local u = userdata('f64', 2) set(u, 0, 1.25, '2') return u:get()"),
            (R{"f:1.25", "f:0"}));
  EXPECT_EQ(run("local u = userdata('i16', 2) u:set(0, 0x18000, -2) return u:get()"),
            (R{"i:-32768", "i:-2"}));
  EXPECT_EQ(run("return get(5, 0)"), R{});
  EXPECT_EQ(run("return set({}, 0, 1)"), R{});
  testing::internal::CaptureStdout();
  EXPECT_EQ(run("local u = userdata('u8', 4) return select('#', u:get(0, 200000))"), R{"i:0"});
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            " ********** too many get() results (200000) stack limit reached **********\n");
  EXPECT_EQ(charge_of("get", "userdata('u8', 8), 0, 7"),
            userdata_call_cycles + 7 / 2 + 7 / moved_values_per_cycle);
}

// Beyond the charges by element, each call pays for its own fixed work: a new
// userdata for every one it makes, the reading of its arguments, the values
// it moves to or from the Lua stack, a number written for tostring, a line
// written to the terminal.
TEST_F(Userdata, CallsPayForTheirFixedWork) {
  struct row { const char *fn, *args; int64_t least; };
  const row rows[] = {
      {"userdata", "'u8', 8", new_userdata_cycles},
      {"userdata", "'[gfx]0202abcd'", new_userdata_cycles + 1},
      {"vec", "1, 2", new_userdata_cycles},
      {"vec", "1, 2, 3, 4, 5, 6, 7, 8", new_userdata_cycles + 8 / moved_values_per_cycle},
      {"USERDATA.convert", "vec(1, 2), 'f64'", new_userdata_cycles},
      {"USERDATA.convert", "vec(1, 2), 'u8', true", 2 * new_userdata_cycles + 2},
      {"USERDATA.__tostring", "vec(1, 2)", 2 * tostring_number_cycles},
      {"USERDATA.__tostring", "userdata('f64', 3, 4)", 12 * tostring_number_cycles},
      {"get", "vec(1, 2), 0, 1", userdata_call_cycles + 1},
      {"get", "vec(1, 2), 5, 1", userdata_call_cycles},  // out of range: the single 0.0
      {"set", "vec(1, 2), 0, 5", userdata_call_cycles},
      {"set", "vec(1, 2), 7, 5", userdata_call_cycles},
      {"set", "userdata('u8', 8), 0, 1, 2, 3, 4, 5, 6, 7, 8", userdata_call_cycles + 8 / moved_values_per_cycle},
      {"USERDATA.attribs", "vec(1, 2)", userdata_call_cycles},
      {"USERDATA.mutate", "userdata('u8', 8), 'u8', 4", userdata_call_cycles},
      {"USERDATA.mutate", "userdata('u8', 8), 'f64'", userdata_call_cycles},
      {"USERDATA.sort", "vec(2, 1)", userdata_call_cycles + 1},
      {"USERDATA.width", "vec(1, 2)", shape_call_cycles},
      {"USERDATA.height", "userdata('u8', 2, 3)", shape_call_cycles},
      {"USERDATA.height", "vec(1, 2)", shape_call_cycles},
  };
  for (const row &r : rows) EXPECT_GE(charge_of(r.fn, r.args), r.least) << r.fn << "(" << r.args << ")";
  testing::internal::CaptureStdout();
  EXPECT_GE(charge_of("get", "userdata('u8', 4), 0, 200000"), host_line_cycles);
  testing::internal::GetCapturedStdout();
}

TEST_F(Userdata, IndexAndNewIndex) {
  EXPECT_EQ(run("local v = vec(1, 2, 3) return v.x, v.y, v.z, v.q, v.t"),
            (R{"f:1", "f:2", "f:3", "nil", "nil"}));
  EXPECT_EQ(run("return select('#', USERDATA.__index(vec(1), 'q'))"), R{"i:0"});
  EXPECT_EQ(run("local v = userdata('u8', 4) v[1.5] = 7 v.w = 1 v.x = 300 v[9] = 1 v[true] = 1 "
                "return v:get()"),
            (R{"i:44", "i:7", "i:0", "i:0"}));
  EXPECT_EQ(run("local v = userdata('i32', 4) v[1] = '12' v[2] = {} return v[1], v[2], v[4], v[-1]"),
            (R{"i:12", "i:0", "nil", "nil"}));
  // A read takes an integer key by its low 32 bits; a write compares it in full.
  EXPECT_EQ(run("local v = userdata('u8', 4) v[0] = 9 v[2] = 7 "
                "return v[2^32], v[0.0], v[0.5], v[2^32 + 2], v[(1 << 40) | 2], v[-2^32]"),
            (R{"i:9", "i:9", "i:9", "i:7", "i:7", "i:9"}));
  EXPECT_EQ(run("local v = userdata('u8', 4) v[2^32] = 5 v[0xFFFFFFFF] = 6 "
                "return v[0], v[-1], v[2^31], v[1/0]"),
            (R{"i:0", "nil", "nil", "nil"}));
  EXPECT_EQ(run("local v = userdata('f64', 2) v[0] = '2.5' v[1] = {} return v[0], v[1]"),
            (R{"f:2.5", "f:0"}));
  EXPECT_EQ(run("return type(userdata('u8', 4).width)"), R{"s:function"});
  EXPECT_EQ(run("return #userdata('i16', 3, 5)"), R{"i:15"});
}

// ud[i] with an integer key is read and written, ud.name and ud:name() looked
// up and #ud taken by the interpreter itself while USERDATA's own __index,
// __newindex and __len are in place; with a hook set (which could see the
// metamethod's call) the call is made as before. Both ways must give the same
// results, errors and cycles.
TEST_F(Userdata, InterpreterIndexingMatchesTheMetamethods) {
  struct row {
    const char *code;
    R expected;
  };
  const std::string fill = "local function make(t) local u = userdata(t, 4) "
                           "for i = 0, 3 do USERDATA.__newindex(u, i, i * 3) end return u end ";
  const row rows[] = {
      {"local u = make('u8') u[0] = 300 u[1] = -1 u[2] = 2.75 u[3] = -0.5 "
       "return u[0], u[1], u[2], u[3], u[4], u[-1]",
       {"i:44", "i:255", "i:2", "i:255", "nil", "nil"}},
      {"local u = make('i16') u[1] = 40000 u[2] = 0/0 u[3] = 1e300 return u:get()",
       {"i:0", "i:-25536", "i:0", "i:-1"}},
      {"local u = make('i32') u[(1 << 32) | 1] = 5 u[4] = 5 "
       "return u[(1 << 32) | 1], u[-(1 << 32)], u[0x7FFFFFFF], u[math.mininteger], u:get()",
       {"i:3", "i:0", "nil", "i:0", "i:0", "i:3", "i:6", "i:9"}},
      {"local u = make('i64') u[3] = math.mininteger u[2] = -1/0 return u[3], u[2], u[1]",
       {"i:-9223372036854775808", "i:-9223372036854775808", "i:3"}},
      {"local u = make('f64') u[0] = 7 u[1] = -0.0 u[math.maxinteger] = 1 "
       "return u[0], 1 / u[1], u[2], u[math.maxinteger]",
       {"f:7", "f:-inf", "f:6", "nil"}},
      // Values the metamethod converts itself: numeric strings, other types.
      {"local u = make('i32') u[0] = '12' u[1] = {} u[2] = nil return u:get()",
       {"i:12", "i:0", "i:0", "i:9"}},
      // A new shape is seen at once.
      {"local u = make('i32') local a = u[3] u:mutate('u8') return a, u[3], u[12], #u",
       {"i:9", "i:0", "i:9", "i:16"}},
      // Replaced metamethods are called, errors and all.
      {"local u = make('u8') USERDATA.__index = function(_, k) return k * 2 end "
       "return u[5], u[0]",
       {"i:10", "i:0"}},
      {"local u = make('u8') USERDATA.__newindex = function() error('no writes') end u[0] = 1",
       {"error: test:1: no writes"}},
      // Names: methods (also long ones), component letters, other keys.
      {"local u = make('f64') return u.x, u.y, u.w, u.q, u[''], u.width == USERDATA.width, "
       "u:width(), u:get(1, 1), #u",
       {"f:0", "f:3", "nil", "nil", "nil", "b:true", "i:4", "f:3", "i:4"}},
      {"USERDATA[('m'):rep(50)] = USERDATA.height local u = userdata('u8', 2, 3) "
       "return u:mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm(), u.__index ~= nil",
       {"i:3", "b:true"}},
      {"local u = make('u8') return u:nosuch()",
       {"error: test:1: attempt to call a nil value (method 'nosuch')"}},
      {"local u = make('u8') local function f() return u.y, u.width ~= nil, #u end return f()",
       {"i:3", "b:true", "i:4"}},
      {"local u = make('i16') USERDATA.__index = function(_, k) return k end "
       "USERDATA.__len = function() return 99 end return u.width, u.x, #u",
       {"s:width", "s:x", "i:99"}},
      // A userdata that holds no typed array has no methods and no length.
      {"return foreign.width, foreign.x, foreign[0], #foreign", {"nil", "nil", "nil", "nil"}},
  };
  lua_State *L = cproc->lua_state;
  auto *foreign = static_cast<uint8_t *>(lua_newuserdatauv(L, 64, 0));
  memset(foreign, 0xFF, 64);
  lua_getglobal(L, "USERDATA");
  lua_setmetatable(L, -2);
  lua_setglobal(L, "foreign");
  lua_getglobal(L, "USERDATA");
  lua_getfield(L, -1, "__len");
  lua_getfield(L, -2, "__index");
  lua_getfield(L, -3, "__newindex");
  auto measure = [&](const std::string &code, bool hooked) {
    if (hooked) lua_sethook(L, [](lua_State *, lua_Debug *) {}, LUA_MASKCOUNT, INT_MAX);
    lua_gc(L, LUA_GCSTOP);
    cpu_cycles = 0;
    R r = run(code);
    int used = cpu_cycles;
    lua_gc(L, LUA_GCRESTART);
    lua_sethook(L, nullptr, 0, 0);
    // Each row starts with the runtime's own metamethods.
    lua_pushvalue(L, -3);
    lua_setfield(L, -5, "__len");
    lua_pushvalue(L, -2);
    lua_setfield(L, -5, "__index");
    lua_pushvalue(L, -1);
    lua_setfield(L, -5, "__newindex");
    return std::pair(r, used);
  };
  for (const row &r : rows) {
    std::string code = fill + r.code;
    measure(code, true);  // warm-up: frames for the metamethod calls
    auto fast = measure(code, false);
    auto called = measure(code, true);
    EXPECT_EQ(fast.first, r.expected) << r.code;
    EXPECT_EQ(called.first, r.expected) << r.code;
    EXPECT_EQ(fast.second, called.second) << r.code;
  }
  lua_pop(L, 4);
}

TEST_F(Userdata, ToString) {
  EXPECT_EQ(run("return tostring(vec(1, 2.5))"), R{"s:(1, 2.5)"});
  EXPECT_EQ(run("return tostring(vec(1, 2, 3))"), R{"s:(1, 2, 3)"});
  EXPECT_EQ(run("return tostring(vec(1, 2, 3, 1/3))"), R{"s:(1, 2, 3, 0.33333333333333)"});
  EXPECT_EQ(run("return tostring(vec(1, 2, 3, 4, 5))"), R{"s:(1, 2, 3, 4, 5)"});
  EXPECT_EQ(run("local m = userdata('f64', 3, 4) for i = 0, 11 do m[i] = i end return tostring(m)"),
            R{"s:(0, 1, 2),\n(3, 4, 5),\n(6, 7, 8),\n(9, 10, 11)"});
  EXPECT_EQ(run("return tostring(userdata('u8', 2)):match('^userdata: 0x%x+$') ~= nil"),
            R{"b:true"});
  EXPECT_EQ(run("return tostring(vec(1)):match('^userdata: 0x%x+$') ~= nil"), R{"b:true"});
}

TEST_F(Userdata, WidthHeightAttribs) {
  EXPECT_EQ(run("local u = userdata('u8', 5) return u:width(), u:height()"), (R{"i:5", "nil"}));
  EXPECT_EQ(run("local u = userdata('f64', 5, 3) return u:width(), u:height()"), (R{"i:5", "i:3"}));
  EXPECT_EQ(run("return USERDATA.width(5)"), R{});
}

TEST_F(Userdata, Mutate) {
  EXPECT_EQ(run("local u = userdata('i32', 4, 2) u[0] = 0x04030201 local r = u:mutate('u8') "
                "return r, u:attribs()"),
            (R{"nil", "i:16", "i:2", "s:u8", "i:2"}));
  EXPECT_EQ(run("local u = userdata('i32', 4, 2) u[0] = 0x04030201 u:mutate('u8') "
                "return u:get(0, 0, 4)"),
            (R{"i:1", "i:2", "i:3", "i:4"}));
  EXPECT_EQ(run("return userdata('i32', 4, 2):mutate('f64')"),
            R{"s:can not mutate between integer and float data types"});
  EXPECT_EQ(run("return userdata('u8', 4, 2):mutate('u8', 9, 1)"),
            R{"s:new size is larger than old size"});
  EXPECT_EQ(run("local u = userdata('u8', 4, 2) return u:mutate('u8', 8), u:attribs()"),
            (R{"nil", "i:8", "i:1", "s:u8", "i:1"}));
  EXPECT_EQ(run("local u = userdata('u8', 8) return u:mutate('i16', 2, 2), u:attribs()"),
            (R{"nil", "i:2", "i:2", "s:i16", "i:2"}));
  // A width that comes out 0 would later divide by zero: refused.
  EXPECT_EQ(run("local u = userdata('u8', 1) return u:mutate('i64'), u:attribs()"),
            (R{"s:new size is smaller than one element", "i:1", "i:1", "s:u8", "i:1"}));
  EXPECT_EQ(run("local u = userdata('u8', 4, 2) return u:mutate('u8', 2^32, 2^32)"),
            R{"s:new size is larger than old size"});
  EXPECT_EQ(run("local u = userdata('u8', 4, 2) return u:mutate('u8', 0, -5), u:attribs()"),
            (R{"nil", "i:4", "i:2", "s:u8", "i:2"}))
      << "non-positive sizes keep the row's bytes and the height";
  EXPECT_EQ(run("local u = userdata('u8', 4, 2) return u:mutate('u8', '2'), u:attribs()"),
            (R{"nil", "i:4", "i:1", "s:u8", "i:1"}))
      << "a numeric-string width counts as numeric, its value as 0";
  // A mutated userdata stays a userdata to every reader (its block is larger).
  EXPECT_EQ(run("local u = userdata('u8', 16) u:mutate('u8', 3) u[2] = 5 return u[2], #u, u[3]"),
            (R{"i:5", "i:3", "nil"}));
}

TEST_F(Userdata, Sort) {
  EXPECT_EQ(run("local m = userdata('i32', 3, 3) m:set(0, 0, 3, 30, 300, 1, 10, 100, 2, 20, 200) "
                "m:sort() return m:get(0, 0, 9)"),
            (R{"i:1", "i:10", "i:100", "i:2", "i:20", "i:200", "i:3", "i:30", "i:300"}));
  EXPECT_EQ(run("local m = userdata('i32', 3, 3) m:set(0, 0, 3, 30, 300, 1, 10, 100, 2, 20, 200) "
                "m:sort(2, true) return m:get(0, 0, 9)"),
            (R{"i:3", "i:30", "i:300", "i:2", "i:20", "i:200", "i:1", "i:10", "i:100"}));
  EXPECT_EQ(run("return userdata('i32', 3, 3):sort(3)"), R{});
  EXPECT_EQ(run("return userdata('i32', 3, 3):sort(-1)"), R{});
  EXPECT_EQ(run("local v = userdata('u8', 5, '0509ff0100') v:sort() return v:get()"),
            (R{"i:0", "i:1", "i:5", "i:9", "i:255"}));
  EXPECT_EQ(run("local v = userdata('i16', 3, 'ffff00018000') v:sort() return v:get()"),
            (R{"i:-32768", "i:-1", "i:1"}));
  EXPECT_EQ(run("local n = userdata('u8', 4, '03020100'):sort() return math.type(n), n > 0"),
            (R{"s:integer", "b:true"}));
  // A vector sorts as the host's merge sort would: halves of n / 2 and the
  // rest, ties taken from the left (so 0 and -0 keep their order), the same
  // comparisons counted, whatever the element type or order.
  EXPECT_EQ(run("local v = vec(5, 1, 4, 2, 3) local n = v:sort() return n, v:get()"),
            (R{"i:8", "f:1", "f:2", "f:3", "f:4", "f:5"}));
  EXPECT_EQ(run("local v = userdata('i64', 5) v:set(0, 5, 1, 4, 2, 3) local n = v:sort(0, true) "
                "return n, v:get()"),
            (R{"i:7", "i:5", "i:4", "i:3", "i:2", "i:1"}));
  EXPECT_EQ(run("local a, b = vec(0, -0.0), vec(-0.0, 0) a:sort() b:sort(0, true) "
                "return 1 / a[0], 1 / a[1], 1 / b[0], 1 / b[1]"),
            (R{"f:inf", "f:-inf", "f:-inf", "f:inf"}));
}

TEST_F(Userdata, SortWithNaNKeysIsATotalOrder) {
  EXPECT_EQ(run("local v = vec(3, 0/0, 1, 0/0, 2, -1/0) v:sort() "
                "return v[0], v[1], v[2], v[3], v[4] ~= v[4], v[5] ~= v[5]"),
            (R{"f:-inf", "f:1", "f:2", "f:3", "b:true", "b:true"}));
  // Many NaNs among many numbers: the sort stays within its rows.
  EXPECT_EQ(run("local v = userdata('f64', 5000) for i = 0, 4999 do v[i] = i % 3 == 0 and 0/0 or "
                "(i * 7919) % 5000 end v:sort(0, true) local ok = true "
                "for i = 0, 1666 do ok = ok and v[i] ~= v[i] end "
                "for i = 1668, 4998 do ok = ok and v[i] >= v[i + 1] end return ok"),
            R{"b:true"});
}

TEST_F(Userdata, Convert) {
  EXPECT_EQ(run("local c = userdata('i16', 1, 'ffff'):convert('f64') return c[0], c:attribs()"),
            (R{"f:-1", "i:1", "i:1", "s:f64", "i:1"}));
  EXPECT_EQ(run("local c = userdata('u8', 2, 'ff01'):convert('i16') return c:get()"),
            (R{"i:255", "i:1"}));
  EXPECT_EQ(run("local c = userdata('i16', 2, 'ffff0101'):convert('u8') return c:get()"),
            (R{"i:255", "i:1"}));
  EXPECT_EQ(run("local c = vec(-1.5, 2.9, 300.2):convert('u8') return c:get()"),
            (R{"i:254", "i:2", "i:44"}));
  EXPECT_EQ(run("local c = vec(-1.5, 0/0, 1/0):convert('i64') return c:get()"),
            (R{"i:-2", "i:0", "i:9223372036854775807"}));
  EXPECT_EQ(run("local a = userdata('u8', 4, 2, '0102') local c = a:convert('u8') "
                "c[0] = 9 return a[0], c[0], c:attribs()"),
            (R{"i:1", "i:9", "i:4", "i:2", "s:u8", "i:2"}));
  EXPECT_EQ(run("return userdata('u8', 4096, 4096):convert('f64')"), R{})
      << "a target beyond 16 MiB is refused";
  // Beyond the cost of allocating the result.
  auto convert_charge = [&](const char *to) {
    return charge_of("USERDATA.convert", std::string("userdata('i16', 8), '") + to + "'") -
           charge_of("userdata", std::string("'") + to + "', 8");
  };
  EXPECT_EQ(convert_charge("f64"), 16);
  EXPECT_EQ(convert_charge("i64"), 8);
  EXPECT_EQ(convert_charge("u8"), 4);
  EXPECT_EQ(convert_charge("i16"), 0);
}

TEST_F(Userdata, ConvertToIndexAndPalette) {
  EXPECT_EQ(run("local b = userdata('i32', 300, 1) for i = 0, 299 do b[i] = i * 1000 end "
                "local idx, pal = b:convert('u8', true) "
                "return idx[0], idx[255], idx[256], idx[299], pal[255], #pal, idx:attribs()"),
            (R{"i:0", "i:255", "i:255", "i:255", "i:255000", "i:256", "i:300", "i:1", "s:u8", "i:2"}));
  EXPECT_EQ(run("local b = userdata('i32', 300) local idx, pal = b:convert('u8', true) "
                "return #pal, pal:attribs()"),
            (R{"i:1", "i:1", "i:1", "s:i32", "i:1"}));
  EXPECT_EQ(run("local b = userdata('i32', 3, 2) b:set(0, 0, 7, 5, 7, 7, 9, 5) "
                "local idx, pal = b:convert('u8', true) "
                "return idx:height(), table.concat({idx:get(0, 0, 6)}, ' '), pal:get()"),
            (R{"i:2", "s:0 1 0 0 2 1", "i:7", "i:5", "i:9"}));
  EXPECT_EQ(run("local idx, pal = vec(1.5, -2.5, 1.2):convert('u8', true) "
                "return table.concat({idx:get()}, ' '), pal:get()"),
            (R{"s:0 1 0", "f:1", "f:-2"}));
}

TEST_F(Userdata, ClearAndVec) {
  EXPECT_EQ(run("local u = userdata('u8', 4, 'ffffffff') u:clear() return u:get()"),
            (R{"i:0", "i:0", "i:0", "i:0"}));
  EXPECT_EQ(charge_of("USERDATA.clear", "userdata('i32', 256)"), 16);
  EXPECT_EQ(run("local v = vec(1, '2', {}, 4.5) return v:attribs()"),
            (R{"i:4", "i:1", "s:f64", "i:1"}));
  EXPECT_EQ(run("return vec(1, '2', {}, 4.5):get()"), (R{"f:1", "f:2", "f:0", "f:4.5"}));
  EXPECT_EQ(run("return vec('1', 2)"), R{});
}

TEST_F(Userdata, NotAUserdata) {
  for (const char *m : {"sort", "convert", "clear", "peek", "poke", "width", "height", "attribs",
                        "mutate", "__len", "__tostring", "__index", "__newindex", "get", "set"})
    EXPECT_EQ(run(std::string("return USERDATA.") + m + "({}, 1)"), R{}) << m;
  EXPECT_EQ(run("return USERDATA.width(io or coroutine.create(print))"), R{});
}

TEST_F(Userdata, DuplicateIsAByteCopy) {
  lua_State *L = cproc->lua_state;
  userdata *a = create_userdata(L, "i16", 2, 3, 2, 1, std::string_view("000100020003"));
  ASSERT_NE(a, nullptr);
  userdata *b = push_duplicate_userdata(L, a);
  ASSERT_NE(b, a);
  EXPECT_EQ(memcmp(a, b, sizeof(userdata) + 16), 0);
  EXPECT_EQ(to_userdata(L, -1), b);
  lua_pop(L, 2);
}

TEST_F(Userdata, ForeignUserdataIsNotARecord) {
  lua_State *L = cproc->lua_state;
  auto *p = static_cast<uint8_t *>(lua_newuserdatauv(L, 64, 0));
  memset(p, 0xFF, 64);
  EXPECT_EQ(to_userdata(L, -1), nullptr);
  auto *fake = reinterpret_cast<userdata *>(p);
  *fake = {utype_u8, 1, {0, 0}, 49, 1, 1};
  EXPECT_EQ(to_userdata(L, -1), nullptr) << "more elements than its block holds";
  fake->width = 48;
  EXPECT_EQ(to_userdata(L, -1), fake);
  // Wider elements, more depth, and sides whose product wraps 64 bits.
  struct row { uint8_t utype; uint32_t width, height, depth; bool fits; };
  const row rows[] = {
      {utype_i64, 6, 1, 1, true},   {utype_i64, 7, 1, 1, false}, {utype_i16, 3, 4, 2, true},
      {utype_i16, 5, 5, 1, false},  {utype_u8, 0x80000000u, 0x80000000u, 4, false},
      {utype_f64, 0x80000000u, 0x80000000u, 1, false},
  };
  for (const row &r : rows) {
    *fake = {r.utype, 2, {0, 0}, r.width, r.height, r.depth};
    EXPECT_EQ(to_userdata(L, -1), r.fits ? fake : nullptr) << r.width << "x" << r.height << "x" << r.depth;
  }
  lua_pushlightuserdata(L, p);
  EXPECT_EQ(to_userdata(L, -1), nullptr);
  lua_pop(L, 2);
}

// ud:peek and ud:poke move whole runs of bytes; the result must be that of one
// peek or poke per element, in order: across pages, where the addresses wrap,
// on pages read for the first time, on pages that are partly a window onto a
// userdata, and where the RAM is a window onto the userdata itself. Each case
// runs on a fresh process both ways and compares elements, RAM and pages held.
TEST_F(Userdata, PeekAndPokeMatchOneElementAtATime) {
  struct row { const char *setup, *call, *one_by_one; };
  const row rows[] = {
      {"u = userdata('i32', 64) for i = 0, 63 do u[i] = i * 0x01010101 end",
       "u:poke(0x30010, 3, 40)", "for i = 0, 39 do poke4(0x30010 + 4 * i, u[3 + i]) end"},
      {"u = userdata('i16', 300) for i = 0, 299 do u[i] = i * 997 end",
       "u:poke(0x30FFF)", "for i = 0, 299 do poke2(0x30FFF + 2 * i, u[i]) end"},
      {"u = userdata('u8', 64) for i = 0, 63 do u[i] = i + 1 end",
       "u:poke(0xFFFFF0)", "for i = 0, 63 do poke(0xFFFFF0 + i, u[i]) end"},
      {"u = userdata('i64', 16) for i = 0, 15 do u[i] = -i * 0x100000001 end",
       "u:poke(-24, 2)", "for i = 0, 13 do poke8(-24 + 8 * i, u[2 + i]) end"},
      {"u = userdata('i64', 1024) for i = 0, 1023 do u[i] = i end",
       "u:peek(0x500FF8)", "for i = 0, 1023 do u[i] = peek8(0x500FF8 + 8 * i) end"},
      {"u = userdata('i16', 64) poke2(0xFFFFFE, -3) poke(1, 0x80)",
       "u:peek(0xFFFFFE, 1, 2)", "for i = 0, 1 do u[1 + i] = peek2(0xFFFFFE + 2 * i) end"},
      {"w = userdata('u8', 100) for i = 0, 99 do w[i] = 200 - i end _map_ram(w, 0x60000) "
       "u = userdata('i32', 64)",
       "u:peek(0x60000)", "for i = 0, 63 do u[i] = peek4(0x60000 + 4 * i) end"},
      {"w = userdata('u8', 100) _map_ram(w, 0x60000) u = userdata('u8', 300) "
       "for i = 0, 299 do u[i] = i end",
       "u:poke(0x60000)", "for i = 0, 299 do poke(0x60000 + i, u[i]) end"},
      {"u = userdata('i32', 2048) for i = 0, 2047 do u[i] = i end _map_ram(u, 0x40000)",
       "u:poke(0x40008, 0, 100)", "for i = 0, 99 do poke4(0x40008 + 4 * i, u[i]) end"},
      {"u = userdata('i32', 2048) for i = 0, 2047 do u[i] = i end _map_ram(u, 0x40000)",
       "u:peek(0x40008, 0, 100)", "for i = 0, 99 do u[i] = peek4(0x40008 + 4 * i) end"},
      {"u = userdata('u8', 200) for i = 0, 199 do u[i] = i end _map_ram(u, 0x40000)",
       "u:peek(0x3FFF8, 0, 100)", "for i = 0, 99 do u[i] = peek(0x3FFF8 + i) end"},
  };
  // Elements, then the bytes around the range as the RAM holds them now.
  const std::string show = "local t = {u:get()} for a = -0x40, 0x1FF do "
                           "t[#t + 1] = peek(r + a) end return table.concat(t, ',')";
  for (const row &r : rows) {
    std::string range = std::string("r = tonumber(('") + r.call + "'):match('%((-?[%w]+)')) ";
    process *bulk = new_process("bulk", "/apps/bulk.lua");
    process *model = new_process("model", "/apps/model.lua");
    ASSERT_TRUE(bulk && model);
    run_as(bulk, std::string(r.setup) + " " + range + r.call);
    run_as(model, std::string(r.setup) + " " + range + r.one_by_one);
    EXPECT_EQ(bulk->ram_bytes, model->ram_bytes) << r.call;
    EXPECT_EQ(run_as(bulk, show), run_as(model, show)) << r.call;
  }
}

TEST_F(Userdata, PeekAndPokeGoThroughProcessRam) {
  EXPECT_EQ(run("local u = userdata('i16', 3, '0102fffe0005') u:poke(0x30000) "
                "local v = userdata('i16', 4) v:peek(0x30000, 1) return v:get()"),
            (R{"i:0", "i:258", "i:-2", "i:5"}));
  EXPECT_EQ(run("local u = userdata('u8', 4, '01020304') u:poke(0x30010, 1, 2) "
                "local v = userdata('u8', 4) v:peek(0x30010) return v:get()"),
            (R{"i:2", "i:3", "i:0", "i:0"}));
  EXPECT_EQ(run("local v = userdata('u8', 2) return v:peek(0x30000, 5) == v"), R{"b:true"});
  EXPECT_EQ(run("return vec(1, 2):peek(0)"), R{});
}

}  // namespace
