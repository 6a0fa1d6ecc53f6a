// Script API of typed-array arithmetic: argument readers around
// userdata/elementwise, userdata/take and userdata/linalg.
#include "userdata/userdata_arith_api.h"

#include <algorithm>

#include "kernel/accounting.h"
#include "kernel/maths.h"
#include "userdata/elementwise.h"
#include "userdata/linalg.h"
#include "userdata/take.h"
#include "values/userdata.h"

namespace {

// Elements (or multiply-adds) done between two charges of a long call.
constexpr int64_t charge_step = 1 << 20;

// Charges a long call as it goes, so that a slice past its limit stops in the
// middle of it, and settles the call's own charge at the end. A call that
// never needed a step is charged exactly once, by its own rule.
struct charge_meter {
  lua_State *L;
  int64_t charged = 0;
  void owe(int64_t work) {
    if (work <= charged) return;
    int64_t more = work - charged;
    charged = work;
    spend_cpu_or_stop(L, more);
  }
  void finish(int64_t total) {
    if (charged == 0) spend_cpu(total);
    else if (total > charged) spend_cpu(total - charged);
  }
};

uint8_t type_of(const userdata *ud) { return ud->utype & utype_mask; }
bool is_f64(const userdata *ud) { return ud && type_of(ud) == utype_f64; }

// Integer arguments 4 to 9 of the element-wise calls and take: floored, then
// cut to 32 bits. Most calls pass none of them, so an argument beyond the last
// one given is its default without a look at the stack.
int64_t arg_i32(lua_State *L, int top, int index, int64_t def) {
  return static_cast<int32_t>(index <= top ? kvt_intp(L, index, def) : def);
}

// A script value as the scalar of the element type: integers (also integral
// floats and numeric strings) exactly, so i64 keeps all 64 bits; other numbers
// truncated; -0.0 and fractions kept for f64; anything else 0.
ud_scalar scalar_of(lua_State *L, int index, uint8_t type) {
  int ok = 0;
  if (type != utype_f64) {
    lua_Integer i = lua_tointegerx(L, index, &ok);
    if (ok) return ud_scalar_from_integer(i, type);
  }
  double v = lua_tonumberx(L, index, &ok);
  return ud_scalar_from_number(ok ? v : 0.0, type);
}

// The destination argument: a userdata (refused, with *refused set, when its
// element type or shape does not fit), else `self` when the argument is true,
// else null. *index is where the result sits on the stack.
userdata *destination_argument(lua_State *L, int top, int arg, userdata *self, int self_index,
                               int *index, bool *refused) {
  *refused = false;
  *index = self_index;
  if (arg > top) return nullptr;
  if (userdata *d = to_userdata(L, arg)) {
    *index = arg;
    *refused = type_of(d) != type_of(self);
    return d;
  }
  return lua_toboolean(L, arg) ? self : nullptr;
}

int elementwise(lua_State *L, ud_op op) {
  int top = lua_gettop(L);
  userdata *u1 = to_userdata(L, 1), *u2 = top >= 2 ? to_userdata(L, 2) : nullptr;
  if (!u1 && !u2) return 0;
  uint8_t type = type_of(u1 ? u1 : u2);
  bool missing = top < 2 || lua_isnil(L, 2);
  if (missing && ud_op_needs_second(op)) return 0;
  if (u1 && u2 && type_of(u2) != type) return 0;
  if (!ud_op_accepts(op, type)) return 0;

  // Field by field: a braced initialiser zeroes the whole record first.
  ud_elementwise_call c;
  c.op = op;
  c.a = u1 ? u1 : u2;
  c.b = nullptr;
  c.dest = nullptr;
  c.scalar_left = !u1;
  if (!u1) c.scalar = scalar_of(L, 1, type);  // the number on the left
  if (u1 && u2) c.b = u2;
  else if (u1 && missing && ud_op_takes_source(op)) c.b = u1;
  else if (u1 && lua_type(L, 2) == LUA_TNUMBER) c.scalar = scalar_of(L, 2, type);

  int dest_index;
  bool refused;
  userdata *first = const_cast<userdata *>(c.a);
  c.dest = destination_argument(L, top, 3, first, u1 ? 1 : 2, &dest_index, &refused);
  if (refused || (c.dest && (c.dest->width != first->width || c.dest->height != first->height)))
    return 0;
  c.s.b_off = arg_i32(L, top, 4, 0);
  c.s.off = arg_i32(L, top, 5, 0);
  c.s.span = arg_i32(L, top, 6, 0x1000000);
  c.s.b_stride = arg_i32(L, top, 7, 1);
  c.s.stride = arg_i32(L, top, 8, 1);
  c.s.spans = arg_i32(L, top, 9, 1);

  if (c.dest) {
    lua_pushvalue(L, dest_index);
  } else {
    c.dest = push_duplicate_userdata(L, first);
    spend_cpu(ud_count(first) >> 7);
  }
  spend_cpu(elementwise_call_cycles);
  charge_meter meter{L};
  ud_elementwise_step(c, charge_step);
  while (!c.done) {
    meter.owe(ud_elementwise_work(c));
    ud_elementwise_step(c, charge_step);
  }
  meter.finish(ud_elementwise_charge(c));
  return 1;
}

}  // namespace

