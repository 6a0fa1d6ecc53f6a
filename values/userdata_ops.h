// The core methods of userdata as plain functions over records (mutate, sort,
// convert, clear); userdata_api.cpp reads the script arguments and calls them.
#pragma once

#include <cstdint>
#include <vector>

#include "values/userdata.h"

// Reinterprets the element block in place as `type`, w x h. w <= 0 keeps the
// old row's bytes, h <= 0 the old height. With `set_dims`, dims becomes 2 when
// `two_dims`, else 1. Null on success, else the message, with the record as it
// was (integer <-> float, a larger shape, or a shape with no elements).
const char *userdata_mutate(userdata *ud, uint8_t type, int64_t w, int64_t h, bool set_dims,
                            bool two_dims);

// Sorts the rows (each element is a row of a vector) on the element at
// `column`; f64 keys compare in a total order with NaN above every number.
// Returns the comparisons made, or -1 when the column is outside the row.
int64_t userdata_sort(userdata *ud, int64_t column, bool descending);

// Element-by-element conversion into `dst`, a record of the same shape: integers
// widen with their sign (u8 with zeros) and narrow to their low bits; f64 to an
// integer type floors, then keeps the low bits. Returns the cycles to charge.
int64_t userdata_convert(const userdata *src, userdata *dst);

// Fills `index` (u8, same shape) with each element's position in the palette
// of distinct values met in order, at most 256 (later new values get 255), and
// returns the palette; values are taken as integers (f64 truncated).
std::vector<int64_t> userdata_index_values(const userdata *src, userdata *index);

// Zeroes the elements; returns the cycles to charge (bytes / 64).
int64_t userdata_clear(userdata *ud);

// tostring(ud) into `out` (userdata_text_max bytes, NUL-terminated): an f64
// userdata of width 2, 3, 4 or 5 as its first row's numbers in the "%.14g"
// form, "(1, 2.5)", a 3-wide one of 4 rows as all four rows, one a line;
// anything else as "userdata: 0x" and the record address's low 32 bits in
// hex. Returns the numbers written.
constexpr size_t userdata_text_max = 320;
int userdata_tostring(const userdata *ud, char *out);
