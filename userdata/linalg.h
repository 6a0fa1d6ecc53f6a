// Vectors and matrices on typed arrays: interpolation along rows, lengths,
// distances and products, affine transforms, transposes, rows and columns.
// Matrices are row-major (element (r, c) at r x width + c); points are row
// vectors multiplied from the left. userdata_arith_api.cpp checks shapes and
// types and reads the script arguments.
#pragma once

#include <cstdint>

#include "values/userdata.h"

// Interpolates each of `rows` rows (starting `row_stride` elements apart from
// `offset`) between its first element and the one `steps` x `stride` further:
// element j x stride becomes ((last - first) x j) / steps + first in double
// precision, truncated toward zero for integer types (the full signed
// difference, never reduced to the element's width). False, with nothing
// changed, when an argument is below its least value (offset 0, the others 1)
// or the last element lies past the end. Sets *written to the elements written.
bool ud_lerp(userdata *ud, int64_t offset, int64_t steps, int64_t stride, int64_t rows,
             int64_t row_stride, int64_t *written);

// f64 vectors along their first row: sums in double precision in element
// order. distance rounds each difference to single precision and squares it
// there before adding it to the double sum. `n` elements.
double ud_magnitude(const double *a, int64_t n);
double ud_distance(const double *a, const double *b, int64_t n);
double ud_dot(const double *a, const double *b, int64_t n);
// d[0..2] = a x b; all six inputs are read before anything is written.
void ud_cross(const double *a, const double *b, double *d);

// Rows [row0, row1) of d = a x b, with a `a_w` wide and b (and d) `b_w` wide:
// d[i][j] = sum over k of a[i][k] x b[k][j], added in order of k to 0. d must
// not overlap a or b (callers pass scratch copies).
void ud_matmul_rows(const double *a, const double *b, double *d, int64_t a_w, int64_t b_w,
                    int64_t row0, int64_t row1);

// Affine transforms by m (rows of width m_w). A point (a_rows 1) gets the
// translation row; a matrix (a_rows 4, or 3 in 2-D) gets it only in its last
// row. a, m and d may overlap only when callers copied the inputs first.
void ud_matmul3d(const double *a, int64_t a_w, int64_t a_rows, const double *m, int64_t m_w,
                 double *d, int64_t d_w);
void ud_matmul2d(const double *a, int64_t a_w, int64_t a_rows, const double *m, int64_t m_w,
                 double *d, int64_t d_w);

// In place: swaps (r, c) with (c, r) inside the leading square, rows `width`
// apart. Returns the elements moved.
int64_t ud_transpose_in_place(userdata *ud);
// d[j][m] = s[m][j] for the rows and columns both shapes hold; d has s's
// element type and is another userdata. Returns the elements written.
int64_t ud_transpose(const userdata *s, userdata *d);

// Row i into d (width elements) and column i into d (height elements); d has
// s's element type and room for them.
void ud_row(const userdata *s, int64_t i, userdata *d);
void ud_column(const userdata *s, int64_t i, userdata *d);
