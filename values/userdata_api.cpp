// Script API of userdata: argument readers around values/userdata and
// values/userdata_ops.
#include "values/userdata_api.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "kernel/accounting.h"
#include "kernel/maths.h"
#include "values/userdata.h"
#include "values/userdata_ops.h"
#include "values/userdata_ram.h"

namespace {

// Component letters of one-character keys: x y z u v w t -> 0..6; else -1.
int component_index(char c) {
  switch (c) {
    case 'x': return 0;
    case 'y': return 1;
    case 'z': return 2;
    case 'u': return 3;
    case 'v': return 4;
    case 'w': return 5;
    case 't': return 6;
    default: return -1;
  }
}

// A type-name argument: a string, or a number as its text; else absent ("").
std::string_view type_argument(lua_State *L, int index) {
  int t = lua_type(L, index);
  if (t != LUA_TSTRING && t != LUA_TNUMBER) return {};
  size_t n;
  const char *s = lua_tolstring(L, index, &n);
  return {s, n};
}

// A number argument as a double: a number, a numeric string converted, else 0.
double number_or_zero(lua_State *L, int index) {
  int ok;
  double v = lua_tonumberx(L, index, &ok);
  return ok ? v : 0.0;
}

// Stores a script value into element i as the type requires.
void store_value(lua_State *L, userdata *ud, int64_t i, int index, bool numbers_only) {
  if ((ud->utype & utype_mask) == utype_f64) {
    ud_set_f64(ud, i, numbers_only ? kvt_number(L, index, 0.0) : number_or_zero(L, index));
  } else {
    ud_set_int(ud, i, kvt_intp(L, index, 0));
  }
}

// Flat index of (x, y, z), or -1 when a coordinate is out of range.
int64_t flat_index(const userdata *ud, int64_t x, int64_t y, int64_t z) {
  if (x < 0 || x >= ud->width || y < 0 || y >= ud->height || z < 0 || z >= ud->depth) return -1;
  return (z * ud->height + y) * ud->width + x;
}

// Element index of an __index / __newindex key, or -1 for no element.
int64_t key_index(lua_State *L, const userdata *ud, bool floor_numbers) {
  int64_t i = -1;
  switch (lua_type(L, 2)) {
    case LUA_TSTRING: {
      size_t n;
      const char *s = lua_tolstring(L, 2, &n);
      if (n == 1) i = component_index(s[0]);
      break;
    }
    case LUA_TNUMBER:
      // Both sides floor a fractional key; a read takes the key's low 32 bits
      // as a signed index (so u[2^32] is element 0), a write the whole key.
      i = floor_numbers || !lua_isinteger(L, 2) ? kvt_intp(L, 2, -1) : lua_tointeger(L, 2);
      if (!floor_numbers) i = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(i)));
      break;
    default:
      break;
  }
  return i >= 0 && i < ud_count(ud) ? i : -1;
}

}  // namespace

/* ---------------------------------------------------------------------- */
/* globals                                                                */
/* ---------------------------------------------------------------------- */

int lua54_userdata(lua_State *L) {
  int nargs = lua_gettop(L);
  std::string_view type = type_argument(L, 1);
  int data_index = nargs <= 3 ? 3 : 4;
  std::optional<std::string_view> data;
  if (lua_type(L, data_index) == LUA_TSTRING) {
    size_t n;
    const char *s = lua_tolstring(L, data_index, &n);
    data = std::string_view(s, n);
  }
  // Kept in 64 bits: a size beyond 32 bits is refused, not wrapped.
  int64_t width = kvt_truncp(L, 2, -1);
  int64_t height = kvt_truncp(L, 3, -1);
  int dims = nargs - 2 + (data ? 0 : 1) < 2 ? 1 : 2;
  return create_userdata(L, type, dims, width, height, 1, data) ? 1 : 0;
}

int lua54_vec(lua_State *L) {
  if (lua_type(L, 1) != LUA_TNUMBER) return 0;
  int n = lua_gettop(L);
  userdata *ud = create_userdata(L, "f64", 1, n, 1, 1);
  if (!ud) return 0;
  for (int i = 0; i < n; i++) ud_set_f64(ud, i, number_or_zero(L, i + 1));
  spend_cpu(n / moved_values_per_cycle);
  return 1;
}

