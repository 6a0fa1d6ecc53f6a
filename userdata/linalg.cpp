// Vectors and matrices on typed arrays.
#include "userdata/linalg.h"

#include <algorithm>
#include <iterator>
#include <cmath>

#include "kernel/numbers.h"

namespace {

template <class T> T *elements_as(userdata *ud) { return reinterpret_cast<T *>(ud_elements(ud)); }
template <class T> const T *elements_as(const userdata *ud) {
  return reinterpret_cast<const T *>(ud_elements(ud));
}

template <class T>
void lerp_rows(userdata *ud, int64_t offset, int64_t steps, int64_t stride, int64_t rows,
               int64_t row_stride) {
  T *e = elements_as<T>(ud);
  for (int64_t i = 0; i < rows; i++) {
    T *row = e + offset + i * row_stride;
    double first = static_cast<double>(row[0]);
    double last = static_cast<double>(row[steps * stride]);
    for (int64_t j = 1; j < steps; j++) {
      double v = ((last - first) * static_cast<double>(j)) / static_cast<double>(steps) + first;
      if constexpr (std::is_floating_point_v<T>) row[j * stride] = v;
      else row[j * stride] = static_cast<T>(trunc_to_i64(v));
    }
  }
}

// Calls f with a null pointer of the element type of `utype` (f64 as double).
template <class F> void with_element_type(uint8_t utype, F f) {
  switch (utype & utype_mask) {
    case utype_u8: f(static_cast<uint8_t *>(nullptr)); break;
    case utype_i16: f(static_cast<int16_t *>(nullptr)); break;
    case utype_i32: f(static_cast<int32_t *>(nullptr)); break;
    case utype_i64: f(static_cast<int64_t *>(nullptr)); break;
    default: f(static_cast<double *>(nullptr)); break;
  }
}

// Small square tiles keep both the rows read and the rows written in the cache,
// also where a power-of-two row length maps every row to the same cache sets.
constexpr int64_t transpose_tile = 8;

// Each (r, c) below the diagonal swapped with (c, r) once, tile by tile.
template <class T> void transpose_square(T *e, int64_t side, int64_t width) {
  for (int64_t r0 = 0; r0 < side; r0 += transpose_tile)
    for (int64_t c0 = 0; c0 <= r0; c0 += transpose_tile)
      for (int64_t r = r0; r < std::min(side, r0 + transpose_tile); r++)
        for (int64_t c = c0; c < std::min(r, c0 + transpose_tile); c++)
          std::swap(e[r * width + c], e[c * width + r]);
}

template <class T>
void transpose_into(const T *s, int64_t s_w, T *d, int64_t d_w, int64_t rows, int64_t cols) {
  for (int64_t j0 = 0; j0 < rows; j0 += transpose_tile)
    for (int64_t m0 = 0; m0 < cols; m0 += transpose_tile)
      for (int64_t j = j0; j < std::min(rows, j0 + transpose_tile); j++)
        for (int64_t m = m0; m < std::min(cols, m0 + transpose_tile); m++)
          d[j * d_w + m] = s[m * s_w + j];
}

}  // namespace

bool ud_lerp(userdata *ud, int64_t offset, int64_t steps, int64_t stride, int64_t rows,
             int64_t row_stride, int64_t *written) {
  *written = 0;
  if (offset < 0 || steps < 1 || stride < 1 || rows < 1 || row_stride < 1) return false;
  int64_t down, along, last;
  if (__builtin_mul_overflow(rows - 1, row_stride, &down) ||
      __builtin_mul_overflow(steps, stride, &along) ||
      __builtin_add_overflow(offset, down, &last) || __builtin_add_overflow(last, along, &last) ||
      last >= ud_count(ud))
    return false;
  if (steps == 1) return true;
  with_element_type(ud->utype, [&](auto *type) {
    using T = std::remove_pointer_t<decltype(type)>;
    lerp_rows<T>(ud, offset, steps, stride, rows, row_stride);
  });
  *written = rows * (steps - 1);
  return true;
}

double ud_magnitude(const double *a, int64_t n) {
  double sum = 0.0;
  for (int64_t i = 0; i < n; i++) sum += a[i] * a[i];
  return std::sqrt(sum);
}

double ud_distance(const double *a, const double *b, int64_t n) {
  double sum = 0.0;
  for (int64_t i = 0; i < n; i++) {
    auto d = static_cast<float>(a[i] - b[i]);
    float square = d * d;
    sum += static_cast<double>(square);
  }
  return std::sqrt(sum);
}

double ud_dot(const double *a, const double *b, int64_t n) {
  double sum = 0.0;
  for (int64_t i = 0; i < n; i++) sum += a[i] * b[i];
  return sum;
}

void ud_cross(const double *a, const double *b, double *d) {
  double a0 = a[0], a1 = a[1], a2 = a[2], b0 = b[0], b1 = b[1], b2 = b[2];
  d[0] = a1 * b2 - a2 * b1;
  d[1] = a2 * b0 - a0 * b2;
  d[2] = a0 * b1 - a1 * b0;
}

