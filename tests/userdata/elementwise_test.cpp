// Element-wise operations, copy and take: the real span loop against a naive
// model on random operands, and the documented cases through the methods and
// the language's operators, with their charges.
#include "userdata/elementwise.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/userdata/elementwise_reference.h"
#include "tests/values/values_state.h"
#include "userdata/userdata_arith_api.h"

namespace {

using values_test::R;
using Arith = values_test::ValuesState;
namespace ref = elementwise_reference;

const uint8_t types[] = {utype_u8, utype_i16, utype_i32, utype_i64, utype_f64};

// Values that sit on the edges of some rule.
const double f64_edges[] = {NAN, -NAN, INFINITY, -INFINITY, 0.0, -0.0, 1e10, 9007199254740993.0,
                            -1, 2, 0.5, -7, 3, 1.7976931348623157e308, 5e-324};
const int64_t int_edges[] = {0, 1, -1, 2, 7, -7, 8, 31, 32, 63, 64, 255, 256, -32768, 32767,
                             INT32_MIN, INT32_MAX, INT64_MIN, INT64_MAX, 9007199254740993};
const ref::value scalars[] = {{false, 0, NAN},  {false, 0, INFINITY}, {false, 0, -INFINITY},
                              {false, 0, 1e10}, {false, 0, -0.0},     {false, 0, 3.7},
                              {false, 0, -3.7}, {true, 9007199254740993, 0},
                              {true, 2, 0},     {true, 0, 0},         {true, -1, 0},
                              {true, 300, 0},   {true, 65536, 0},     {true, INT64_MIN, 0},
                              {true, 40, 0},    {true, 5, 0}};

struct random_case {
  std::mt19937_64 rng;
  int64_t pick(int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
  }
  void fill(userdata *ud) {
    for (int64_t i = 0; i < ud_count(ud); i++) {
      if ((ud->utype & utype_mask) == utype_f64)
        ud_set_f64(ud, i, pick(0, 2) ? std::ldexp(static_cast<double>(pick(-1000, 1000)), static_cast<int>(pick(-8, 4)))
                                     : f64_edges[pick(0, std::size(f64_edges) - 1)]);
      else
        ud_set_int(ud, i, pick(0, 2) ? static_cast<int64_t>(rng()) >> pick(0, 63)
                                     : int_edges[pick(0, std::size(int_edges) - 1)]);
    }
  }
  // One call on fresh operands; aliasing between the first operand, the
  // second and the destination chosen at random.
  ref::call_shape make(ref::records &r) {
    uint8_t type = types[pick(0, 4)];
    ud_op op;
    do op = static_cast<ud_op>(pick(0, ud_op_count - 1));
    while (!ud_op_accepts(op, type));
    // Now and then wider than a block of the vectorised remainder.
    auto w = static_cast<uint32_t>(pick(0, 4) ? pick(1, 24) : pick(60, 150)), h = static_cast<uint32_t>(pick(1, 3));
    ref::call_shape k{op, r.add(type, w, h), -1, -1, false, scalars[pick(0, std::size(scalars) - 1)], {}};
    switch (pick(0, 3)) {
      case 0: k.b = k.a; break;
      case 1: k.b = r.add(type, w, h); break;
      case 2: k.b = r.add(type, static_cast<uint32_t>(pick(1, 40)), 1); break;
      default: k.scalar_left = pick(0, 1); break;
    }
    switch (pick(0, 2)) {
      case 0: k.dest = k.a; break;
      case 1: k.dest = k.b >= 0 && r.at(k.b)->width == w && r.at(k.b)->height == h ? k.b : k.a; break;
      default: k.dest = r.add(type, w, h); break;
    }
    for (size_t i = 0; i < r.blocks.size(); i++) fill(r.at(static_cast<int>(i)));
    k.s.off = pick(-6, 6 + w), k.s.b_off = pick(-6, 6 + w);
    k.s.span = pick(0, 9) ? pick(-2, pick(0, 3) ? 30 : 200) : 0x1000000;
    k.s.stride = pick(-4, 12), k.s.b_stride = pick(-4, 12);
    k.s.spans = pick(0, 9) ? pick(-1, 8) : 20000;
    if (k.s.spans > 8 && k.s.span > 0) k.s.stride = k.s.b_stride = 0;  // many spans over the same elements
    return k;
  }
};

// Runs one call on the real kernels and on the model; true when every record
// and both counts agree.
::testing::AssertionResult matches_model(ref::records &real, const ref::call_shape &k) {
  ref::records model = real;
  ud_elementwise_call c = ref::run_real(real, k);
  ref::reference_result m = ref::run_reference(model, k);
  for (size_t i = 0; i < real.blocks.size(); i++)
    if (!ref::same_elements(real.at(static_cast<int>(i)), model.at(static_cast<int>(i))))
      return ::testing::AssertionFailure() << "op " << int(k.op) << " type " << int(real.at(0)->utype)
                                           << " record " << i;
  if (c.total != m.total || c.processed != m.processed)
    return ::testing::AssertionFailure() << "counts " << c.total << "/" << c.processed << " for "
                                         << m.total << "/" << m.processed;
  return ::testing::AssertionSuccess();
}

TEST(Elementwise, MatchesTheElementByElementModel) {
  random_case g{std::mt19937_64(19)};
  for (int n = 0; n < 20000; n++) {
    ref::records real;
    ref::call_shape k = g.make(real);
    ASSERT_TRUE(matches_model(real, k)) << "case " << n;
  }
}

// A destination a few elements before or after the second operand in the same
// record, around every width the kernels read ahead by (vectors, blocks of
// remainders): the compiler's overlap checks and the blocks' own.
TEST(Elementwise, NearOverlapsMatchTheModel) {
  random_case g{std::mt19937_64(23)};
  const int64_t gaps[] = {-65, -64, -63, -33, -32, -31, -3, -2, -1, 0, 1, 2, 3, 31, 32, 33, 63, 64, 65};
  for (uint8_t type : types)
    for (int op = 0; op < ud_op_count; op++) {
      if (!ud_op_accepts(static_cast<ud_op>(op), type)) continue;
      for (int64_t gap : gaps)
        for (bool a_is_dest : {false, true}) {
          ref::records real;
          int other = real.add(type, 300, 1), shared = real.add(type, 300, 1);
          ref::call_shape k{static_cast<ud_op>(op), a_is_dest ? shared : other, shared, shared, false,
                            scalars[0], {}};
          g.fill(real.at(other)), g.fill(real.at(shared));
          k.s.off = 100, k.s.b_off = 100 - gap, k.s.span = 131, k.s.spans = 1;
          ASSERT_TRUE(matches_model(real, k)) << "gap " << gap << (a_is_dest ? " in place" : "");
        }
    }
}

// f64 remainders over every class of double and around exact multiples, where
// a rounded quotient lands on the next integer: bit for bit the library's.
TEST(Elementwise, F64ModMatchesTheLibraryRemainder) {
  std::mt19937_64 rng(8101);
  auto any_double = [&] {
    uint64_t bits = rng();
    double v;
    memcpy(&v, &bits, 8);
    return v;
  };
  auto some_double = [&] {  // a nearer exponent range, both signs
    return std::ldexp(std::uniform_real_distribution<double>(-1, 1)(rng),
                      static_cast<int>(rng() % 120) - 60);
  };
  const int n = 1 << 16;
  ref::records r;
  int a = r.add(utype_f64, n, 1), b = r.add(utype_f64, n, 1);
  std::vector<double> xs(n);
  for (int i = 0; i < n; i++) {
    double x, y = i % 3 ? some_double() : any_double();
    switch (i % 5) {
      case 0: x = any_double(); break;
      case 1: x = some_double(); break;
      case 2: {  // next to a multiple of y, the quotient up to 2^53
        double q = std::ldexp(static_cast<double>(rng() % (uint64_t{1} << 52)), -static_cast<int>(rng() % 52));
        x = std::nextafter(std::trunc(q) * y, rng() % 2 ? INFINITY : -INFINITY);
        break;
      }
      case 3: x = std::trunc(some_double() * 1e6) * y; break;
      default: x = f64_edges[rng() % std::size(f64_edges)], y = f64_edges[rng() % std::size(f64_edges)]; break;
    }
    ud_set_f64(r.at(a), i, xs[static_cast<size_t>(i)] = x);
    ud_set_f64(r.at(b), i, y);
  }
  ref::records model = r;
  ref::run_real(r, {ud_mod, a, b, a, false, {}, {}});
  ref::run_reference(model, {ud_mod, a, b, a, false, {}, {}});
  for (int i = 0; i < n; i++) {
    double got = ud_get_number(r.at(a), i), want = ud_get_number(model.at(a), i);
    if (!(std::isnan(got) && std::isnan(want))) {
      ASSERT_EQ(memcmp(&got, &want, 8), 0)
          << std::hexfloat << xs[static_cast<size_t>(i)] << " % " << ud_get_number(r.at(b), i) << ": " << got
          << ", not " << want;
    }
  }
}

// Narrow integer powers against pow on doubles: every u8 pair, and i16 and i32
// bases and exponents around the edges of the 32-bit range.
TEST(Elementwise, NarrowPowersMatchPowOnDoubles) {
  std::mt19937_64 rng(4101);
  auto around = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
  for (uint8_t type : {utype_u8, utype_i16, utype_i32}) {
    const int n = 1 << 16;
    ref::records r;
    int a = r.add(type, n, 1), b = r.add(type, n, 1);
    for (int i = 0; i < n; i++) {
      int64_t x = i & 0xFF, y = i >> 8;
      if (type != utype_u8) {
        switch (i % 4) {
          case 0: x = around(-300, 300), y = around(-40, 40); break;
          case 1: x = around(-3, 3), y = around(INT32_MIN, INT32_MAX); break;
          case 2: x = int_edges[i % std::size(int_edges)], y = around(-3, 34); break;
          default: x = around(INT32_MIN, INT32_MAX), y = around(0, 3); break;
        }
      }
      ud_set_int(r.at(a), i, x);
      ud_set_int(r.at(b), i, y);
    }
    ref::records model = r;
    ref::run_real(r, {ud_pow, a, b, a, false, {}, {}});
    ref::run_reference(model, {ud_pow, a, b, a, false, {}, {}});
    for (int i = 0; i < n; i++)
      ASSERT_EQ(ud_get_int(r.at(a), i), ud_get_int(model.at(a), i))
          << "type " << int(type) << ": " << ud_get_int(r.at(b), i) << " as the exponent, element " << i;
  }
}

TEST(Elementwise, ScalarConversion) {
  struct row { ref::value v; uint8_t type; int64_t want; };
  const row rows[] = {
      {{false, 0, 1e10}, utype_i32, INT32_MIN}, {{false, 0, NAN}, utype_i64, INT64_MIN},
      {{false, 0, -3.9}, utype_i16, -3},        {{true, 300, 0}, utype_u8, 300},
      {{true, 9007199254740993, 0}, utype_i64, 9007199254740993},
      {{true, int64_t{1} << 40, 0}, utype_i32, INT32_MIN},
      {{false, 0, 9.3e18}, utype_i64, INT64_MIN},
  };
  for (const row &r : rows) {
    ud_scalar s = r.v.integer ? ud_scalar_from_integer(r.v.i, r.type) : ud_scalar_from_number(r.v.f, r.type);
    EXPECT_EQ(s.i, r.want) << r.v.i << " " << r.v.f;
  }
}

// The documented cases, through methods and operators. `show` lists the
// elements of the result.
const char *const show_fn =
    "function show(u) if not u then return 'none' end local t = {} "
    "for i = 0, #u - 1 do t[#t + 1] = tostring(u[i]) end return table.concat(t, ' ') end ";

TEST_F(Arith, DocumentedCases) {
  struct row { const char *code; const char *want; };
  const row rows[] = {
      {"a = userdata('i32', 3, '000000010000000200000003') b = a + a return show(b), show(a)", "2 4 6|1 2 3"},
      {"a = userdata('i32', 3, '000000010000000200000003') return show(a:add(a, true)), show(a)", "2 4 6|2 4 6"},
      {"a = userdata('i32', 3, '000000010000000200000003') c = userdata('i32', 3) return show(a:add(1, c)), show(c)", "2 3 4|2 3 4"},
      {"a = userdata('i16', 3, '000100020003') return show(3 - a), show(a - 3), show(2 * a), show(a >> 1)", "2 1 0|-2 -1 0|2 4 6|0 1 1"},
      {"a = userdata('i16', 2, '00010002') r = a.sub(3, a, true) return tostring(r == a), show(a)", "true|2 1"},
      {"a = userdata('u8', 2, '0102') return show(a:add(nil)), show(a:add()), show(a:div()), show(a:band())", "none|none|255 255|0 0"},
      {"a = userdata('i16', 2, 'fffe0003') b = userdata('i16', 2, 'fff90004') return show(a:abs()), show(a:abs(b))", "2 3|7 4"},
      {"return show(userdata('i32', 2):add(userdata('i16', 2))), show(userdata('f64', 2):band(1))", "none|none"},
      {"a = userdata('u8', 1, 'c8') return show(a + 100), show(userdata('u8', 1, '05') - 10)", "44|251"},
      {"a = userdata('u8', 1, '07') return show(a / 0), show(a % 0), show(userdata('u8', 2, '0310') ^ 2)", "255|0|9 0"},
      {"a = userdata('i16', 4, '8000' .. '0005' .. 'fffb' .. '0000') return show(a:div(-1, nil, 0, 0, 1)), show(a / 0)", "-32768 5 -5 0|-32767 32767 -32767 32767"},
      {"a = userdata('i16', 1, 'fff9') return show(a // 2), show(a % 2)", "-3|1"},
      {"a = vec(1, -1, 0/0) return show(a / 0)", "1.7976931348623e+308 -1.7976931348623e+308 1.7976931348623e+308"},
      {"return show(vec(-7) // 2), show(vec(-0.5) % 3), show(vec(5) % -3)", "-4.0|2.5|-1.0"},
      {"a = userdata('i64', 2, '0000000000000007fffffffffffffff9') return show(a / 0)", "9223372036854775807 -9223372036854775807"},
      {"return show(userdata('i32', 1):sgn()), show(vec(-0.0):sgn()), show(userdata('i32', 1):sgn0()), show(vec(0/0):sgn()), show(vec(0/0):sgn0())", "1|1.0|0|-1.0|-1.0"},
      {"return show(userdata('i32', 1, '00000005'):add(1e10)), show(userdata('u8', 2, '0710'):div(256))", "-2147483643|255 255"},
      {"a = userdata('u8', 4, '01010101') return show(a:add(a, true, 0, 1))", "1 2 3 4"},
      {"a = userdata('u8', 6) return show(a:add(1, true, 0, 0, 4, 1, 0, 3))", "3 3 3 3 0 0"},
      {"a = vec(1, 2, 3) return show(a:copy(vec(9, 8))), show(a:copy(7)), show(a:copy()), show(vec(0, 0, 0, 0, 0, 0):copy(7, true, 0, 2, 3))", "9.0 8.0 3.0|7.0 7.0 7.0|1.0 2.0 3.0|0.0 0.0 7.0 7.0 7.0 0.0"},
      {"a = userdata('u8', 4, '01020304') b = userdata('u8', 4, '01020304') return show(a:copy(a, true, 0, 1)), show(b:copy(b, true, 1, 0))", "1 1 1 1|2 3 4 4"},
      {"p = userdata('u8', 3, '0a141e') return show(p:take(userdata('i32', 4, '00000002000000000000000500000001')))", "30 10 0 20"},
      {"p = userdata('u8', 3, '0a141e') t = p:take(userdata('i32', 2, '0000000000000001'), nil, 0, 0, 2) return show(t), t:height()", "10 20 20 30|2"},
      {"p = userdata('u8', 3, '0a141e') return show(p:take(userdata('i32', 1, '00000002'), nil, 0, 0, 2))", "30 0"},
      {"a = userdata('i32', 3, '0000000a000000140000001e') i = userdata('i32', 2, '0000000200000000') return show(a:copy(i))", "30 10"},
      {"a = userdata('u8', 8, '0102030405060708') i = userdata('i32', 6, '000000000000000100000002000000030000000400000005') "
       "d = userdata('u8', 8) a:take(i, d, 1, 4, 1, 2, 1, 3) return show(d)", "0 0 0 0 2 4 0 0"},
      {"p = userdata('u8', 3, '0a141e') return show(p:take(userdata('i32', 2), nil, 0, 0, 1, 0)), show(p:take(userdata('i32', 2), userdata('i16', 2)))", "0 0|none"},
      {"return show(userdata('u8', 2):add(1, userdata('i16', 2))), show(userdata('f64', 2):take(userdata('i32', 4), nil, 0, 0, 2^20))", "none|none"},
  };
  run(show_fn);
  for (const row &r : rows) {
    R got = run(std::string("local x = {(function() ") + r.code + " end)()} return table.concat(x, '|')");
    EXPECT_EQ(got, R{std::string("s:") + r.want}) << r.code;
  }
}

// Each call pays its spans and elements by the operation's divisor, and its own
// reading of arguments and operands (elementwise_call_cycles) on top.
TEST_F(Arith, Charges) {
  struct row { const char *fn, *args; int64_t want; };
  const row rows[] = {
      {"USERDATA.add", "userdata('u8', 8, 3), 1, true, 0, 0, 4, 1, 8, 3", 1},   // 3/4 + 12/24 = 0
      {"USERDATA.add", "userdata('u8', 8, 3), 1, true, 0, 0, 4, 1, 8, 5", 1},   // 5/4 + 12/24
      {"USERDATA.add", "userdata('u8', 8, 3), 1, true, 0, 0, 0, 1, 1, 8", 2},   // a span of 0
      {"USERDATA.add", "userdata('u8', 240), 1, true", 10},
      {"USERDATA.mul", "userdata('f64', 240), 1, true", 30},
      {"USERDATA.div", "userdata('i64', 240), 1, true", 120},
      {"USERDATA.add", "userdata('u8', 10), 1, true, 0, 12", 1},                // count -2
      {"USERDATA.add", "userdata('u8', 48), 1, true, 0, 0, 48, 1, 96, 4", 2},   // 4/4 + (48 - 48)/24, not less than the 48 written
      {"USERDATA.add", "userdata('u8', 8), 1, true, 0, 0, 1, 1, 1, -8", 0},     // no spans: a negative charge
      {"USERDATA.take", "userdata('u8', 3), userdata('i32', 4, '00000002000000000000000500000001'), userdata('u8', 4)", 2},
      {"USERDATA.take", "userdata('u8', 3), userdata('i32', 4), true, 0, 0, 1, -1", 1},
      {"USERDATA.copy", "userdata('f64', 240), 1, true", 20},
      // Remainders of quotients past 2^52: three cycles a step of 64 bits of
      // the exponent gap (32 here) and one for the first, on top.
      {"USERDATA.mod", "vec(1.7976931348623157e308, 1.7976931348623157e308, 1.7976931348623157e308, "
                       "1.7976931348623157e308), 1.2345678901234567e-310, true", 1 + 4 * 33 * 3},
      {"USERDATA.mod", "vec(1e300, 7, 1e300, 7), 3, true", 1 + 2 * 2 * 3},  // 3's significand is 3 x 2^51: one shift ends it
      {"USERDATA.mod", "vec(1e15, 7, -5, 7), 3, true", 1},
  };
  for (const row &r : rows)
    EXPECT_EQ(charge_of(r.fn, r.args), r.want + elementwise_call_cycles) << r.fn << "(" << r.args << ")";
  // A new result adds its element count / 128, the allocator's own charge and
  // the making of a userdata.
  EXPECT_EQ(charge_of("USERDATA.add", "userdata('u8', 1024), 1") - charge_of("USERDATA.add", "userdata('u8', 1024), 1, true"),
            1024 / 128 + 1024 / 64 + 4 + new_userdata_cycles);
  EXPECT_EQ(charge_of("USERDATA.copy", "userdata('f64', 128)") - charge_of("USERDATA.copy", "userdata('f64', 128), nil, true"),
            128 / 128 + 1024 / 64 + 4 + new_userdata_cycles);
  // take makes its result zero-filled, through the constructor.
  EXPECT_GE(charge_of("USERDATA.take", "userdata('u8', 8), userdata('i32', 8)") -
                charge_of("USERDATA.take", "userdata('u8', 8), userdata('i32', 8), userdata('u8', 8)"),
            new_userdata_cycles);
}

// A script cannot buy unbounded host work with one call: many spans over the
// same elements are charged as they go and stop at the cpu limit.
TEST_F(Arith, LongCallsStopAtTheCpuLimit) {
  cpu_cycles_max = 1000;
  const char *const calls[] = {
      "USERDATA.add, userdata('u8', 1 << 20), 1, true, 0, 0, 1 << 20, 1, 0, 1 << 30",
      "USERDATA.take, userdata('u8', 1 << 20), userdata('i32', 1 << 18), true, 0, 0, 1 << 20, 1, 0",
      "USERDATA.matmul, userdata('f64', 1024, 1024), userdata('f64', 1024, 1024)",
  };
  for (const char *call : calls) {
    cpu_cycles = 0;
    EXPECT_EQ(run(std::string("return pcall(") + call + ")"), (R{"b:false", std::string("s:") + cpu_limit_message}))
        << call;
  }
}

}  // namespace
