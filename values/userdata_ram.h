// Userdata elements to and from a process's RAM (ud:peek and ud:poke): whole
// runs of bytes at a time, with the result of one peek or poke per element.
#pragma once

#include <cstdint>

#include "values/userdata.h"

// Elements offset .. offset + count - 1 of ud (0 <= offset, offset + count <=
// the element count; callers check) read from or written to the current
// process's RAM, element i
// at the 32-bit address addr + i x size, every byte's address wrapped into
// the 16 MB as peek and poke wrap it. Pages are allocated as those reads and
// writes allocate them. Without RAM the elements read 0 and nothing is
// written. Return the cycles the move costs beyond the per-element charge of
// the call: 0, or one a element when the RAM range is a window onto ud itself
// and the move goes element by element.
int64_t userdata_peek(userdata *ud, int64_t addr, int64_t offset, int64_t count);
int64_t userdata_poke(const userdata *ud, int64_t addr, int64_t offset, int64_t count);