namespace {

// Rows of a product whose b is W wide: the W sums of a row kept in registers,
// each added to in order of k, side by side so that they do not wait on one
// another.
template <int W>
void narrow_rows(const double *a, const double *b, double *d, int64_t a_w, int64_t row0,
                 int64_t row1) {
  for (int64_t i = row0; i < row1; i++) {
    const double *ai = a + i * a_w;
    double sum[W] = {};
    for (int64_t k = 0; k < a_w; k++) {
      double x = ai[k];
      for (int j = 0; j < W; j++) sum[j] = sum[j] + x * b[k * W + j];
    }
    for (int j = 0; j < W; j++) d[i * W + j] = sum[j];
  }
}

using rows_fn = void (*)(const double *, const double *, double *, int64_t, int64_t, int64_t);
// A b this narrow (the small matrices of games) has too short a row to
// vectorise along.
constexpr rows_fn narrow_products[] = {narrow_rows<1>, narrow_rows<2>, narrow_rows<3>,
                                       narrow_rows<4>, narrow_rows<5>, narrow_rows<6>,
                                       narrow_rows<7>, narrow_rows<8>};

}  // namespace

// Row by row, each row of d accumulated over k in a block of columns that
// stays in the cache, so every element still sums its products in order of k;
// the inner loop runs along a row of b and vectorises.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
__attribute__((target_clones("avx2", "default")))
#endif
void ud_matmul_rows(const double *a, const double *b, double *d, int64_t a_w, int64_t b_w,
                    int64_t row0, int64_t row1) {
  if (b_w >= 1 && b_w <= std::ssize(narrow_products)) {
    narrow_products[b_w - 1](a, b, d, a_w, row0, row1);
    return;
  }
  constexpr int64_t block = 256;
  for (int64_t i = row0; i < row1; i++) {
    const double *ai = a + i * a_w;
    double *di = d + i * b_w;
    for (int64_t j0 = 0; j0 < b_w; j0 += block) {
      int64_t n = std::min(block, b_w - j0);
      double *dj = di + j0;
      for (int64_t j = 0; j < n; j++) dj[j] = 0.0;
      for (int64_t k = 0; k < a_w; k++) {
        double x = ai[k];
        const double *bk = b + k * b_w + j0;
        for (int64_t j = 0; j < n; j++) dj[j] = dj[j] + x * bk[j];
      }
    }
  }
}

void ud_matmul3d(const double *a, int64_t a_w, int64_t a_rows, const double *m, int64_t m_w,
                 double *d, int64_t d_w) {
  const double *m0 = m, *m1 = m + m_w, *m2 = m + 2 * m_w, *m3 = m + 3 * m_w;
  if (a_rows == 1) {
    double x = a[0], y = a[1], z = a[2];
    d[0] = ((x * m0[0] + y * m1[0]) + z * m2[0]) + m3[0];
    d[1] = ((x * m0[1] + y * m1[1]) + z * m2[1]) + m3[1];
    d[2] = ((x * m0[2] + y * m1[2]) + z * m2[2]) + m3[2];
    return;
  }
  for (int64_t r = 0; r < 4; r++) {
    const double *ar = a + r * a_w;
    double x = ar[0], y = ar[1], z = ar[2];
    double *dr = d + r * d_w;
    dr[0] = x * m0[0] + y * m1[0] + z * m2[0];
    dr[1] = x * m0[1] + y * m1[1] + z * m2[1];
    dr[2] = x * m0[2] + y * m1[2] + z * m2[2];
    if (r == 3) dr[0] += m3[0], dr[1] += m3[1], dr[2] += m3[2];
  }
}

void ud_matmul2d(const double *a, int64_t a_w, int64_t a_rows, const double *m, int64_t m_w,
                 double *d, int64_t d_w) {
  const double *m0 = m, *m1 = m + m_w, *m2 = m + 2 * m_w;
  if (a_rows == 1) {
    double x = a[0], y = a[1];
    d[0] = (x * m0[0] + y * m1[0]) + m2[0];
    d[1] = (x * m0[1] + y * m1[1]) + m2[1];
    return;
  }
  for (int64_t r = 0; r < 3; r++) {
    const double *ar = a + r * a_w;
    double x = ar[0], y = ar[1];
    double *dr = d + r * d_w;
    dr[0] = x * m0[0] + y * m1[0];
    dr[1] = x * m0[1] + y * m1[1];
    if (r == 2) dr[0] += m2[0], dr[1] += m2[1];
  }
}

int64_t ud_transpose_in_place(userdata *ud) {
  int64_t side = std::min<int64_t>(ud->width, ud->height);
  with_element_type(ud->utype, [&](auto *type) {
    using T = std::remove_pointer_t<decltype(type)>;
    transpose_square(elements_as<T>(ud), side, ud->width);
  });
  return side * (side - 1);
}

int64_t ud_transpose(const userdata *s, userdata *d) {
  int64_t rows = std::min<int64_t>(d->height, s->width);
  int64_t cols = std::min<int64_t>(d->width, s->height);
  with_element_type(s->utype, [&](auto *type) {
    using T = std::remove_pointer_t<decltype(type)>;
    transpose_into(elements_as<T>(s), s->width, elements_as<T>(d), d->width, rows, cols);
  });
  return rows * cols;
}

void ud_row(const userdata *s, int64_t i, userdata *d) {
  int64_t size = ud_element_size(s);
  memcpy(ud_elements(d), ud_elements(s) + i * s->width * size,
         static_cast<size_t>(s->width * size));
}

void ud_column(const userdata *s, int64_t i, userdata *d) {
  with_element_type(s->utype, [&](auto *type) {
    using T = std::remove_pointer_t<decltype(type)>;
    const T *e = elements_as<T>(s);
    T *out = elements_as<T>(d);
    for (int64_t r = 0; r < s->height; r++) out[r] = e[r * s->width + i];
  });
}
