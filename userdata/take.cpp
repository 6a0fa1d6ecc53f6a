// Gathering by index (take) and the scratch copies of the matrix products.
#include "userdata/take.h"

#include <algorithm>
#include <cstring>

#include "kernel/accounting.h"
#include "kernel/buffer.h"
#include "kernel/numbers.h"

namespace {

// Host work of one run beyond its elements, in element units, for batching.
constexpr int64_t run_overhead = 8;

// Index positions of runs j0.. that lie inside the index userdata end at the
// returned run (the walk starts at the first one that does, `*first`).
int64_t runs_in_range(const ud_take_call &c, int64_t *first) {
  int64_t n = ud_count(c.idx), off = c.t.idx_off, stride = c.t.idx_stride;
  int64_t from = c.j, to = c.runs;
  if (stride > 0) {
    if (off < 0) from = std::max(from, (-off + stride - 1) / stride);
    to = std::min(to, off >= n ? 0 : (n - off + stride - 1) / stride);
  } else {
    // A stride of 0 makes no runs; a negative one at most one (see begin).
    int64_t pos = off + from * stride;
    if (from < to && (pos < 0 || pos >= n)) from = to;
  }
  *first = from;
  return std::max(from, to);
}

// One template over the element type: runs j in [from, to), each copied
// forward one element after the other, so an in-place take reads what earlier
// runs wrote.
template <class T> void copy_runs(ud_take_call &c, int64_t from, int64_t to) {
  const T *src = reinterpret_cast<const T *>(ud_elements(c.src));
  T *dst = reinterpret_cast<T *>(ud_elements(c.dest));
  const int32_t *idx = reinterpret_cast<const int32_t *>(ud_elements(c.idx));
  const int64_t ns = ud_count(c.src), nd = ud_count(c.dest), span = c.t.span;
  for (int64_t j = from; j < to; j++) {
    int64_t J = idx[c.t.idx_off + j * c.t.idx_stride];
    int64_t D = c.t.dest_off + j * c.t.dest_stride;
    if (span == 1 && J >= 0 && J < ns && D >= 0 && D < nd) {  // a table look-up
      dst[D] = src[J];
      c.processed++;
      c.total++;
      continue;
    }
    int64_t lo = std::max<int64_t>({0, -J, -D});
    int64_t hi = std::min({span, ns - J, nd - D});
    int64_t count;
    if (__builtin_sub_overflow(hi, lo, &count)) count = INT64_MIN;
    if (count > 0) {
      const T *s = src + J + lo;
      T *d = dst + D + lo;
      for (int64_t i = 0; i < count; i++) d[i] = s[i];
      c.processed += count;
    }
    c.total = saturating_add(c.total, count);
  }
}

int divisor(const userdata *src) {
  uint8_t t = src->utype & utype_mask;
  return t == utype_i64 || t == utype_f64 ? 12 : 24;
}

buffer *dat_storage[2];
bool temp_dat_inited;

}  // namespace

ud_take_call ud_take_begin(const userdata *src, const userdata *idx, userdata *dest,
                           const ud_take_args &t) {
  ud_take_call c{src, idx, dest, t};
  if (t.idx_stride != 0) {
    auto left = static_cast<uint32_t>(ud_count(idx) - t.idx_off);
    uint32_t quotient = left / static_cast<uint32_t>(t.idx_stride);
    c.runs = static_cast<int32_t>(std::min(static_cast<uint32_t>(t.count), quotient));
  }
  c.done = c.runs <= 0;
  return c;
}

void ud_take_step(ud_take_call &c, int64_t budget) {
  if (c.done) return;
  int64_t from;
  int64_t to = runs_in_range(c, &from);
  // A run copies at most the span, and no more than either userdata holds.
  int64_t most = std::min({c.t.span, ud_count(c.src), ud_count(c.dest)});
  int64_t per_run = std::max<int64_t>(most, 0) + run_overhead;
  to = std::min(to, from + std::max<int64_t>(1, budget / per_run));
  switch (c.src->utype & utype_mask) {
    case utype_u8: copy_runs<uint8_t>(c, from, to); break;
    case utype_i16: copy_runs<int16_t>(c, from, to); break;
    case utype_i32: copy_runs<int32_t>(c, from, to); break;
    case utype_i64: copy_runs<int64_t>(c, from, to); break;
    default: copy_runs<double>(c, from, to); break;
  }
  c.j = to;
  int64_t next;
  if (runs_in_range(c, &next) <= next) {
    c.j = c.runs;
    c.done = true;
  }
}

void ud_take_run(ud_take_call &c) {
  while (!c.done) ud_take_step(c, INT64_MAX);
}

int64_t ud_take_work(const ud_take_call &c) { return c.j / 2 + c.processed / divisor(c.src); }

int64_t ud_take_charge(const ud_take_call &c) {
  if (c.runs <= 0) return c.runs / 2;
  int64_t formula = saturating_add(c.runs / 2, c.total / divisor(c.src));
  int64_t work = ud_take_work(c);
  return work > 0 ? std::max(formula, work) : formula;
}

const double *copy_dat(int index, const double *src, int64_t count) {
  if (!temp_dat_inited) {
    for (buffer *&made : dat_storage)
      if (!made) made = create_buffer_2(1024, 115);
    temp_dat_inited = dat_storage[0] && dat_storage[1];
  }
  buffer *b = dat_storage[index & 1];
  int64_t bytes = std::max<int64_t>(count, 0) * 8;
  if (!b || !ballocate(b, bytes)) return nullptr;
  if (bytes > 0) memcpy(b->data, src, static_cast<size_t>(bytes));
  spend_cpu(count >> 8);
  return reinterpret_cast<const double *>(b->data);
}
