// Script-API functions of maths, random, tables and strings: thin readers of
// arguments. add, del, deli and count work on the Lua table itself, as the
// table library does.
#include "kernel/maths_api.h"

#include <climits>
#include <cmath>
#include <string>

#include "kernel/accounting.h"
#include "kernel/maths.h"
#include "kernel/numbers.h"
#include "kernel/process.h"

namespace {

// What one piece of split costs beyond the byte it was charged for.
constexpr int64_t split_piece_cycles = 40;
// What del and count pay for each element of the table: a read and a
// comparison through the API (for del's later elements, a read and a write).
constexpr int64_t scan_element_cycles = 3;

/* the table library's argument check: a table, or a value whose metatable
   has the metamethods the operation needs */
constexpr int tab_r = 1, tab_w = 2, tab_l = 4;

bool has_field(lua_State *L, const char *key, int n) {
  lua_pushstring(L, key);
  return lua_rawget(L, -n) != LUA_TNIL;
}

void check_table(lua_State *L, int arg, int what) {
  if (lua_type(L, arg) == LUA_TTABLE) return;
  int n = 1;
  if (lua_getmetatable(L, arg) && (!(what & tab_r) || has_field(L, "__index", ++n)) &&
      (!(what & tab_w) || has_field(L, "__newindex", ++n)) &&
      (!(what & tab_l) || has_field(L, "__len", ++n)))
    lua_pop(L, n);
  else
    luaL_checktype(L, arg, LUA_TTABLE);  // raises the standard error
}

// A table without a metatable: its reads and writes need no metamethods.
bool plain_table(lua_State *L, int arg) {
  if (lua_type(L, arg) != LUA_TTABLE) return false;
  if (!lua_getmetatable(L, arg)) return true;
  lua_pop(L, 1);
  return false;
}

// A scan of `size` elements (a length below 0 scans nothing, as spend_cpu
// takes it; a huge one saturates the charge).
int64_t scan_charge(lua_Integer size) {
  if (size <= 0) return size;
  return size > INT64_MAX / scan_element_cycles ? INT64_MAX : size * scan_element_cycles;
}

// An integer argument read only when it is a number.
int64_t number_int(lua_State *L, int index, int64_t def) {
  return lua_type(L, index) == LUA_TNUMBER ? kvt_intp(L, index, def) : def;
}

// max, min and mid answer integers when the first argument is an integer and
// the others are integers or not numbers at all.
bool integer_form(lua_State *L, int last) {
  if (!lua_isinteger(L, 1)) return false;
  for (int i = 2; i <= last; i++)
    if (lua_type(L, i) == LUA_TNUMBER && !lua_isinteger(L, i)) return false;
  return true;
}

// A piece of split: with conversion, a piece that reads wholly as a number
// (an embedded NUL stops the reading short) becomes that number.
void push_piece(lua_State *L, std::string_view piece, bool convert) {
  lua_pushlstring(L, piece.data(), piece.size());
  if (!convert) return;
  size_t used = lua_stringtonumber(L, lua_tostring(L, -1));
  if (used == piece.size() + 1)
    lua_remove(L, -2);
  else if (used != 0)
    lua_pop(L, 1);
}

}  // namespace

/* ---------------------------------------------------------------------- */
/* tables                                                                 */
/* ---------------------------------------------------------------------- */

int lua54_add(lua_State *L) {
  check_table(L, 1, tab_r | tab_w | tab_l);
  int args = lua_gettop(L);
  if (args == 1) return 0;
  lua_Unsigned first_empty = static_cast<lua_Unsigned>(luaL_len(L, 1)) + 1;
  lua_Unsigned pos = first_empty;
  if (args == 3) {
    pos = static_cast<lua_Unsigned>(kvt_intp(L, 3, 0));
    // pos in 1..#t + 1; the position is argument 2 of the table library's insert
    luaL_argcheck(L, pos - 1u < first_empty, 2, "position out of bounds");
  } else if (args != 2) {
    return luaL_error(L, "wrong number of arguments to 'insert'");
  }
  for (lua_Unsigned i = first_empty; i > pos; i--) {
    lua_geti(L, 1, static_cast<lua_Integer>(i - 1));
    lua_seti(L, 1, static_cast<lua_Integer>(i));
  }
  lua_pushvalue(L, 2);
  lua_seti(L, 1, static_cast<lua_Integer>(pos));
  spend_cpu_or_stop(L, static_cast<int64_t>(first_empty - pos));
  lua_pushvalue(L, 2);
  return 1;
}

int lua54_deli(lua_State *L) {
  check_table(L, 1, tab_r | tab_w | tab_l);
  lua_Integer size = luaL_len(L, 1);
  lua_Integer pos = lua_isnone(L, 2) ? size : number_int(L, 2, 0);
  if (pos < 1 || pos > size) return 0;
  // Each element moved is read and written through the API.
  spend_cpu_or_stop(L, size - pos > INT64_MAX / 2 ? INT64_MAX : (size - pos) * 2);
  lua_geti(L, 1, pos);
  if (plain_table(L, 1)) {  // nothing to consult on the way: the raw moves
    for (lua_Integer i = pos; i < size; i++) {
      lua_rawgeti(L, 1, i + 1);
      lua_rawseti(L, 1, i);
    }
    lua_pushnil(L);
    lua_rawseti(L, 1, size);
    return 1;
  }
  for (lua_Integer i = pos; i < size; i++) {
    lua_geti(L, 1, i + 1);
    lua_seti(L, 1, i);
  }
  lua_pushnil(L);
  lua_seti(L, 1, size);
  return 1;
}