int lua54_ud_add(lua_State *L) { return elementwise(L, ud_add); }
int lua54_ud_sub(lua_State *L) { return elementwise(L, ud_sub); }
int lua54_ud_mul(lua_State *L) { return elementwise(L, ud_mul); }
int lua54_ud_div(lua_State *L) { return elementwise(L, ud_div); }
int lua54_ud_idiv(lua_State *L) { return elementwise(L, ud_idiv); }
int lua54_ud_mod(lua_State *L) { return elementwise(L, ud_mod); }
int lua54_ud_pow(lua_State *L) { return elementwise(L, ud_pow); }
int lua54_ud_band(lua_State *L) { return elementwise(L, ud_band); }
int lua54_ud_bor(lua_State *L) { return elementwise(L, ud_bor); }
int lua54_ud_bxor(lua_State *L) { return elementwise(L, ud_bxor); }
int lua54_ud_shl(lua_State *L) { return elementwise(L, ud_shl); }
int lua54_ud_shr(lua_State *L) { return elementwise(L, ud_shr); }
int lua54_ud_max(lua_State *L) { return elementwise(L, ud_max); }
int lua54_ud_min(lua_State *L) { return elementwise(L, ud_min); }
int lua54_ud_abs(lua_State *L) { return elementwise(L, ud_abs); }
int lua54_ud_sgn(lua_State *L) { return elementwise(L, ud_sgn); }
int lua54_ud_sgn0(lua_State *L) { return elementwise(L, ud_sgn0); }

int lua54_ud_copy(lua_State *L) {
  userdata *b = to_userdata(L, 2);
  if (b && type_of(b) == utype_i32) return lua54_ud_take(L);
  return elementwise(L, ud_copy);
}

int lua54_ud_take(lua_State *L) {
  userdata *idx = to_userdata(L, 2);
  if (!idx || type_of(idx) != utype_i32) return 0;
  userdata *src = to_userdata(L, 1);
  if (!src) return 0;
  int dest_index;
  bool refused;
  int top = lua_gettop(L);
  userdata *dest = destination_argument(L, top, 3, src, 1, &dest_index, &refused);
  if (refused) return 0;
  ud_take_args t;
  t.idx_off = arg_i32(L, top, 4, 0);
  t.dest_off = arg_i32(L, top, 5, 0);
  t.span = arg_i32(L, top, 6, 1);
  t.idx_stride = arg_i32(L, top, 7, 1);
  t.dest_stride = arg_i32(L, top, 8, t.span);
  t.count = arg_i32(L, top, 9, t.span == 1 ? int64_t{idx->width} * idx->height : idx->width);

  if (dest) {
    lua_pushvalue(L, dest_index);
  } else {
    // One element per index in the index userdata's shape, or one run a row.
    const char *type = get_utype_string(type_of(src));
    dest = t.span == 1 ? create_userdata(L, type, idx->dims == 1 ? 1 : 2, idx->width, idx->height, 1)
                       : create_userdata(L, type, 2, t.span, t.count, 1);
    if (!dest) return 0;
  }
  ud_take_call c = ud_take_begin(src, idx, dest, t);
  spend_cpu(elementwise_call_cycles);
  charge_meter meter{L};
  ud_take_step(c, charge_step);
  while (!c.done) {
    meter.owe(ud_take_work(c));
    ud_take_step(c, charge_step);
  }
  meter.finish(ud_take_charge(c));
  return 1;
}