int lua54_get(lua_State *L) {
  userdata *ud = to_userdata(L, 1);
  if (!ud) return 0;
  spend_cpu(userdata_call_cycles);
  int dims = ud->dims;
  int64_t x = kvt_intp(L, 2, 0);
  int64_t y = dims >= 2 ? kvt_intp(L, 3, 0) : 0;
  int64_t z = dims >= 3 ? kvt_intp(L, 4, 0) : 0;
  int64_t n = lua_type(L, 2) == LUA_TNUMBER ? kvt_intp(L, 2 + dims, 1) : ud_count(ud);
  if (n < 1) return 0;
  if (n > INT32_MAX || !lua_checkstack(L, static_cast<int>(n))) {
    char line[96];
    int length = snprintf(line, sizeof line,
                          " ********** too many get() results (%" PRId64
                          ") stack limit reached **********\n",
                          n);
    spend_host_line(L, static_cast<size_t>(length));
    fputs(line, stdout);
    return 0;
  }
  int64_t at = flat_index(ud, x, y, z);
  if (at < 0) {
    lua_pushnumber(L, 0.0);
    return 1;
  }
  int64_t k = std::min(n, ud_count(ud) - at);
  push_ud_elements(L, ud, at, k);
  for (int64_t i = k; i < n; i++) lua_pushinteger(L, 0);
  spend_cpu_or_stop(L, n / 2 + n / moved_values_per_cycle);
  return static_cast<int>(n);
}

int lua54_set(lua_State *L) {
  userdata *ud = to_userdata(L, 1);
  if (!ud) return 0;
  int dims = ud->dims;
  int64_t x = kvt_truncp(L, 2, 0);
  int64_t y = dims >= 2 ? kvt_truncp(L, 3, 0) : 0;
  int64_t z = dims >= 3 ? kvt_truncp(L, 4, 0) : 0;
  int64_t at = flat_index(ud, x, y, z);
  int first = dims + 2;
  int64_t n = at < 0 ? 0 : std::min<int64_t>(lua_gettop(L) - first + 1, ud_count(ud) - at);
  for (int64_t i = 0; i < n; i++) store_value(L, ud, at + i, first + static_cast<int>(i), true);
  spend_cpu(userdata_call_cycles + std::max<int64_t>(n, 0) / moved_values_per_cycle);
  return 0;
}

/* ---------------------------------------------------------------------- */
/* methods                                                                */
/* ---------------------------------------------------------------------- */

int lua54_ud_len(lua_State *L) {
  userdata *ud = to_userdata(L, 1);
  if (!ud) return 0;
  lua_pushinteger(L, ud_count(ud));
  return 1;
}

int lua54_ud_tostring(lua_State *L) {
  userdata *ud = to_userdata(L, 1);
  if (!ud) return 0;
  char text[userdata_text_max];
  int numbers = userdata_tostring(ud, text);
  lua_pushstring(L, text);
  spend_cpu(numbers * tostring_number_cycles);
  return 1;
}

int lua54_ud_index(lua_State *L) {
  userdata *ud = to_userdata(L, 1);
  if (!ud) return 0;
  if (lua_type(L, 2) == LUA_TSTRING && lua_rawlen(L, 2) > 1) {
    // A method name: the metatable's field, read raw.
    if (!lua_getmetatable(L, 1)) return 0;
    lua_pushvalue(L, 2);
    lua_rawget(L, -2);
    return 1;
  }
  int64_t i = key_index(L, ud, false);
  if (i < 0) return 0;
  push_ud_element(L, ud, i);
  return 1;
}

int lua54_ud_newindex(lua_State *L) {
  userdata *ud = to_userdata(L, 1);
  if (!ud) return 0;
  int64_t i = key_index(L, ud, true);
  if (i >= 0) store_value(L, ud, i, 3, false);
  return 0;
}

namespace {

// The elements ud:f(addr, offset, count) moves; f64 is never moved through the
// RAM.
struct ram_span {
  userdata *ud;
  int64_t addr, offset, count;
};

bool read_ram_span(lua_State *L, ram_span *s) {
  s->ud = to_userdata(L, 1);
  if (!s->ud || (s->ud->utype & utype_mask) == utype_f64) return false;
  s->addr = kvt_intp(L, 2, 0);
  s->offset = std::max<int64_t>(kvt_intp(L, 3, 0), 0);
  s->count = std::min(ud_count(s->ud) - s->offset, kvt_intp(L, 4, ud_count(s->ud)));
  return true;
}

// Charges the elements moved and returns the userdata.
int finish_ram_span(lua_State *L, const ram_span &s, int64_t extra) {
  if (s.count > 0) spend_cpu_or_stop(L, (s.count >> 2) + extra);
  lua_settop(L, 1);
  return 1;
}

}  // namespace