int lua54_del(lua_State *L) {
  check_table(L, 1, tab_r | tab_w | tab_l);
  if (lua_type(L, 1) != LUA_TTABLE || lua_gettop(L) < 2) return 0;
  lua_Integer size = luaL_len(L, 1);
  spend_cpu_or_stop(L, scan_charge(size));
  for (lua_Integer i = 1; i <= size; i++) {
    lua_rawgeti(L, 1, i);
    if (lua_compare(L, -1, 2, LUA_OPEQ)) {
      for (; i < size; i++) {
        lua_rawgeti(L, 1, i + 1);
        lua_rawseti(L, 1, i);
      }
      lua_pushnil(L);
      lua_rawseti(L, 1, size);
      return 1;
    }
    lua_pop(L, 1);
  }
  return 0;
}

int lua54_count(lua_State *L) {
  check_table(L, 1, tab_r | tab_l);
  if (lua_type(L, 1) != LUA_TTABLE) return 0;
  lua_Integer size = luaL_len(L, 1);
  if (lua_gettop(L) < 2) {
    lua_pushinteger(L, size);
    return 1;
  }
  spend_cpu_or_stop(L, scan_charge(size));
  lua_Integer n = 0;
  for (lua_Integer i = 1; i <= size; i++) {
    lua_rawgeti(L, 1, i);
    if (lua_compare(L, -1, 2, LUA_OPEQ)) n++;
    lua_pop(L, 1);
  }
  lua_pushinteger(L, n);
  return 1;
}

/* ---------------------------------------------------------------------- */
/* random                                                                 */
/* ---------------------------------------------------------------------- */

int lua54_rnd(lua_State *L) {
  spend_cpu_or_stop(L, 4);
  if (lua_type(L, 1) == LUA_TTABLE) {
    lua_len(L, 1);
    int isnum = 0;
    lua_Integer n = lua_tointegerx(L, -1, &isnum);
    lua_pop(L, 1);
    if (!isnum || n < 1) return 0;
    lua_geti(L, 1, random_index(xoshiro256ss_rand(), n));
    return 1;
  }
  lua_pushnumber(L, random_share(xoshiro256ss_rand(), kvt_number(L, 1, 1.0)));
  return 1;
}

int lua54_srand(lua_State *L) {
  int64_t seed;
  if (!kvt_intx(L, 1, &seed)) seed = static_cast<int64_t>(fresh_random_seed(L, cproc->id));
  xoshiro256ss_srand(static_cast<uint64_t>(seed));
  return 0;
}

/* ---------------------------------------------------------------------- */
/* maths                                                                  */
/* ---------------------------------------------------------------------- */

int lua54_abs(lua_State *L) {
  if (lua_isinteger(L, 1))
    lua_pushinteger(L, abs_i64(lua_tointeger(L, 1)));
  else
    lua_pushnumber(L, std::fabs(luaL_checknumber(L, 1)));
  return 1;
}

int lua54_sgn(lua_State *L) {
  lua_pushinteger(L, kvt_number(L, 1, 0) < 0 ? -1 : 1);
  return 1;
}

int lua54_max(lua_State *L) {
  if (integer_form(L, 2)) {
    int64_t a = kvt_intp(L, 1, 0), b = kvt_intp(L, 2, 0);
    lua_pushinteger(L, b > a ? b : a);
  } else {
    double a = kvt_number(L, 1, 0), b = kvt_number(L, 2, 0);
    lua_pushnumber(L, b > a ? b : a);
  }
  return 1;
}

int lua54_min(lua_State *L) {
  if (integer_form(L, 2)) {
    int64_t a = kvt_intp(L, 1, 0), b = kvt_intp(L, 2, 0);
    lua_pushinteger(L, b < a ? b : a);
  } else {
    double a = kvt_number(L, 1, 0), b = kvt_number(L, 2, 0);
    lua_pushnumber(L, b < a ? b : a);
  }
  return 1;
}

int lua54_mid(lua_State *L) {
  if (integer_form(L, 3))
    lua_pushinteger(L, mid_of(kvt_intp(L, 1, 0), kvt_intp(L, 2, 0), kvt_intp(L, 3, 0)));
  else
    lua_pushnumber(L, mid_of(kvt_number(L, 1, 0), kvt_number(L, 2, 0), kvt_number(L, 3, 0)));
  return 1;
}

int lua54_sqrt(lua_State *L) {
  spend_cpu_or_stop(L, 6);
  lua_pushnumber(L, std::sqrt(kvt_number(L, 1, 0)));
  return 1;
}