/* ---------------------------------------------------------------------- */
/* vectors and matrices                                                   */
/* ---------------------------------------------------------------------- */

namespace {

const double *f64_elements(const userdata *ud) {
  return reinterpret_cast<const double *>(ud_elements(ud));
}
double *f64_elements(userdata *ud) { return reinterpret_cast<double *>(ud_elements(ud)); }

// The products read an operand that is also their destination from a scratch
// copy (slot 0 for the first operand, 1 for the second); null when the host
// has no memory for it.
const double *unaliased(const userdata *operand, const userdata *dest, int slot) {
  if (operand != dest) return f64_elements(operand);
  return copy_dat(slot, f64_elements(operand), ud_count(operand));
}

// The destination of cross, matmul, matmul3d and matmul2d: an f64 userdata
// argument, or the first operand for another true value; null when there is
// none. *refused for a userdata of another element type.
userdata *product_destination(lua_State *L, userdata *a, bool *refused) {
  int index;
  return destination_argument(L, lua_gettop(L), 3, a, 1, &index, refused);
}

// The affine transforms: `n` is 3 (matmul3d, translation in row 3) or 2.
int affine(lua_State *L, int n) {
  userdata *a = to_userdata(L, 1), *m = to_userdata(L, 2);
  if (!is_f64(a) || !is_f64(m)) return 0;
  bool refused;
  userdata *d = product_destination(L, a, &refused);
  if (refused) return 0;
  if (d == a && a->width < static_cast<uint32_t>(n)) return 0;
  if (m->width < static_cast<uint32_t>(n) || m->height != static_cast<uint32_t>(n + 1) ||
      m->depth != 1)
    return 0;
  if (a->width < static_cast<uint32_t>(n) ||
      (a->height != 1 && a->height != static_cast<uint32_t>(n + 1)))
    return 0;
  if (d && (d->width < static_cast<uint32_t>(n) || d->height < a->height)) return 0;
  if (d) lua_pushvalue(L, d == a ? 1 : 3);
  else d = push_duplicate_userdata(L, a);
  const double *ae = unaliased(a, d, 0), *me = unaliased(m, d, 1);
  if (!ae || !me) return 0;  // no host memory for the scratch copy
  if (n == 3) ud_matmul3d(ae, a->width, a->height, me, m->width, f64_elements(d), d->width);
  else ud_matmul2d(ae, a->width, a->height, me, m->width, f64_elements(d), d->width);
  bool point = a->height == 1;
  spend_cpu(point ? 1 : n == 3 ? 4 : 2);
  return 1;
}

}  // namespace

constexpr int64_t lerp_cycles = 8;

int lua54_ud_lerp(lua_State *L) {
  userdata *ud = to_userdata(L, 1);
  if (!ud) return 0;
  int64_t offset = kvt_intp(L, 2, 0);
  int64_t steps = kvt_intp(L, 3, int64_t{ud->width} - 1);
  int64_t stride = kvt_intp(L, 4, 1);
  int64_t rows = kvt_intp(L, 5, ud->height);
  int64_t row_stride = kvt_intp(L, 6, ud->width);
  int64_t written;
  if (!ud_lerp(ud, offset, steps, stride, rows, row_stride, &written)) return 0;
  // Bounded by the element count, but charged all the same, so that no loop
  // of calls runs free: a division per element written, and the call's own
  // reading of its six arguments.
  spend_cpu(lerp_cycles + written / 2);
  lua_settop(L, 1);
  return 1;
}

int lua54_ud_magnitude(lua_State *L) {
  userdata *a = to_userdata(L, 1);
  if (!is_f64(a)) return 0;
  lua_pushnumber(L, ud_magnitude(f64_elements(a), a->width));
  spend_cpu(a->width / 8 + root_call_cycles + a->width / sum_steps_per_cycle);
  return 1;
}

int lua54_ud_distance(lua_State *L) {
  userdata *a = to_userdata(L, 1), *b = to_userdata(L, 2);
  if (!is_f64(a) || !is_f64(b)) return 0;
  int64_t n = std::min(a->width, b->width);
  lua_pushnumber(L, ud_distance(f64_elements(a), f64_elements(b), n));
  spend_cpu(n / 8 + root_call_cycles + n / sum_steps_per_cycle);
  return 1;
}

