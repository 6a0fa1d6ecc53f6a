// Element-wise operations: the element rules, the one kernel template they are
// instantiated into, and the span loop that feeds it.
#include "userdata/elementwise.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "kernel/numbers.h"

namespace {

// The kernels also come in AVX2 and AVX-512 builds, picked at load time where
// the processor has them (wider vectors, per-element shifts, inline floor and
// fused multiply-add; contraction stays off, so only the explicit fma fuses).
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define KESTRUNE_KERNEL_CLONES \
  __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define KESTRUNE_KERNEL_CLONES
#endif

/* ---------------------------------------------------------------------- */
/* element rules                                                          */
/* ---------------------------------------------------------------------- */

// Each rule is rule<T>::f(x, y), x the left value (the first operand's element,
// or the scalar on the left), y the right one (the second operand's element or
// the scalar; the source of the one-operand rules). Integer arithmetic that
// may overflow runs in an unsigned type of at least 32 bits and is cut back to
// the element's width, so it wraps without undefined behaviour.

template <class T> constexpr bool is_f64 = std::is_floating_point_v<T>;
template <class T> constexpr bool is_signed_int = std::is_integral_v<T> && std::is_signed_v<T>;
template <class T> using uwide = std::conditional_t<sizeof(T) <= 4, uint32_t, uint64_t>;

template <class T> T wrap_mul(T x, T y) { return T(uwide<T>(x) * uwide<T>(y)); }

// Integer quotient limits for a zero divisor (the signed lower limit is the
// negative of the upper one); f64 uses the largest finite double.
template <class T> constexpr T quot_max = std::numeric_limits<T>::max();
template <class T> constexpr T quot_min = is_signed_int<T> ? T(-quot_max<T>) : T(0);

template <class T> bool negative(T x) {
  if constexpr (is_signed_int<T> || is_f64<T>) return x < 0;
  else return false;
}

template <class T> T zero_quotient(T x) {
  if constexpr (is_f64<T>) return x >= 0 || std::isnan(x) ? DBL_MAX : -DBL_MAX;
  else return negative(x) ? quot_min<T> : quot_max<T>;
}

// Truncated quotient of integers (y != 0); the smallest i64 over -1 wraps.
// Up to 32 bits the quotient goes through a floating-point division, which is
// exact there (its error stays below the distance 1/|y| to the next integer)
// and, unlike an integer division, vectorises.
template <class T> T int_quotient(T x, T y) {
  if constexpr (sizeof(T) == 8) {
    if (y == -1) return T(uint64_t{0} - uint64_t(x));
    return x / y;
  } else {
    if (sizeof(T) == 4 && y == -1) return T(uint32_t{0} - uint32_t(x));
    // Up to 16 bits single precision is exact as well, with twice the lanes.
    using Q = std::conditional_t<sizeof(T) <= 2, float, double>;
    return T(static_cast<int32_t>(static_cast<Q>(x) / static_cast<Q>(y)));
  }
}

template <class T> struct r_add {
  static T f(T x, T y) {
    if constexpr (is_f64<T>) return x + y;
    else return T(uwide<T>(x) + uwide<T>(y));
  }
};
template <class T> struct r_sub {
  static T f(T x, T y) {
    if constexpr (is_f64<T>) return x - y;
    else return T(uwide<T>(x) - uwide<T>(y));
  }
};
template <class T> struct r_mul {
  static T f(T x, T y) {
    if constexpr (is_f64<T>) return x * y;
    else return wrap_mul(x, y);
  }
};
template <class T> struct r_div {
  static T f(T x, T y) {
    if (y == 0) return zero_quotient(x);
    if constexpr (is_f64<T>) return x / y;
    else return int_quotient(x, y);
  }
};
// Integer idiv truncates like div; f64 floors.
template <class T> struct r_idiv {
  static T f(T x, T y) {
    if (y == 0) return zero_quotient(x);
    if constexpr (is_f64<T>) return std::floor(x / y);
    else return int_quotient(x, y);
  }
};
// Steps of the long remainders taken since the span loop last looked (see
// exact_fmod); it charges them. Main thread only, like the calls.
int64_t remainder_steps = 0;

// |x| mod |y| for a quotient t = |x| / |y| below 2^52: the truncated quotient
// q is right or one too large (the division rounds at most up onto the next
// integer), and |x| - q|y| is then a multiple of the finer spacing of the two
// no larger than |y|, so one fused multiply-add gives it without rounding.
inline double small_quotient_fmod(double ax, double ay, double t) {
  double r = std::fma(-std::trunc(t), ay, ax);
  return r < 0 ? r + ay : r;
}

// The rest of exact_fmod, out of the loops: infinities and NaN go to the
// library; a quotient of 2^52 or more is taken on the significands, |x| =
// mx 2^ex and |y| = my 2^ey with integer mx, my below 2^53 (so ex >= ey
// here): the remainder of mx 2^(ex - ey) by my, 64 bits of the exponent gap a
// step after the first (at most 34 steps, each counted in remainder_steps),
// times 2^ey.
__extension__ using uint128 = unsigned __int128;

[[gnu::noinline]] double long_fmod(double x, double y) {
  if (!(std::fabs(x) <= DBL_MAX) || !(std::fabs(y) <= DBL_MAX)) return std::fmod(x, y);
  auto split = [](double v, uint64_t *m, int *e) {
    uint64_t bits;
    memcpy(&bits, &v, 8);
    int biased = static_cast<int>(bits >> 52 & 0x7FF);
    *m = bits & ((uint64_t{1} << 52) - 1);
    *e = biased ? biased - 1075 : -1074;
    if (biased) *m |= uint64_t{1} << 52;
  };
  uint64_t mx, my;
  int ex, ey;
  split(x, &mx, &ex);
  split(y, &my, &ey);
  if (ex < ey) return std::fmod(x, y);  // not reached: |x| is far above |y|
  uint64_t r = mx % my;
  remainder_steps++;
  for (int gap = ex - ey; gap > 0 && r != 0;) {
    int s = std::min(gap, 64);
    r = static_cast<uint64_t>((static_cast<uint128>(r) << s) % my);
    gap -= s;
    remainder_steps++;
  }
  // r < my, so r 2^ey lies below |y| on its grid: exact.
  return std::copysign(std::ldexp(static_cast<double>(r), ey), x);
}

// fmod(x, y) for y != 0, exactly, in bounded time.
inline double exact_fmod(double x, double y) {
  double ax = std::fabs(x), ay = std::fabs(y);
  double t = ax / ay;
  if (t < 0x1p52 && ay <= DBL_MAX) return std::copysign(small_quotient_fmod(ax, ay, t), x);
  return long_fmod(x, y);
}

// The remainder takes the divisor's sign; a zero divisor gives 0.
template <class T> struct r_mod {
  static T f(T x, T y) {
    if (y == 0) return T(0);
    if constexpr (is_f64<T>) {
      return divisor_sign(exact_fmod(x, y), y);
    } else {
      T r;
      if constexpr (sizeof(T) == 8) r = y == -1 ? T(0) : T(x % y);
      else r = T(uwide<T>(x) - uwide<T>(int_quotient(x, y)) * uwide<T>(y));  // exact: r fits
      if constexpr (!is_signed_int<T>) return r;
      else return r != 0 && (r < 0) != (y < 0) ? T(r + y) : r;
    }
  }
  // f64 for blocks (see quick_runs): the rule where the quotient stays below
  // 2^52, setting *far for the elements it leaves to f (a quotient of 2^52 or
  // more, an operand not finite). Free of calls, so the block vectorises.
  static T quick(T x, T y, int *far) requires is_f64<T> {
    double ax = std::fabs(x), ay = std::fabs(y), t = ax / ay;
    *far |= (y != 0) & !((t < 0x1p52) & (ay <= DBL_MAX));
    double r = divisor_sign(std::copysign(small_quotient_fmod(ax, ay, t), x), y);
    return y == 0 ? 0.0 : r;
  }
  static double divisor_sign(double r, double y) {
    return (r > 0 && y < 0) || (r < 0 && y > 0) ? r + y : r;
  }
};
// Squares stay in the element type (integers wrap, i64 keeps every bit); other
// exponents go through pow on doubles, integers truncated back.
// For u8, i16 and i32 the power is taken on integers, as pow on doubles gives
// it and without its cost: an integer power below 2^31 in magnitude is exact
// in a double (and pow returns it exactly), one of 2^31 or more falls outside
// the 32-bit range like an infinity (0 to a negative power) and gives the
// smallest value, and other negative powers truncate to 0, 1 or -1.
inline int32_t int_power(int64_t x, int64_t y) {
  if (y < 0) {
    if (x == 0) return INT32_MIN;
    if (x == 1 || x == -1) return y % 2 ? static_cast<int32_t>(x) : 1;
    return 0;
  }
  constexpr int64_t limit = int64_t{1} << 31;
  int64_t r = 1, b = x;  // |r|, |b| <= 2^31, so their products fit
  for (;;) {
    if (y & 1) {
      r *= b;
      if (r >= limit || r <= -limit) return INT32_MIN;
    }
    y >>= 1;
    if (y == 0) return static_cast<int32_t>(r);
    b *= b;
    if (b >= limit) return INT32_MIN;  // a factor still to come
  }
}

template <class T> struct r_pow {
  static T f(T x, T y) {
    if (y == 2) return r_mul<T>::f(x, x);
    if constexpr (is_f64<T>) {
      return std::pow(x, y);
    } else if constexpr (sizeof(T) == 8) {
      return trunc_to_i64_or_min(std::pow(static_cast<double>(x), static_cast<double>(y)));
    } else {
      return T(int_power(x, y));
    }
  }
};
template <class T> struct r_band {
  static T f(T x, T y) requires std::is_integral_v<T> { return T(x & y); }
};
template <class T> struct r_bor {
  static T f(T x, T y) requires std::is_integral_v<T> { return T(x | y); }
};
template <class T> struct r_bxor {
  static T f(T x, T y) requires std::is_integral_v<T> { return T(x ^ y); }
};
// Shifts count by the low byte of y. u8, i16 and i32 shift as 32-bit values,
// i64 as 64-bit ones; a count of the width or more shifts everything out (0,
// or the sign for an arithmetic right shift).
template <class T> struct r_shl {
  static T f(T x, T y) requires std::is_integral_v<T> {
    unsigned c = static_cast<uint8_t>(y);
    constexpr unsigned width = sizeof(T) == 8 ? 64 : 32;
    return c >= width ? T(0) : T(uwide<T>(x) << c);
  }
};
template <class T> struct r_shr {
  static T f(T x, T y) requires std::is_integral_v<T> {
    unsigned c = static_cast<uint8_t>(y);
    constexpr unsigned width = sizeof(T) == 8 ? 64 : 32;
    if constexpr (!is_signed_int<T>) return c >= width ? T(0) : T(uwide<T>(x) >> c);
    else if (c >= width) return T(x < 0 ? -1 : 0);
    else return T(static_cast<std::make_signed_t<uwide<T>>>(x) >> c);
  }
};
// NaN and ties follow the comparison as written: the other value is y.
template <class T> struct r_max {
  static T f(T x, T y) { return x > y ? x : y; }
};
template <class T> struct r_min {
  static T f(T x, T y) { return x < y ? x : y; }
};
// f64: max(-y, y) by the same rule, so NaN and -0.0 stay as they are. The
// smallest signed value stays itself.
template <class T> struct r_abs {
  static T f(T, T y) {
    if constexpr (is_f64<T>) return -y > y ? -y : y;
    else if constexpr (!is_signed_int<T>) return y;
    else return y < 0 ? T(uwide<T>(0) - uwide<T>(y)) : y;
  }
};
template <class T> struct r_sgn {
  static T f(T, T y) {
    if constexpr (is_f64<T>) return y >= 0 ? 1.0 : -1.0;
    else return negative(y) ? T(-1) : T(1);
  }
};
template <class T> struct r_sgn0 {
  static T f(T, T y) {
    if constexpr (is_f64<T>) return y > 0 ? 1.0 : (y == 0 ? 0.0 : -1.0);
    else return T((y > 0) - negative(y));
  }
};
template <class T> struct r_copy {
  static T f(T, T y) { return y; }
};

/* ---------------------------------------------------------------------- */
/* the kernel                                                             */
/* ---------------------------------------------------------------------- */

enum operand_form { form_two, form_scalar_right, form_scalar_left, form_count };

// `runs` spans of `len` elements each; pointers at the first span's starts,
// strides in elements between span starts (the first operand and the
// destination share theirs).
struct run_job {
  uint8_t *d;
  const uint8_t *a, *b;
  int64_t runs, len, stride, b_stride;
  ud_scalar scalar;
};
using kernel_fn = void (*)(const run_job &);

template <class T> T scalar_value(const ud_scalar &s) {
  if constexpr (is_f64<T>) return s.f;
  else return T(s.i);
}

// A rule with a quick form (f64 remainders) runs in blocks: the quick form over
// a block into a local copy (a loop that vectorises), the block again through
// the full rule if the quick form left an element to it, then the copy stored.
// A block reads its elements before it writes any, which a plain loop matches
// unless the destination lies less than a block after an operand; there the
// plain loop runs.
template <class T, template <class> class R>
constexpr bool has_quick_form = requires(T x, int *far) { R<T>::quick(x, x, far); };
constexpr int64_t quick_block = 64;

template <class T> bool block_fits(const T *d, const T *operand) {
  auto gap = reinterpret_cast<uintptr_t>(d) - reinterpret_cast<uintptr_t>(operand);
  return gap == 0 || gap >= quick_block * sizeof(T);
}

template <class T, template <class> class R, int form>
[[gnu::always_inline]] inline void quick_runs(T *d, const T *a, const T *b, T v, int64_t len) {
  auto x = [&](int64_t i) { return form == form_scalar_left ? v : a[i]; };
  auto y = [&](int64_t i) { return form == form_two ? b[i] : form == form_scalar_right ? v : a[i]; };
  for (int64_t i0 = 0; i0 < len; i0 += quick_block) {
    const int64_t n = std::min(quick_block, len - i0);
    T out[quick_block];
    int far = 0;
    for (int64_t i = 0; i < n; i++) out[i] = R<T>::quick(x(i0 + i), y(i0 + i), &far);
    if (far)
      for (int64_t i = 0; i < n; i++) out[i] = R<T>::f(x(i0 + i), y(i0 + i));
    for (int64_t i = 0; i < n; i++) d[i0 + i] = out[i];
  }
}

// The one loop: spans in order, elements in increasing order inside each, one
// element read and written after the other, so overlapping operands see what
// a plain element-by-element loop sees (the compiler vectorises only where
// its run-time overlap check allows).
template <class T, template <class> class R, int form>
KESTRUNE_KERNEL_CLONES void kernel(const run_job &j) {
  // Locals, so that u8 stores cannot be taken to change the job.
  const T v = scalar_value<T>(j.scalar);
  const int64_t runs = j.runs, len = j.len, stride = j.stride, b_stride = j.b_stride;
  T *const d0 = reinterpret_cast<T *>(j.d);
  const T *const a0 = reinterpret_cast<const T *>(j.a);
  const T *const b0 = reinterpret_cast<const T *>(j.b);
  for (int64_t r = 0; r < runs; r++) {
    T *d = d0 + r * stride;
    const T *a = a0 + r * stride;
    if constexpr (has_quick_form<T, R>) {
      const T *b = form == form_two ? b0 + r * b_stride : a;
      if (block_fits(d, a) && block_fits(d, b)) {
        quick_runs<T, R, form>(d, a, b, v, len);
        continue;
      }
    }
    if constexpr (form == form_two && std::is_same_v<R<T>, r_copy<T>>) {
      // A copy that no element reads after it was written (the source does
      // not start before the destination inside it) is the library's copy.
      const T *b = b0 + r * b_stride;
      auto gap = reinterpret_cast<uintptr_t>(d) - reinterpret_cast<uintptr_t>(b);
      if (gap == 0 || gap >= static_cast<uint64_t>(len) * sizeof(T)) {
        if (gap != 0) memmove(d, b, static_cast<size_t>(len) * sizeof(T));
        continue;
      }
    }
    if constexpr (form == form_two) {
      const T *b = b0 + r * b_stride;
      for (int64_t i = 0; i < len; i++) d[i] = R<T>::f(a[i], b[i]);
    } else if constexpr (form == form_scalar_right) {
      for (int64_t i = 0; i < len; i++) d[i] = R<T>::f(a[i], v);
    } else {
      for (int64_t i = 0; i < len; i++) d[i] = R<T>::f(v, a[i]);
    }
  }
}

// Element types in table order.
constexpr int type_slot(uint8_t utype) {
  switch (utype & utype_mask) {
    case utype_u8: return 0;
    case utype_i16: return 1;
    case utype_i32: return 2;
    case utype_i64: return 3;
    case utype_f64: return 4;
    default: return -1;
  }
}
constexpr int type_count = 5;

template <class T, template <class> class R>
constexpr std::array<kernel_fn, form_count> kernels_for() {
  if constexpr (requires(T x) { R<T>::f(x, x); })
    return {&kernel<T, R, form_two>, &kernel<T, R, form_scalar_right>,
            &kernel<T, R, form_scalar_left>};
  else
    return {nullptr, nullptr, nullptr};
}

template <template <class> class R>
constexpr std::array<std::array<kernel_fn, form_count>, type_count> kernels_for_types() {
  return {kernels_for<uint8_t, R>(), kernels_for<int16_t, R>(), kernels_for<int32_t, R>(),
          kernels_for<int64_t, R>(), kernels_for<double, R>()};
}

// Indexed by operation (ud_op order), element type and operand form; null
// where the operation has no rule for the type.
constexpr std::array<std::array<std::array<kernel_fn, form_count>, type_count>, ud_op_count>
    kernels = {
        kernels_for_types<r_add>(),  kernels_for_types<r_sub>(),  kernels_for_types<r_mul>(),
        kernels_for_types<r_div>(),  kernels_for_types<r_idiv>(), kernels_for_types<r_mod>(),
        kernels_for_types<r_pow>(),  kernels_for_types<r_band>(), kernels_for_types<r_bor>(),
        kernels_for_types<r_bxor>(), kernels_for_types<r_shl>(),  kernels_for_types<r_shr>(),
        kernels_for_types<r_max>(),  kernels_for_types<r_min>(),  kernels_for_types<r_abs>(),
        kernels_for_types<r_sgn>(),  kernels_for_types<r_sgn0>(), kernels_for_types<r_copy>(),
};

kernel_fn pick_kernel(ud_op op, uint8_t utype, int form) {
  int t = type_slot(utype);
  if (op >= ud_op_count || t < 0) return nullptr;
  return kernels[op][static_cast<size_t>(t)][static_cast<size_t>(form)];
}

/* ---------------------------------------------------------------------- */
/* the span loop                                                          */
/* ---------------------------------------------------------------------- */

// How many spans, from the one starting at s0 and then every `stride`
// elements, lie whole inside an operand of n elements (a span of 0 or fewer
// elements counts as whole while its start is not below 0 and the elements
// left are not below the span): 0 when the first does not, INT64_MAX when all
// of them do.
int64_t whole_spans(int64_t s0, int64_t stride, int64_t n, int64_t span) {
  int64_t last = n - span;  // the last start that leaves a whole span
  if (s0 < 0 || s0 > last) return 0;
  if (stride == 0) return INT64_MAX;
  if (stride > 0) return (last - s0) / stride + 1;
  return s0 / -stride + 1;
}

// Host work of one span beyond its elements, in element units, for batching.
constexpr int64_t span_overhead = 8;

// Cycles charged for one step of a long remainder.
constexpr int64_t remainder_step_cycles = 3;

}  // namespace

