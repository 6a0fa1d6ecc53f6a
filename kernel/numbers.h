// Number-to-integer conversion: the one place where a double becomes an
// integer, defined for every input (NaN, infinities, huge values).
#pragma once

#include <cmath>
#include <cstdint>

// Truncates toward zero, saturating at the i64 range; NaN gives 0.
inline int64_t trunc_to_i64(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 9223372036854775808.0) return INT64_MAX;
  if (x < -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(x);
}

// Floors, saturating at the i64 range; NaN gives 0.
inline int64_t floor_to_i64(double x) { return trunc_to_i64(std::floor(x)); }

// Rounds up, saturating at the i64 range; NaN gives 0.
inline int64_t ceil_to_i64(double x) { return trunc_to_i64(std::ceil(x)); }

// Truncates toward zero; NaN and values outside the i64 (i32) range give the
// range's smallest value, as the typed-array scalars and powers convert.
inline int64_t trunc_to_i64_or_min(double x) {
  if (x >= -9223372036854775808.0 && x < 9223372036854775808.0) return static_cast<int64_t>(x);
  return INT64_MIN;
}
inline int32_t trunc_to_i32_or_min(double x) {
  if (x > -2147483649.0 && x < 2147483648.0) return static_cast<int32_t>(x);
  return INT32_MIN;
}

inline int32_t saturate_i32(int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// Adds without wrapping: counters stop at the ends of their range.
inline int64_t saturating_add(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}
