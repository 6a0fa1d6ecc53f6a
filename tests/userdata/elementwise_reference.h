// A deliberately naive model of the element-wise operations, one element at a
// time and written straight from their rules, and a harness that runs it and
// the real span loop on twin copies of the same operands. Shared by the
// differential test and the fuzz target.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kernel/numbers.h"
#include "userdata/elementwise.h"
#include "values/userdata.h"

namespace elementwise_reference {

inline uint8_t type_of(const userdata *ud) { return ud->utype & utype_mask; }

// An integer cut to the element's width and read back (u8 unsigned).
inline int64_t cut(uint8_t type, int64_t v) {
  switch (type) {
    case utype_u8: return v & 0xFF;
    case utype_i16: return static_cast<int16_t>(v);
    case utype_i32: return static_cast<int32_t>(v);
    default: return v;
  }
}

// A script value: an integer or a float.
struct value {
  bool integer;
  int64_t i;
  double f;
};

// The scalar of a script value in the element type's arithmetic.
inline int64_t int_scalar(const value &v, uint8_t type) {
  bool wide = type == utype_i64;
  if (v.integer) return wide ? v.i : cut(type, v.i >= INT32_MIN && v.i <= INT32_MAX ? v.i : INT32_MIN);
  double lo = wide ? -9223372036854775808.0 : -2147483648.0;
  double hi = wide ? 9223372036854775808.0 : 2147483648.0;
  bool fits = std::trunc(v.f) >= lo && std::trunc(v.f) < hi;  // false for NaN
  int64_t smallest = wide ? INT64_MIN : INT32_MIN;
  return cut(type, fits ? static_cast<int64_t>(v.f) : smallest);
}
inline double f64_scalar(const value &v) { return v.integer ? static_cast<double>(v.i) : v.f; }

inline int64_t int_rule(ud_op op, uint8_t type, int64_t x, int64_t y) {
  bool wide = type == utype_i64, is_u8 = type == utype_u8;
  auto u = [](int64_t v) { return static_cast<uint64_t>(v); };
  int64_t top = type == utype_u8 ? 255 : type == utype_i16 ? 32767 : type == utype_i32 ? 2147483647 : INT64_MAX;
  int64_t bottom = is_u8 ? 0 : -top;
  unsigned c = static_cast<unsigned>(y & 0xFF), width = wide ? 64 : 32;
  switch (op) {
    case ud_add: return static_cast<int64_t>(u(x) + u(y));
    case ud_sub: return static_cast<int64_t>(u(x) - u(y));
    case ud_mul: return static_cast<int64_t>(u(x) * u(y));
    case ud_div: case ud_idiv:
      if (y == 0) return x >= 0 ? top : bottom;
      if (x == INT64_MIN && y == -1) return x;
      return x / y;
    case ud_mod: {
      if (y == 0 || (x == INT64_MIN && y == -1)) return 0;
      int64_t r = x % y;
      return r != 0 && (r < 0) != (y < 0) ? r + y : r;
    }
    case ud_pow: {
      if (y == 2) return static_cast<int64_t>(u(x) * u(x));
      double p = std::pow(static_cast<double>(x), static_cast<double>(y));
      return wide ? trunc_to_i64_or_min(p) : trunc_to_i32_or_min(p);
    }
    case ud_band: return x & y;
    case ud_bor: return x | y;
    case ud_bxor: return x ^ y;
    case ud_shl: return c >= width ? 0 : static_cast<int64_t>(u(x) << c);
    case ud_shr:
      if (c >= width) return x < 0 ? -1 : 0;
      return x >> c;
    case ud_max: return x > y ? x : y;
    case ud_min: return x < y ? x : y;
    case ud_abs: return y < 0 ? static_cast<int64_t>(0 - u(y)) : y;
    case ud_sgn: return y < 0 ? -1 : 1;
    case ud_sgn0: return y > 0 ? 1 : y < 0 ? -1 : 0;
    default: return y;  // copy
  }
}

inline double f64_rule(ud_op op, double x, double y) {
  const double big = 1.7976931348623157e308;
  switch (op) {
    case ud_add: return x + y;
    case ud_sub: return x - y;
    case ud_mul: return x * y;
    case ud_div: return y == 0 ? (x >= 0 || std::isnan(x) ? big : -big) : x / y;
    case ud_idiv: return y == 0 ? (x >= 0 || std::isnan(x) ? big : -big) : std::floor(x / y);
    case ud_mod: {
      if (y == 0) return 0;
      double r = std::fmod(x, y);
      return (r > 0 && y < 0) || (r < 0 && y > 0) ? r + y : r;
    }
    case ud_pow: return y == 2 ? x * x : std::pow(x, y);
    case ud_max: return x > y ? x : y;
    case ud_min: return x < y ? x : y;
    case ud_abs: return -y > y ? -y : y;
    case ud_sgn: return y >= 0 ? 1.0 : -1.0;
    case ud_sgn0: return y > 0 ? 1.0 : y == 0 ? 0.0 : -1.0;
    default: return y;  // copy
  }
}

// The operands of one call as indexes into a set of records, so that the same
// call can be made on two independent copies (aliasing included).
struct call_shape {
  ud_op op;
  int a, b, dest;  // b -1: the scalar
  bool scalar_left;
  value scalar;
  ud_spans s;
};

struct records {
  std::vector<std::vector<uint64_t>> blocks;
  userdata *at(int i) { return reinterpret_cast<userdata *>(blocks[static_cast<size_t>(i)].data()); }
  int add(uint8_t type, uint32_t w, uint32_t h) {
    size_t bytes = (static_cast<size_t>(w) * h * static_cast<size_t>(utype_size(type)) + 7) & ~size_t{7};
    blocks.emplace_back(2 + bytes / 8, 0);
    userdata *ud = at(static_cast<int>(blocks.size()) - 1);
    ud->utype = type;
    ud->dims = h > 1 ? 2 : 1;
    ud->width = w, ud->height = h, ud->depth = 1;
    return static_cast<int>(blocks.size()) - 1;
  }
};

struct reference_result {
  int64_t total = 0, processed = 0;
};

// The span loop as the rules state it, one element after the other.
inline reference_result run_reference(records &r, const call_shape &k) {
  reference_result out;
  userdata *a = r.at(k.a), *d = r.at(k.dest), *b = k.b >= 0 ? r.at(k.b) : nullptr;
  uint8_t type = type_of(a);
  for (int64_t span_no = 0; span_no < k.s.spans; span_no++) {
    int64_t sa = k.s.off + span_no * k.s.stride, sb = k.s.b_off + span_no * k.s.b_stride;
    int64_t count = std::min({k.s.span, ud_count(a) - sa, ud_count(d) - sa});
    int64_t deficit = std::max<int64_t>(0, -sa);
    if (b) {
      count = std::min(count, ud_count(b) - sb);
      deficit = std::max(deficit, -sb);
    }
    count -= deficit;
    for (int64_t i = deficit; i < deficit + count; i++) {
      if (type == utype_f64) {
        double other = b ? ud_get_number(b, sb + i) : f64_scalar(k.scalar);
        double mine = ud_get_number(a, sa + i);
        ud_set_f64(d, sa + i, k.scalar_left ? f64_rule(k.op, other, mine) : f64_rule(k.op, mine, other));
      } else {
        int64_t other = b ? ud_get_int(b, sb + i) : int_scalar(k.scalar, type);
        int64_t mine = ud_get_int(a, sa + i);
        ud_set_int(d, sa + i, k.scalar_left ? int_rule(k.op, type, other, mine) : int_rule(k.op, type, mine, other));
      }
    }
    out.total += count;
    out.processed += std::max<int64_t>(count, 0);
    if (count < k.s.span) break;
  }
  return out;
}

// The real loop on the same shape.
inline ud_elementwise_call run_real(records &r, const call_shape &k) {
  uint8_t type = type_of(r.at(k.a));
  ud_scalar s = k.scalar.integer ? ud_scalar_from_integer(k.scalar.i, type)
                                 : ud_scalar_from_number(k.scalar.f, type);
  ud_elementwise_call c{k.op, r.at(k.a), k.b >= 0 ? r.at(k.b) : nullptr, r.at(k.dest), s,
                        k.scalar_left, k.s};
  ud_elementwise_run(c);
  return c;
}

// Element-by-element equality, any NaN equal to any NaN.
inline bool same_elements(userdata *x, userdata *y) {
  if (type_of(x) != utype_f64) return memcmp(ud_elements(x), ud_elements(y), static_cast<size_t>(ud_block_bytes(x))) == 0;
  for (int64_t i = 0; i < ud_count(x); i++) {
    double p = ud_get_number(x, i), q = ud_get_number(y, i);
    if (!(std::isnan(p) && std::isnan(q)) && memcmp(&p, &q, 8) != 0) return false;
  }
  return true;
}

}  // namespace elementwise_reference