bool ud_op_accepts(ud_op op, uint8_t utype) {
  return pick_kernel(op, utype, form_two) != nullptr;
}

int ud_op_divisor(ud_op op, uint8_t utype) {
  uint8_t t = utype & utype_mask;
  bool wide = t == utype_i64 || t == utype_f64;
  switch (op) {
    case ud_mul: return wide ? 8 : 16;
    case ud_div: case ud_idiv: case ud_mod: return t == utype_i64 ? 2 : 4;
    case ud_pow: return wide ? 1 : 2;
    case ud_max: case ud_min: case ud_abs: case ud_sgn: case ud_sgn0: return wide ? 2 : 4;
    default: return wide ? 12 : 24;  // add, sub, the bitwise operations, copy
  }
}

ud_scalar ud_scalar_from_integer(int64_t v, uint8_t utype) {
  ud_scalar s;
  switch (utype & utype_mask) {
    case utype_f64: s.f = static_cast<double>(v); break;
    case utype_i64: s.i = v; break;
    default: s.i = v >= INT32_MIN && v <= INT32_MAX ? v : INT32_MIN; break;
  }
  return s;
}

ud_scalar ud_scalar_from_number(double v, uint8_t utype) {
  ud_scalar s;
  switch (utype & utype_mask) {
    case utype_f64: s.f = v; break;
    case utype_i64: s.i = trunc_to_i64_or_min(v); break;
    default: s.i = trunc_to_i32_or_min(v); break;
  }
  return s;
}

