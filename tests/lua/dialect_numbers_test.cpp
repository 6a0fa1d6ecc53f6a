// Number syntax of the dialect: binary numerals in source and in every string
// to number conversion, beside the published decimal and hexadecimal forms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "chunk_runner.h"

using namespace lua_harness;

namespace {

// What lua_stringtonumber (the converter behind tonumber, tonum and every
// coercion) makes of a text: "none", or the tagged number.
std::string converted(const std::string &text) {
  state_owner S = new_state();
  lua_State *L = S.get();
  if (lua_stringtonumber(L, text.c_str()) != text.size() + 1) return "none";
  return tagged(L, -1);
}

std::string int_tag(int64_t v) { return "i:" + std::to_string(v); }

std::string float_tag(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "f:%.17g", v);
  return buf;
}

// Expected values made independently of the converter, with Python's
// int(digits, 2) reduced to a signed 64-bit integer.
struct binary_int {
  const char *text;
  int64_t value;
};
const std::vector<binary_int> binary_ints = {
    {"0b1", INT64_C(1)},
    {"0b10", INT64_C(2)},
    {"0b110", INT64_C(6)},
    {"0b1110000", INT64_C(112)},
    {"0b11100110", INT64_C(230)},
    {"0b101001100111011", INT64_C(21307)},
    {"0b1000110101101111", INT64_C(36207)},
    {"0b1100110001111000101101110100010", INT64_C(1715231650)},
    {"0b10101100101101110101011011010101", INT64_C(2897696469)},
    {"0b101110101000000001010011010011100", INT64_C(6257944220)},
    {"0b1110101000110001101010101101001111101111010010100111", INT64_C(4119984645010599)},
    {"0b11000001011000011100001100100110011011011000111100111", INT64_C(6804020162048487)},
    {"0b10010001111000100110011100001111110111010001101001011101000100",
     INT64_C(2628019449516955460)},
    {"0b101000101101011011111111010111100011101101000010001100000010010",
     INT64_C(5866923329673304082)},
    {"0b1100100100100110100111110101010100000000101110001111001111001001",
     INT64_C(-3952296435537873975)},
    {"0b11100010000101000010001001011110011011011000111111101100111010000",
     INT64_C(-4312121065286411824)},
    {"0b1101010100000011000000101110000000110001111111000010101011100010000001",
     INT64_C(4665931577766361217)},
    {"0b1110110011110101010011001000010011000001011101111001011000000010000101110110011001"
     "100101010000000011",
     INT64_C(1691488831890936835)},
    {"0b0", INT64_C(0)},
    {"0b00000", INT64_C(0)},
    {"0b00000000000000000000000000000000000000000000000000000000000000000000000000000000101",
     INT64_C(5)},
    {"0b1111111111111111111111111111111111111111111111111111111111111111", INT64_C(-1)},
    {"0b11111111111111111111111111111111111111111111111111111111111111111", INT64_C(-1)},
    {"0b1000000000000000000000000000000000000000000000000000000000000000", INT64_MIN},
    {"0b10000000000000000000000000000000000000000000000000000000000000000", INT64_C(0)},
};

// Python: float(Fraction(int(a + b, 2), 2 ** len(b))) for "0b" a "." b.
struct binary_float {
  const char *text;
  double value;
};
const std::vector<binary_float> binary_floats = {
    {"0b001.00", 1.0},
    {"0b0.00010", 0.0625},
    {"0b0111000000.1111011010", 448.962890625},
    {"0b10011101011101111010.010010100000001110111010000101010", 644986.2891193677},
    {"0b.01110011", 0.44921875},
    {"0b0.1", 0.5},
    {"0b011101001100010001111111101101.11001101000101111010", 489758701.80114174},
};

TEST(BinaryNumerals, IntegerStringsMatchAnIndependentReading) {
  for (const binary_int &b : binary_ints) {
    EXPECT_EQ(converted(b.text), int_tag(b.value)) << b.text;
    std::string upper = b.text;
    upper[1] = 'B';
    EXPECT_EQ(converted(upper), int_tag(b.value)) << upper;
    // The sign negates modulo 2^64.
    EXPECT_EQ(converted(std::string("-") + b.text),
              int_tag(static_cast<int64_t>(0 - static_cast<uint64_t>(b.value))))
        << b.text;
  }
}

TEST(BinaryNumerals, IntegerLiteralsInSourceMatchAnIndependentReading) {
  for (const binary_int &b : binary_ints) {
    chunk_run r = run_fresh(std::string("return ") + b.text);
    ASSERT_EQ(r.status, LUA_OK) << b.text << ": " << r.results[0];
    EXPECT_EQ(r.results, std::vector<std::string>{int_tag(b.value)}) << b.text;
  }
}

TEST(BinaryNumerals, FloatsMatchAnIndependentReading) {
  for (const binary_float &b : binary_floats) {
    EXPECT_EQ(converted(b.text), float_tag(b.value)) << b.text;
    chunk_run r = run_fresh(std::string("return ") + b.text);
    ASSERT_EQ(r.status, LUA_OK) << b.text << ": " << r.results[0];
    EXPECT_EQ(r.results, std::vector<std::string>{float_tag(b.value)}) << b.text;
  }
}

