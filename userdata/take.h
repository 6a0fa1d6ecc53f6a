// Gathering by index (take) and the scratch copies of the matrix products.
#pragma once

#include <cstdint>

#include "values/userdata.h"

// Offsets, run length, strides and run count of a take, in elements.
struct ud_take_args {
  int64_t idx_off = 0, dest_off = 0, span = 1, idx_stride = 1, dest_stride = 1, count = 1;
};

// One take in progress: runs of `span` elements copied from src[idx[p]] to
// dest, p stepping through the index userdata (i32). `dest` has src's element
// type (callers check).
struct ud_take_call {
  const userdata *src;
  const userdata *idx;
  userdata *dest;
  ud_take_args t;
  int64_t runs = 0;  // runs to make, as the count rule gives them
  // Progress: runs walked, the sum of the run counts (negative for runs cut
  // before they start), the elements copied.
  int64_t j = 0, total = 0, processed = 0;
  bool done = false;
};

// Sets up a call: the number of runs is the smaller of count and the index
// positions left over the index stride, in unsigned 32-bit arithmetic read back
// as signed. An index stride of 0 makes no runs.
ud_take_call ud_take_begin(const userdata *src, const userdata *idx, userdata *dest,
                           const ud_take_args &t);
// Makes runs in order until the call is done or about `budget` elements have
// been visited. Runs whose index position lies outside the index userdata are
// skipped; source and destination runs are cut at either userdata's ends (both
// starts move together past index 0).
void ud_take_step(ud_take_call &c, int64_t budget);
void ud_take_run(ud_take_call &c);
// Cycles owed so far, and the whole charge once done: runs / 2 plus the total
// over 12 (i64, f64) or 24 (u8, i16, i32), never less than the work done.
int64_t ud_take_work(const ud_take_call &c);
int64_t ud_take_charge(const ud_take_call &c);

// Copies `count` doubles into scratch buffer `index` (0 or 1), charges
// count >> 8 and returns the copy, valid until the next call with that index.
// The two buffers are made on the first call and kept for the program's life;
// null when the host has no memory for them.
const double *copy_dat(int index, const double *src, int64_t count);