int lua54_ud_dot(lua_State *L) {
  userdata *a = to_userdata(L, 1), *b = to_userdata(L, 2);
  if (!is_f64(a) || !is_f64(b)) return 0;
  int64_t n = std::min(a->width, b->width);
  lua_pushnumber(L, ud_dot(f64_elements(a), f64_elements(b), n));
  spend_cpu(n / 8 + 1 + n / sum_steps_per_cycle);
  return 1;
}

int lua54_ud_cross(lua_State *L) {
  userdata *a = to_userdata(L, 1), *b = to_userdata(L, 2);
  if (!is_f64(a) || !is_f64(b)) return 0;
  bool refused;
  userdata *d = product_destination(L, a, &refused);
  if (refused || a->width < 3 || b->width < 3 || (d && d->width < 3)) return 0;
  if (d) lua_pushvalue(L, d == a ? 1 : 3);
  else d = push_duplicate_userdata(L, b);
  ud_cross(f64_elements(a), f64_elements(b), f64_elements(d));
  spend_cpu(2);
  return 1;
}

int lua54_ud_matmul(lua_State *L) {
  userdata *a = to_userdata(L, 1), *b = to_userdata(L, 2);
  if (!is_f64(a) || !is_f64(b) || a->width != b->height) return 0;
  bool refused;
  userdata *d = product_destination(L, a, &refused);
  if (refused) return 0;
  if (d) {
    if (d->width != b->width || d->height != a->height || d->depth != 1) return 0;
    lua_pushvalue(L, d == a ? 1 : 3);
  } else {
    d = create_userdata(L, "f64", 2, b->width, a->height, 1);
    if (!d) return 0;
  }
  const double *ae = unaliased(a, d, 0), *be = unaliased(b, d, 1);
  if (!ae || !be) return 0;  // no host memory for the scratch copy
  // A row is at most the size of a userdata of multiply-adds; long products
  // are charged row by row.
  int64_t per_row = int64_t{a->width} * b->width;
  int64_t rows_a_step = std::max<int64_t>(1, charge_step / std::max<int64_t>(per_row, 1));
  auto cost = [&](int64_t rows) {
    return ((rows * per_row) >> 3) + rows * a->width / sum_steps_per_cycle;
  };
  charge_meter meter{L};
  for (int64_t row = 0; row < a->height; row += rows_a_step) {
    if (row > 0) meter.owe(cost(row));
    int64_t end = std::min<int64_t>(a->height, row + rows_a_step);
    ud_matmul_rows(ae, be, f64_elements(d), a->width, b->width, row, end);
  }
  meter.finish(cost(a->height));
  return 1;
}

int lua54_ud_matmul3d(lua_State *L) { return affine(L, 3); }
int lua54_ud_matmul2d(lua_State *L) { return affine(L, 2); }

int lua54_ud_transpose(lua_State *L) {
  userdata *s = to_userdata(L, 1);
  if (!s) return 0;
  userdata *d = to_userdata(L, 2);
  int64_t moved;
  if (d == s || (!d && lua_toboolean(L, 2))) {
    moved = ud_transpose_in_place(s);
    lua_settop(L, 1);
  } else {
    if (d) {
      if (type_of(d) != type_of(s)) return 0;
      lua_pushvalue(L, 2);
    } else {
      d = create_userdata(L, get_utype_string(type_of(s)), 2, s->height, s->width, 1);
      if (!d) return 0;
    }
    moved = ud_transpose(s, d);
  }
  // Bounded by the element count, but charged so that no loop runs free.
  if (moved > 0) spend_cpu(moved / 8);
  return 1;
}

int lua54_ud_row(lua_State *L) {
  userdata *s = to_userdata(L, 1);
  if (!s) return 0;
  int64_t i = kvt_intp(L, 2, -1);
  if (i < 0 || i >= s->height) return 0;
  userdata *d = create_userdata(L, get_utype_string(type_of(s)), 2, s->width, 1, 1);
  if (!d) return 0;
  ud_row(s, i, d);
  spend_cpu(s->width >> 2);
  return 1;
}

int lua54_ud_column(lua_State *L) {
  userdata *s = to_userdata(L, 1);
  if (!s) return 0;
  int64_t i = kvt_intp(L, 2, -1);
  if (i < 0 || i >= s->width) return 0;
  userdata *d = create_userdata(L, get_utype_string(type_of(s)), 2, 1, s->height, 1);
  if (!d) return 0;
  ud_column(s, i, d);
  spend_cpu(s->height >> 1);
  return 1;
}