TEST(BinaryNumerals, ExamplesOfTheDialect) {
  EXPECT_EQ(run_fresh("return 0b101, 0B11, 0b10.01").results,
            (std::vector<std::string>{"i:5", "i:3", "f:2.25"}));
  EXPECT_EQ(converted("0b.1"), "f:0.5");
  EXPECT_EQ(run_fresh("return tonumber('0b1p3')").results, std::vector<std::string>{"f:8"});
  EXPECT_EQ(run_fresh("return tonumber('0b1p'), tonumber('0b'), tonumber('0b12'), "
                      "tonumber('0b1e1')")
                .results,
            (std::vector<std::string>{"nil", "nil", "nil", "nil"}));
  // 1 and seventy zeros: 2^70 exactly, as a float.
  chunk_run r = run_fresh("return 0b1" + std::string(70, '0') + ".0");
  ASSERT_EQ(r.status, LUA_OK) << r.results[0];
  EXPECT_EQ(r.results, std::vector<std::string>{float_tag(std::ldexp(1.0, 70))});
  // Published forms unchanged.
  EXPECT_EQ(run_fresh("return 0x1p4, 1e2, 0x10, 12, 0.5, 3.").results,
            (std::vector<std::string>{"f:16", "f:100", "i:16", "i:12", "f:0.5", "f:3"}));
  EXPECT_EQ(converted("nan"), "none");
  EXPECT_EQ(converted("inf"), "none");
  EXPECT_EQ(converted("-inf"), "none");
  // Coercions go through the same converter.
  EXPECT_EQ(run_fresh("return '0b11' + 1, '0b1.1' * 2, 10 // '0b11', -'0b101', ('x'):rep('0b11')")
                .results,
            (std::vector<std::string>{"i:4", "f:3", "i:3", "i:-5", "s:xxx"}));
  EXPECT_EQ(run_fresh("local n = 0 for i = '0b1', '0b11' do n = n + i end return n").results,
            std::vector<std::string>{"f:6"});
}

TEST(BinaryNumerals, StringForms) {
  EXPECT_EQ(converted("  0b101  "), "i:5");
  EXPECT_EQ(converted("\t-0b101\n"), "i:-5");
  EXPECT_EQ(converted("+0b1"), "i:1");
  EXPECT_EQ(converted("-0b1.1"), "f:-1.5");
  EXPECT_EQ(converted("0b1.1p2"), "f:6");
  EXPECT_EQ(converted("0B1P+3"), "f:8");
  EXPECT_EQ(converted("0b1p-2"), "f:0.25");
  EXPECT_EQ(converted("0b11p0"), "f:3");
  EXPECT_EQ(converted(" 0b1p3 "), "f:8");
  EXPECT_EQ(converted("0b1.1.1"), "none");  // a second point ends the numeral
  EXPECT_EQ(converted("0b1 1"), "none");
  EXPECT_EQ(converted("0b1p+"), "none");
  EXPECT_EQ(converted("0b."), "none");
  EXPECT_EQ(converted("0b2"), "none");
  EXPECT_EQ(converted("b101"), "none");
  EXPECT_EQ(converted("1b"), "none");
  EXPECT_EQ(converted("0x1b"), "i:27");  // 'x' comes first: hexadecimal
  EXPECT_EQ(converted("0b1x"), "none");
  // Digits past the 64th significant one only scale the value.
  EXPECT_EQ(converted("0b" + std::string(70, '1') + ".0"), float_tag(std::ldexp(1.0, 70)));
  EXPECT_EQ(converted("0b." + std::string(300, '0') + "1p301"), "f:1");
}

// A long exponent is cut, not an integer overflow (UBSan stops the test
// binary on one): huge ones give infinity or zero, and an exponent that the
// digits compensate still gives the exact value.
TEST(BinaryNumerals, LongExponentIsClamped) {
  EXPECT_EQ(converted("0b1p99999999999999999999999999"), float_tag(HUGE_VAL));
  EXPECT_EQ(converted("-0b1p99999999999999999999999999"), float_tag(-HUGE_VAL));
  EXPECT_EQ(converted("0b1p-99999999999999999999999999"), "f:0");
  EXPECT_EQ(converted("0b1p2147483648"), float_tag(HUGE_VAL));
  EXPECT_EQ(converted("0b1p-2147483649"), "f:0");
  EXPECT_EQ(converted("0b1p" + std::string(5000, '9')), float_tag(HUGE_VAL));
  EXPECT_EQ(converted("0b1p1023"), float_tag(std::ldexp(1.0, 1023)));
  EXPECT_EQ(converted("0b1p1024"), float_tag(HUGE_VAL));
  EXPECT_EQ(converted("0b1p-1074"), float_tag(std::ldexp(1.0, -1074)));
  EXPECT_EQ(converted("0b." + std::string(2000, '0') + "1p2001"), "f:1");
}

TEST(BinaryNumerals, MalformedInSource) {
  EXPECT_EQ(compile_error("return 0b12"), "t:1: malformed number near '0b12'");
  EXPECT_EQ(compile_error("return 0b1e1"), "t:1: malformed number near '0b1e1'");
  EXPECT_EQ(compile_error("return 0b1p4"), "t:1: malformed number near '0b1p'");
  EXPECT_EQ(compile_error("return 0b"), "t:1: malformed number near '0b'");
  EXPECT_EQ(compile_error("return 0b1.0.1"), "t:1: malformed number near '0b1.0.1'");
}

}  // namespace
