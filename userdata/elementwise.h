// Element-wise operations on typed arrays: one span loop over offsets, spans
// and strides, and one element kernel instantiated per operation, element type
// and operand form. userdata_arith_api.cpp reads the script arguments.
#pragma once

#include <cstdint>

#include "values/userdata.h"

enum ud_op : uint8_t {
  ud_add, ud_sub, ud_mul, ud_div, ud_idiv, ud_mod, ud_pow,
  ud_band, ud_bor, ud_bxor, ud_shl, ud_shr,
  ud_max, ud_min, ud_abs, ud_sgn, ud_sgn0,
  ud_copy,
  ud_op_count
};

// Whether the operation has a rule for the element type (the bitwise and shift
// operations have none for f64).
bool ud_op_accepts(ud_op op, uint8_t utype);
// abs, sgn and sgn0 transform their source; copy stores it.
inline bool ud_op_takes_source(ud_op op) {
  return op == ud_abs || op == ud_sgn || op == ud_sgn0 || op == ud_copy;
}
// add, sub, mul, pow, max and min refuse a missing second argument.
inline bool ud_op_needs_second(ud_op op) {
  return op == ud_add || op == ud_sub || op == ud_mul || op == ud_pow || op == ud_max ||
         op == ud_min;
}
// Elements per charged cycle of the operation on the element type.
int ud_op_divisor(ud_op op, uint8_t utype);

// The scalar of a call, held once in the element type's arithmetic: `f` for
// f64, else `i`, of which u8, i16 and i32 elements use the low bits.
struct ud_scalar {
  int64_t i = 0;
  double f = 0.0;
};
// From a script integer (exact, also for i64) and from a float: u8, i16 and i32
// truncate to 32 bits, i64 to 64; NaN and values outside that range give the
// range's smallest value.
ud_scalar ud_scalar_from_integer(int64_t v, uint8_t utype);
ud_scalar ud_scalar_from_number(double v, uint8_t utype);

// Offsets, span length, strides and span count, in elements (each already cut
// to 32 bits by the caller).
struct ud_spans {
  int64_t b_off = 0, off = 0, span = 0x1000000, b_stride = 1, stride = 1, spans = 1;
};

// One call in progress. `a` is the first operand (and supplies the
// destination's pairing), `b` the second userdata or null for the scalar;
// with `scalar_left` the scalar is the left value of the rule and a's
// elements the right one. `dest` has a's element type (callers check).
struct ud_elementwise_call {
  ud_op op;
  const userdata *a;
  const userdata *b;
  userdata *dest;
  ud_scalar scalar;
  bool scalar_left;
  ud_spans s;
  // Progress: spans walked, the sum of the span counts (negative for spans
  // that start past an end), the elements written, and whether the loop ended.
  int64_t k = 0, total = 0, processed = 0;
  // Extra steps of f64 remainders whose quotient reached 2^52 (each worth a
  // few divisions, charged on top of the elements).
  int64_t long_steps = 0;
  bool done = false;
};

// Walks spans in order until the loop ends or about `budget` elements (at
// least one run of spans) have been visited, so that callers can charge as
// the work goes.
void ud_elementwise_step(ud_elementwise_call &c, int64_t budget);
// The whole loop at once.
void ud_elementwise_run(ud_elementwise_call &c);

// Cycles owed for the work done so far: a quarter cycle a span walked, the
// elements written over the divisor, and the long remainders' extra steps.
int64_t ud_elementwise_work(const ud_elementwise_call &c);
// The call's charge once done: spans / 4 + total / divisor, never less than
// the work done (a span far past an end cannot cancel the elements written).
int64_t ud_elementwise_charge(const ud_elementwise_call &c);
