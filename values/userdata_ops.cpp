// The core methods of userdata as plain functions over records.
#include "values/userdata_ops.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <unordered_map>

const char *userdata_mutate(userdata *ud, uint8_t type, int64_t w, int64_t h, bool set_dims,
                            bool two_dims) {
  uint8_t old = ud->utype & utype_mask;
  if (type != old && (old == utype_f64 || type == utype_f64))
    return "can not mutate between integer and float data types";
  int64_t size = utype_size(type);
  if (w <= 0) w = ud_element_size(ud) * ud->width / size;
  if (h <= 0) h = ud->height;
  // A zero width would divide by zero in every later row walk.
  if (w <= 0) return "new size is smaller than one element";
  int64_t bytes;
  if (__builtin_mul_overflow(w, h, &bytes) || __builtin_mul_overflow(bytes, size, &bytes) ||
      __builtin_mul_overflow(bytes, int64_t{ud->depth}, &bytes) || bytes > ud_data_bytes(ud))
    return "new size is larger than old size";
  ud->width = static_cast<uint32_t>(w);
  ud->height = static_cast<uint32_t>(h);
  ud->utype = type;
  if (set_dims) ud->dims = two_dims ? 2 : 1;
  return nullptr;
}

namespace {

struct sort_keys {
  uint8_t type;
  size_t offset;  // of the key within a row, in bytes
  int order;      // 1 ascending, -1 descending
  int64_t compares;
};

int64_t int_key(uint8_t type, const uint8_t *p) {
  switch (type) {
    case utype_u8: return *p;
    case utype_i16: { int16_t v; memcpy(&v, p, 2); return v; }
    case utype_i32: { int32_t v; memcpy(&v, p, 4); return v; }
    default: { int64_t v; memcpy(&v, p, 8); return v; }
  }
}

// A total order: NaN equals NaN and lies above every number, so the sort's
// comparisons stay consistent whatever the data.
int compare_doubles(double a, double b) {
  bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return na == nb ? 0 : (na ? 1 : -1);
  return a < b ? -1 : (a > b ? 1 : 0);
}

int compare_rows(const void *a, const void *b, void *context) {
  auto *k = static_cast<sort_keys *>(context);
  k->compares++;
  const uint8_t *pa = static_cast<const uint8_t *>(a) + k->offset;
  const uint8_t *pb = static_cast<const uint8_t *>(b) + k->offset;
  int r;
  if (k->type == utype_f64) {
    double x, y;
    memcpy(&x, pa, 8);
    memcpy(&y, pb, 8);
    r = compare_doubles(x, y);
  } else {
    int64_t x = int_key(k->type, pa), y = int_key(k->type, pb);
    r = x < y ? -1 : (x > y ? 1 : 0);
  }
  return r * k->order;
}

// f64 to an integer element: floor, then the low bits (NaN gives 0; beyond
// the i64 range the value saturates first).
int64_t float_to_int(double v) { return floor_to_i64(v); }

// The host's sort, a top-down merge sort whose left half is the smaller and
// whose ties take from the left, over elements of one type with the
// comparison inlined: the same order and count of comparisons as qsort_r
// makes on the rows, at a fraction of its cost a comparison. `le` is the
// comparison's "not after".
template <class T, class Le> void merge_sort(T *b, T *tmp, size_t n, Le le, int64_t &compares) {
  if (n <= 1) return;
  size_t n1 = n / 2, n2 = n - n1;
  T *b1 = b, *b2 = b + n1;
  merge_sort(b1, tmp, n1, le, compares);
  merge_sort(b2, tmp, n2, le, compares);
  T *t = tmp;
  while (n1 > 0 && n2 > 0) {
    compares++;
    if (le(*b1, *b2)) {
      *t++ = *b1++;
      n1--;
    } else {
      *t++ = *b2++;
      n2--;
    }
  }
  // What is left of the right half is in place already.
  std::copy(b1, b1 + n1, t);
  std::copy(tmp, tmp + (n - n2), b);
}

template <class T> int64_t sort_elements(uint8_t *p, size_t n, bool descending) {
  std::vector<T> v(n), tmp(n);
  memcpy(v.data(), p, n * sizeof(T));
  int64_t compares = 0;
  auto before = [](T x, T y) {
    if constexpr (std::is_floating_point_v<T>) return compare_doubles(x, y) < 0;
    else return x < y;
  };
  if (descending) merge_sort(v.data(), tmp.data(), n, [&](T x, T y) { return !before(x, y); }, compares);
  else merge_sort(v.data(), tmp.data(), n, [&](T x, T y) { return !before(y, x); }, compares);
  memcpy(p, v.data(), n * sizeof(T));
  return compares;
}

}  // namespace

