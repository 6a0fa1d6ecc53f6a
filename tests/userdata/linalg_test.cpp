// Vectors and matrices: the documented cases through the methods, refusals,
// and in-place products reading the values from before the call.
#include "userdata/linalg.h"

#include <gtest/gtest.h>

#include "tests/values/values_state.h"
#include "userdata/userdata_arith_api.h"

namespace {

using values_test::R;
using Linalg = values_test::ValuesState;

TEST_F(Linalg, DocumentedCases) {
  struct row { const char *code; R want; };
  const row rows[] = {
      {"return vec(3, 4):magnitude(), vec(1, 2, 3):dot(vec(4, 5, 6)), vec(0, 0):distance(vec(3, 4))",
       {"f:5", "f:32", "f:5"}},
      {"local b = vec(0, 1, 0) local c = vec(1, 0, 0):cross(b) return tostring(c), c == b, tostring(b)",
       {"s:(0, 0, 1)", "b:false", "s:(0, 1, 0)"}},
      {"local m = userdata('f64', 3, 2, '1,2,3,4,5,6'):matmul(userdata('f64', 2, 3, '1,2,3,4,5,6')) "
       "return m:width(), m:height(), m[0], m[1], m[2], m[3]",
       {"i:2", "i:2", "f:22", "f:28", "f:49", "f:64"}},
      {"local a = userdata('f64', 2, 2, '1,2,3,4') local r = a:matmul(a, true) return r == a, a[0], a[1], a[2], a[3]",
       {"b:true", "f:7", "f:10", "f:15", "f:22"}},
      {"local m = userdata('f64', 3, 4, '1,0,0,0,1,0,0,0,1,10,20,30') return tostring(vec(1, 2, 3):matmul3d(m))",
       {"s:(11, 22, 33)"}},
      {"local m = userdata('f64', 3, 4, '1,0,0,0,1,0,0,0,1,10,20,30') "
       "return tostring(userdata('f64', 3, 4, '1,1,1,2,2,2,3,3,3,4,4,4'):matmul3d(m))",
       {"s:(1, 1, 1),\n(2, 2, 2),\n(3, 3, 3),\n(14, 24, 34)"}},
      {"local m = userdata('f64', 2, 3, '0,1,1,0,5,7') return tostring(vec(1, 2):matmul2d(m))", {"s:(7, 8)"}},
      {"local t = userdata('u8', 3, 2, '010203040506'):transpose() return t:width(), t:height(), t:get(0, 0, 6)",
       {"i:2", "i:3", "i:1", "i:4", "i:2", "i:5", "i:3", "i:6"}},
      {"local a = userdata('u8', 3, 2, '010203040506') return a:transpose(true) == a, a:get(0, 0, 6)",
       {"b:true", "i:1", "i:4", "i:3", "i:2", "i:5", "i:6"}},
      {"local a = vec(0, 0, 0, 0, 8) return a:lerp() == a, a:get(0, 5)", {"b:true", "f:0", "f:2", "f:4", "f:6", "f:8"}},
      {"local a = userdata('i32', 3, 3, '000000000000000000000009' .. '000000030000000000000001' .. 'fffffff60000000000000000') "
       "a:lerp() return a:get(0, 0, 9)",
       {"i:0", "i:4", "i:9", "i:3", "i:2", "i:1", "i:-10", "i:-5", "i:0"}},
      {"local a = userdata('u8', 3, '0a0000') a:lerp(0, 2) a:lerp(0, 2) return a:get(0, 3)", {"i:10", "i:5", "i:0"}},
      {"local c = userdata('i16', 3, 4, '000100020003000400050006'):column(0) return c:width(), c:height(), c:get(0, 0, 4)",
       {"i:1", "i:4", "i:1", "i:4", "i:0", "i:0"}},
      {"local r = userdata('i16', 3, 4, '000100020003000400050006'):row(1) return r:width(), r:height(), r:get(0, 0, 3)",
       {"i:3", "i:1", "i:4", "i:5", "i:6"}},
  };
  for (const row &r : rows) EXPECT_EQ(run(r.code), r.want) << r.code;
}

// Calls that give no result: other element types, shapes and destinations,
// arguments out of range, a result past the size limit.
TEST_F(Linalg, Refusals) {
  const char *const calls[] = {
      "userdata('f64', 3, 4):row(4)", "userdata('f64', 3, 4):column(3)", "userdata('f64', 3, 4):row()",
      "vec(1, 2):cross(vec(1, 2, 3))", "userdata('i32', 3):dot(vec(1))",
      "vec(1, 2, 3):cross(vec(1, 2, 3), userdata('i32', 3))",
      "userdata('f64', 3, 2):matmul(userdata('f64', 2, 2))",
      "userdata('f64', 2, 2):matmul(userdata('f64', 2, 2), userdata('f64', 3, 2))",
      "userdata('i64', 2, 2):matmul(userdata('i64', 2, 2))",
      "vec(1, 2, 3):matmul3d(userdata('f64', 3, 3))", "userdata('f64', 3, 2):matmul3d(userdata('f64', 3, 4))",
      "userdata('f64', 3, 4):matmul3d(userdata('f64', 3, 4), vec(1, 2, 3))",
      "vec(1, 2):matmul2d(userdata('f64', 2, 4))", "userdata('u8', 3):transpose(userdata('i16', 3))",
      "vec(1, 2):lerp(-1)", "vec(1, 2):lerp(0, 2)", "vec(1, 2):lerp(0, 1, 1, 2^62, 2^62)",
      "userdata('f64', 1, 2048):matmul(userdata('f64', 2048, 1))",
  };
  for (const char *call : calls) EXPECT_EQ(run(std::string("return select('#', ") + call + ")"), R{"i:0"}) << call;
}

TEST_F(Linalg, InPlaceProductsReadTheValuesFromBeforeTheCall) {
  // m as its own destination: each element is a sum of products of the old m.
  EXPECT_EQ(run("local m = userdata('f64', 3, 4, '2,0,0,0,2,0,0,0,2,1,1,1') "
                "userdata('f64', 3, 4, '1,1,1,1,1,1,1,1,1,1,1,1'):matmul3d(m, m) return m[0], m[3], m[9]"),
            (R{"f:2", "f:2", "f:3"}));
  EXPECT_EQ(run("local a = userdata('f64', 2, 2, '1,2,3,4') local b = userdata('f64', 2, 2, '0,1,1,0') "
                "a:matmul(b, b) return b[0], b[1], b[2], b[3]"),
            (R{"f:2", "f:1", "f:4", "f:3"}));
}

// Larger than a tile: the in-place square walk agrees with the copying one,
// and elements beside the square stay.
TEST_F(Linalg, TransposeInPlaceMatchesTheCopy) {
  EXPECT_EQ(run("local a = userdata('i32', 70, 50) for i = 0, #a - 1 do a[i] = i end "
                "local t = a:transpose() a:transpose(true) local bad = 0 "
                "for r = 0, 49 do for c = 0, 69 do "
                "  local want = c < 50 and t[r * 50 + c] or r * 70 + c "
                "  if a[r * 70 + c] ~= want or t[r * 50 + (c % 50)] ~= (c % 50) * 70 + r then bad = bad + 1 end "
                "end end return t:width(), t:height(), bad"),
            (R{"i:50", "i:70", "i:0"}));
}

// The charges by element, and for the sums taken in order (each a chain of
// additions) their steps on top.
TEST_F(Linalg, Charges) {
  struct row { const char *fn, *args; int64_t want; };
  constexpr int64_t steps = sum_steps_per_cycle;
  const row rows[] = {
      {"USERDATA.magnitude", "userdata('f64', 40)", 40 / 8 + root_call_cycles + 40 / steps},
      {"USERDATA.distance", "userdata('f64', 40), userdata('f64', 16)", 16 / 8 + root_call_cycles + 16 / steps},
      {"USERDATA.dot", "userdata('f64', 40), userdata('f64', 40)", 6 + 40 / steps},
      {"USERDATA.cross", "vec(1, 2, 3), vec(1, 2, 3), true", 2},
      {"USERDATA.matmul", "userdata('f64', 8, 4), userdata('f64', 16, 8), userdata('f64', 16, 4)",
       64 + 4 * 8 / steps},
      {"USERDATA.matmul", "userdata('f64', 1, 64), userdata('f64', 1, 1), userdata('f64', 1, 64)",
       64 / 8 + 64 / steps},  // 64 sums of one step each
      {"USERDATA.matmul", "userdata('f64', 4, 4), userdata('f64', 4, 4), true",
       8 + 4 * 4 / steps + 1},  // and the scratch copy of a
      {"USERDATA.matmul3d", "vec(1, 2, 3), userdata('f64', 3, 4), vec(0, 0, 0)", 1},
      {"USERDATA.matmul3d", "vec(1, 2, 3), userdata('f64', 3, 4), true", 2},
      {"USERDATA.matmul3d", "userdata('f64', 3, 4), userdata('f64', 3, 4), userdata('f64', 3, 4)", 4},
      {"USERDATA.matmul2d", "userdata('f64', 2, 3), userdata('f64', 2, 3), userdata('f64', 2, 3)", 2},
  };
  for (const row &r : rows) EXPECT_EQ(charge_of(r.fn, r.args), r.want) << r.fn << "(" << r.args << ")";
}

// A call that makes its result pays for making a userdata beyond what the same
// call into a given destination pays.
TEST_F(Linalg, NewResultsPayForTheirUserdata) {
  struct row { const char *fn, *made, *given; };
  const row rows[] = {
      {"USERDATA.cross", "vec(1, 2, 3), vec(3, 2, 1)", "vec(1, 2, 3), vec(3, 2, 1), vec(0, 0, 0)"},
      {"USERDATA.matmul", "userdata('f64', 4, 4), userdata('f64', 4, 4)",
       "userdata('f64', 4, 4), userdata('f64', 4, 4), userdata('f64', 4, 4)"},
      {"USERDATA.matmul3d", "vec(1, 2, 3), userdata('f64', 3, 4)",
       "vec(1, 2, 3), userdata('f64', 3, 4), vec(0, 0, 0)"},
      {"USERDATA.matmul2d", "userdata('f64', 2, 3), userdata('f64', 2, 3)",
       "userdata('f64', 2, 3), userdata('f64', 2, 3), userdata('f64', 2, 3)"},
      {"USERDATA.transpose", "userdata('u8', 4, 4)", "userdata('u8', 4, 4), userdata('u8', 4, 4)"},
  };
  for (const row &r : rows)
    EXPECT_GE(charge_of(r.fn, r.made) - charge_of(r.fn, r.given), new_userdata_cycles) << r.fn;
  // row and column always make one: beyond their elements' charge.
  EXPECT_GE(charge_of("USERDATA.row", "userdata('u8', 4, 4), 1"), new_userdata_cycles + 4 / 4);
  EXPECT_GE(charge_of("USERDATA.column", "userdata('u8', 4, 4), 1"), new_userdata_cycles + 4 / 2);
}

}  // namespace