void ud_elementwise_step(ud_elementwise_call &c, int64_t budget) {
  if (c.done) return;
  const ud_spans &s = c.s;
  if (c.k >= s.spans) {
    c.done = true;
    return;
  }
  uint8_t utype = c.a->utype & utype_mask;
  int form = c.b ? form_two : c.scalar_left ? form_scalar_left : form_scalar_right;
  kernel_fn run = pick_kernel(c.op, utype, form);
  if (!run) {
    c.done = true;
    return;
  }
  const int64_t size = utype_size(utype);
  const int64_t na = ud_count(c.a), nd = ud_count(c.dest), nb = c.b ? ud_count(c.b) : 0;
  const uint8_t *a = ud_elements(c.a), *b = c.b ? ud_elements(c.b) : nullptr;
  uint8_t *d = ud_elements(c.dest);
  int64_t visited = 0;
  remainder_steps = 0;
  while (!c.done && visited < budget) {
    int64_t sa = s.off + c.k * s.stride, sb = s.b_off + c.k * s.b_stride;
    int64_t whole = std::min({s.spans - c.k, whole_spans(sa, s.stride, na, s.span),
                              whole_spans(sa, s.stride, nd, s.span),
                              c.b ? whole_spans(sb, s.b_stride, nb, s.span) : INT64_MAX});
    if (whole > 0) {
      // A run of whole spans: one kernel call, as many spans as the budget
      // allows (spans of no elements cost nothing to skip).
      int64_t runs = whole;
      if (s.span > 0) {
        runs = std::min(whole, std::max<int64_t>(1, (budget - visited) / (s.span + span_overhead)));
        run({d + sa * size, a + sa * size, b ? b + sb * size : nullptr, runs, s.span, s.stride,
             s.b_stride, c.scalar});
        c.processed += runs * s.span;
        visited += runs * (s.span + span_overhead);
      }
      c.total += runs * s.span;
      c.k += runs;
      if (c.k >= s.spans) c.done = true;
      continue;
    }
    // A span cut at an end, or starting before index 0 or past an end: it is
    // the last. All operands move together past the elements that lie before
    // index 0, so the pairing of elements stays.
    int64_t lo = std::max<int64_t>({0, -sa, c.b ? -sb : 0});
    int64_t hi = std::min({s.span, na - sa, nd - sa, c.b ? nb - sb : INT64_MAX});
    int64_t count;
    if (__builtin_sub_overflow(hi, lo, &count)) count = INT64_MIN;
    if (count > 0) {
      run({d + (sa + lo) * size, a + (sa + lo) * size, b ? b + (sb + lo) * size : nullptr, 1,
           count, 0, 0, c.scalar});
      c.processed += count;
    }
    c.total = saturating_add(c.total, count);
    c.k++;
    c.done = true;
  }
  c.long_steps += remainder_steps;
}

void ud_elementwise_run(ud_elementwise_call &c) {
  while (!c.done) ud_elementwise_step(c, INT64_MAX);
}

int64_t ud_elementwise_work(const ud_elementwise_call &c) {
  return c.k / 4 + c.processed / ud_op_divisor(c.op, c.a->utype) +
         c.long_steps * remainder_step_cycles;
}

int64_t ud_elementwise_charge(const ud_elementwise_call &c) {
  int64_t formula = saturating_add(c.s.spans / 4, c.total / ud_op_divisor(c.op, c.a->utype));
  int64_t work = ud_elementwise_work(c);
  return work > 0 ? std::max(formula, work) : formula;
}
