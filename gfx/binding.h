// The shape every drawing binding shares: the draw target with a fresh clip,
// integer arguments cut to 32 bits with the camera subtracted, the colour
// word, and the batch form's records.
#pragma once

#include <algorithm>
#include <cstdint>

#include "gfx/draw_state.h"
#include "kernel/maths.h"
#include "kernel/numbers.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "lua.hpp"
#include "values/userdata.h"

namespace gfx_binding {

constexpr int64_t batch_records_max = 262144;

// Steps 1 and 2 of every drawing binding: the target with a fresh clip.
inline userdata *target() { return cproc ? refresh_clip(cproc) : nullptr; }

// Integer arguments are cut to 32 bits before any arithmetic, so no product
// of coordinates can overflow and no loop runs past the clip.
inline int64_t arg32(lua_State *L, int i, int64_t def) { return saturate_i32(kvt_intp(L, i, def)); }
inline int64_t arg_x(lua_State *L, int i, int64_t def = 0) { return arg32(L, i, def) - peek4(ram_camera_x); }
inline int64_t arg_y(lua_State *L, int i, int64_t def = 0) { return arg32(L, i, def) - peek4(ram_camera_y); }

// Step 4: a numeric colour argument is a colour word; the draw colour after it.
inline int colour_arg(lua_State *L, int i) {
  if (lua_type(L, i) == LUA_TNUMBER) set_colp(kvt_intp(L, i, 0));
  return draw_colour();
}

// Argument 1 when it is an f64 userdata: the batch form.
inline userdata *f64_batch(lua_State *L) {
  userdata *ud = to_userdata(L, 1);
  return ud && (ud->utype & utype_mask) == utype_f64 ? ud : nullptr;
}

// The batch form's records: offset (argument 2, 0), record count (3, the
// array's height, at most 262,144), values per record (4, the array's width,
// at most cap) and stride (5, the width). draw(start, per) draws the record
// whose values are elements start .. start + per - 1; records end where one
// would not fit in the array. Returns the records drawn.
template <typename Draw>
int64_t for_each_batch_record(lua_State *L, const userdata *ud, int64_t cap, Draw draw) {
  int64_t total = ud_count(ud);
  int64_t off = kvt_intp(L, 2, 0);
  int64_t count = std::min(kvt_intp(L, 3, ud->height), batch_records_max);
  int64_t per = std::clamp<int64_t>(kvt_intp(L, 4, ud->width), 0, cap);
  int64_t stride = kvt_intp(L, 5, ud->width);
  int64_t done = 0;
  for (int64_t i = 0; i < count; i++) {
    int64_t step = 0, start = 0;
    if (__builtin_mul_overflow(i, stride, &step) || __builtin_add_overflow(off, step, &start)) break;
    // Both ends: a negative offset or stride never reads before the array.
    if (start < 0 || start > total - per) break;
    draw(start, per);
    done++;
  }
  return done;
}

}  // namespace gfx_binding