int lua54_ud_peek(lua_State *L) {
  ram_span s;
  if (!read_ram_span(L, &s)) return 0;
  int64_t extra = s.count > 0 ? userdata_peek(s.ud, s.addr, s.offset, s.count) : 0;
  return finish_ram_span(L, s, extra);
}

int lua54_ud_poke(lua_State *L) {
  ram_span s;
  if (!read_ram_span(L, &s)) return 0;
  int64_t extra = s.count > 0 ? userdata_poke(s.ud, s.addr, s.offset, s.count) : 0;
  return finish_ram_span(L, s, extra);
}

int lua54_ud_width(lua_State *L) {
  userdata *ud = to_userdata(L, 1);
  if (!ud) return 0;
  lua_pushinteger(L, ud->width);
  spend_cpu(shape_call_cycles);
  return 1;
}

int lua54_ud_height(lua_State *L) {
  userdata *ud = to_userdata(L, 1);
  if (!ud) return 0;
  if (ud->dims > 1) lua_pushinteger(L, ud->height);
  else lua_pushnil(L);
  spend_cpu(shape_call_cycles);
  return 1;
}

int lua54_ud_attribs(lua_State *L) {
  userdata *ud = to_userdata(L, 1);
  if (!ud) return 0;
  lua_pushinteger(L, ud->width);
  lua_pushinteger(L, ud->dims > 1 ? ud->height : 1);
  lua_pushstring(L, get_utype_string(ud->utype & utype_mask));
  lua_pushinteger(L, ud->dims);
  spend_cpu(userdata_call_cycles);
  return 4;
}

int lua54_ud_mutate(lua_State *L) {
  userdata *ud = to_userdata(L, 1);
  if (!ud) return 0;
  uint8_t type = str_to_utype(type_argument(L, 2));
  int64_t w = kvt_truncp(L, 3, 0);
  int64_t h = kvt_truncp(L, 4, 0);
  bool w_numeric = lua_isnumber(L, 3), h_numeric = lua_isnumber(L, 4);
  if (w_numeric && !h_numeric) h = 1;
  const char *message = userdata_mutate(ud, type, w, h, w_numeric, h_numeric);
  spend_cpu(userdata_call_cycles);
  if (!message) return 0;
  lua_pushstring(L, message);
  return 1;
}

int lua54_ud_sort(lua_State *L) {
  userdata *ud = to_userdata(L, 1);
  if (!ud) return 0;
  bool descending = lua_gettop(L) >= 3 && lua_toboolean(L, 3);
  int64_t compares = userdata_sort(ud, kvt_intp(L, 2, 0), descending);
  if (compares < 0) return 0;
  spend_cpu_or_stop(L, userdata_call_cycles + compares);
  lua_pushinteger(L, compares);
  return 1;
}

int lua54_ud_convert(lua_State *L) {
  userdata *src = to_userdata(L, 1);
  if (!src) return 0;
  std::string_view type = type_argument(L, 2);
  if (lua_toboolean(L, 3) && lua_type(L, 2) == LUA_TSTRING && type == "u8") {
    userdata *index = create_userdata(L, "u8", src->dims, src->width, src->height, src->depth);
    if (!index) return 0;
    std::vector<int64_t> palette = userdata_index_values(src, index);
    uint8_t src_type = src->utype & utype_mask;
    userdata *colours = create_userdata(L, get_utype_string(src_type), 1,
                                        static_cast<int64_t>(palette.size()), 1, 1);
    if (!colours) return 0;
    for (size_t i = 0; i < palette.size(); i++) {
      auto at = static_cast<int64_t>(i);
      if (src_type == utype_f64) ud_set_f64(colours, at, static_cast<double>(palette[i]));
      else ud_set_int(colours, at, palette[i]);
    }
    spend_cpu_or_stop(L, ud_count(src));
    return 2;
  }
  userdata *dst = create_userdata(L, get_utype_string(str_to_utype(type)), src->dims, src->width,
                                  src->height, src->depth);
  if (!dst) return 0;
  int64_t cost = userdata_convert(src, dst);
  if (dst->utype != src->utype) spend_cpu_or_stop(L, cost);
  return 1;
}

int lua54_ud_clear(lua_State *L) {
  userdata *ud = to_userdata(L, 1);
  if (!ud) return 0;
  spend_cpu_or_stop(L, userdata_clear(ud));
  return 0;
}