int lua54_cos(lua_State *L) {
  lua_pushnumber(L, turns_cos(kvt_number(L, 1, 0)));
  return 1;
}

int lua54_sin(lua_State *L) {
  lua_pushnumber(L, turns_sin(kvt_number(L, 1, 0)));
  return 1;
}

// The host's atan2 takes several times a plain call's time.
constexpr int atan2_cycles = 4;

int lua54_atan2(lua_State *L) {
  spend_cpu(atan2_cycles);
  lua_pushnumber(L, turns_atan2(kvt_number(L, 1, 0), kvt_number(L, 2, 0)));
  return 1;
}

int lua54_flr(lua_State *L) {
  lua_pushinteger(L, kvt_intp(L, 1, 0));
  return 1;
}

int lua54_ceil(lua_State *L) {
  lua_pushinteger(L, kvt_ceilp(L, 1, 0));
  return 1;
}

/* ---------------------------------------------------------------------- */
/* strings                                                                */
/* ---------------------------------------------------------------------- */

int lua54_chr(lua_State *L) {
  int n = lua_gettop(L);
  std::string bytes(static_cast<size_t>(n), '\0');
  for (int i = 0; i < n; i++) bytes[static_cast<size_t>(i)] = static_cast<char>(kvt_intp(L, i + 1, 0));
  spend_cpu_or_stop(L, n);
  lua_pushlstring(L, bytes.data(), bytes.size());
  return 1;
}

int lua54_ord(lua_State *L) {
  size_t len = 0;
  const char *s = nullptr;
  if (lua_type(L, 1) == LUA_TSTRING || lua_type(L, 1) == LUA_TNUMBER) s = lua_tolstring(L, 1, &len);
  int64_t first = number_int(L, 2, 1);
  int64_t n = number_int(L, 3, 1);
  if (n < 1 || n > 65536 || !lua_checkstack(L, static_cast<int>(n))) return 0;
  spend_cpu_or_stop(L, n);
  for (int64_t k = 0; k < n; k++) {
    int64_t pos = saturating_add(first, k);
    if (s && pos >= 1 && static_cast<uint64_t>(pos) <= len)
      lua_pushinteger(L, static_cast<unsigned char>(s[pos - 1]));
    else
      lua_pushnil(L);
  }
  return static_cast<int>(n);
}

int lua54__strindex(lua_State *L) {
  size_t len = 0;
  const char *s = nullptr;
  if (lua_type(L, 1) == LUA_TSTRING || lua_type(L, 1) == LUA_TNUMBER) s = lua_tolstring(L, 1, &len);
  int64_t pos = kvt_intp(L, 2, -1);
  if (s && pos >= 1 && static_cast<uint64_t>(pos) <= len)
    lua_pushlstring(L, s + pos - 1, 1);
  else
    lua_pushnil(L);
  return 1;
}

int lua54_split(lua_State *L) {
  int args = lua_gettop(L);
  if (args == 0 || (lua_type(L, 1) != LUA_TSTRING && lua_type(L, 1) != LUA_TNUMBER)) return 0;
  size_t len = 0;
  const char *s = lua_tolstring(L, 1, &len);
  std::string_view text(s, len);
  bool convert = args < 3 || lua_toboolean(L, 3);
  spend_cpu_or_stop(L, static_cast<int64_t>(std::min<size_t>(len, INT64_MAX)));
  lua_newtable(L);
  lua_Integer index = 0;
  // Each piece is a string (and maybe a number) and a table slot: charged as
  // it is made, so a text of a million pieces cannot run on past the limit.
  auto piece = [&](std::string_view p) {
    spend_cpu_or_stop(L, split_piece_cycles);
    push_piece(L, p, convert);
    lua_rawseti(L, -2, ++index);
  };
  if (lua_type(L, 2) == LUA_TNUMBER) {
    split_by_count(text, kvt_intp(L, 2, 0), piece);
  } else if (lua_type(L, 2) == LUA_TSTRING) {
    size_t n = 0;
    const char *sep = lua_tolstring(L, 2, &n);
    split_by_set(text, std::string_view(sep, n), piece);
  } else {
    split_by_set(text, ",", piece);
  }
  return 1;
}

int lua54_tokenoid(lua_State *L) {
  if (lua_type(L, 1) != LUA_TSTRING) return 0;
  size_t len = 0;
  const char *s = lua_tolstring(L, 1, &len);
  int64_t pos = number_int(L, 2, 1);
  int64_t state = kvt_intp(L, 3, 0);
  if (pos < 1 || static_cast<uint64_t>(pos) > len) return 0;
  token t = scan_token(std::string_view(s, len), static_cast<size_t>(pos - 1), state);
  spend_cpu_or_stop(L, static_cast<int64_t>(t.length));
  lua_pushlstring(L, s + t.start, t.length);
  lua_pushinteger(L, static_cast<lua_Integer>(t.start + t.length + 1));
  lua_pushinteger(L, t.kind);
  if (!t.open) return 3;
  lua_pushinteger(L, t.state);
  return 4;
}