int64_t userdata_sort(userdata *ud, int64_t column, bool descending) {
  int64_t row_length = ud->height >= 2 ? ud->width : 1;
  if (column < 0 || column >= row_length) return -1;
  int64_t rows = ud_count(ud) / row_length;
  uint8_t type = ud->utype & utype_mask;
  if (row_length == 1) {
    auto n = static_cast<size_t>(rows);
    switch (type) {
      case utype_u8: return sort_elements<uint8_t>(ud_elements(ud), n, descending);
      case utype_i16: return sort_elements<int16_t>(ud_elements(ud), n, descending);
      case utype_i32: return sort_elements<int32_t>(ud_elements(ud), n, descending);
      case utype_i64: return sort_elements<int64_t>(ud_elements(ud), n, descending);
      default: return sort_elements<double>(ud_elements(ud), n, descending);
    }
  }
  auto size = static_cast<size_t>(utype_size(type));
  sort_keys k{type, static_cast<size_t>(column) * size, descending ? -1 : 1, 0};
  qsort_r(ud_elements(ud), static_cast<size_t>(rows), static_cast<size_t>(row_length) * size,
          compare_rows, &k);
  return k.compares;
}

int64_t userdata_convert(const userdata *src, userdata *dst) {
  int64_t n = std::min(ud_count(src), ud_count(dst));
  uint8_t from = src->utype & utype_mask, to = dst->utype & utype_mask;
  if (from == to) {
    memcpy(ud_elements(dst), ud_elements(src), static_cast<size_t>(n * utype_size(from)));
    return 0;
  }
  if (to == utype_f64) {
    for (int64_t i = 0; i < n; i++) ud_set_f64(dst, i, static_cast<double>(ud_get_int(src, i)));
  } else if (from == utype_f64) {
    for (int64_t i = 0; i < n; i++) ud_set_int(dst, i, float_to_int(ud_get_number(src, i)));
  } else {
    for (int64_t i = 0; i < n; i++) ud_set_int(dst, i, ud_get_int(src, i));
  }
  if (from == utype_f64 || to == utype_f64) return 2 * n;
  if (from == utype_i64 || to == utype_i64) return n;
  return n / 2;
}

std::vector<int64_t> userdata_index_values(const userdata *src, userdata *index) {
  std::vector<int64_t> palette;
  std::unordered_map<int64_t, int> position;
  int64_t n = std::min(ud_count(src), ud_count(index));
  uint8_t *out = ud_elements(index);
  for (int64_t i = 0; i < n; i++) {
    int64_t v = ud_get_int(src, i);
    auto found = position.find(v);
    if (found != position.end()) {
      out[i] = static_cast<uint8_t>(found->second);
    } else if (palette.size() < 256) {
      position.emplace(v, static_cast<int>(palette.size()));
      out[i] = static_cast<uint8_t>(palette.size());
      palette.push_back(v);
    } else {
      out[i] = 255;
    }
  }
  return palette;
}

int64_t userdata_clear(userdata *ud) {
  memset(ud_elements(ud), 0, static_cast<size_t>(ud_data_bytes(ud)));
  return (ud_count(ud) << utype_log2_bits(ud->utype)) >> 9;
}

int userdata_tostring(const userdata *ud, char *out) {
  char *end = out + userdata_text_max - 1;
  uint32_t w = ud->width;
  bool f64 = (ud->utype & utype_mask) == utype_f64;
  if (!f64 || w < 2 || w > 5) {
    auto address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ud));
    char *p = std::to_chars(out + strlen("userdata: 0x"), end, address, 16).ptr;
    memcpy(out, "userdata: 0x", strlen("userdata: 0x"));
    *p = '\0';
    return 0;
  }
  int rows = w == 3 && ud->height == 4 ? 4 : 1;
  char *p = out;
  for (int r = 0; r < rows; r++) {
    if (r > 0) p = std::copy_n(",\n", 2, p);
    *p++ = '(';
    for (uint32_t c = 0; c < w; c++) {
      if (c > 0) p = std::copy_n(", ", 2, p);
      // As "%.14g" prints it.
      p = std::to_chars(p, end, ud_get_number(ud, r * int64_t{w} + c), std::chars_format::general,
                        14)
              .ptr;
    }
    *p++ = ')';
  }
  *p = '\0';
  return rows * static_cast<int>(w);
}
