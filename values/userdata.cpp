// userdata: the record, its one constructor and the text initialisers.
#include "values/userdata.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <type_traits>

#include "kernel/accounting.h"
#include "lkernel.h"
#include "lua.hpp"

namespace {

// Cycles a decimal element of an f64 text costs beyond its bits.
constexpr int64_t decimal_element_cycles = 16;

// Indexed by code; "?" for every unnamed code.
const char *const utype_string[23] = {"?", "?", "?", "u8", "?",   "?",  "?",   "?",
                                      "?", "?", "?", "?",  "i16", "i32", "i64", "?",
                                      "?", "?", "?", "?",  "?",   "?",  "f64"};

bool valid_utype(uint8_t code) {
  switch (code) {
    case utype_u8: case utype_i16: case utype_i32: case utype_i64: case utype_f64: return true;
    default: return false;
  }
}

// Pixel letters: '0'-'9' 0-9, 'a'-'z' 10-35, 'A'-'Z' 36-61, '_' 62, '-' 63.
int b64_val(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 36;
  if (c == '_') return 62;
  if (c == '-') return 63;
  return 0;
}

int hex_val(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Characters a decimal number can hold as "%lf" reads it (sign, digits, point,
// exponent, "inf", "nan", hexadecimal forms).
bool is_number_char(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
         c == '+' || c == '-';
}

void fill_pixels(userdata *ud, std::string_view text) {
  int64_t n = std::min<int64_t>(ud_count(ud), static_cast<int64_t>(text.size()));
  for (int64_t i = 0; i < n; i++) ud_set_int(ud, i, b64_val(static_cast<unsigned char>(text[i])));
}

// Each element reads 2, 4, 8 or 16 digits, most significant first; the first
// element whose digits the text cuts, and all after it, stay 0.
void fill_hex(userdata *ud, std::string_view text) {
  if (text.substr(0, 4) == "hex:") text.remove_prefix(4);
  size_t digits = static_cast<size_t>(2 * ud_element_size(ud));
  int64_t count = ud_count(ud);
  size_t at = 0;
  for (int64_t i = 0; i < count && text.size() - at >= digits; i++) {
    uint64_t v = 0;
    for (size_t k = 0; k < digits; k++)
      v = v << 4 | static_cast<uint64_t>(hex_val(static_cast<unsigned char>(text[at + k])));
    at += digits;
    ud_set_int(ud, i, static_cast<int64_t>(v));
  }
}

// One decimal number per element, then the cursor moves past the next ','. A
// '"' or ')' (or the end) before any ',' leaves the cursor there, where every
// further element reads 0, so the fill stops. Each element scans only its own
// stretch of the text: linear in the text, however many elements there are.
// Returns the elements read.
int64_t fill_decimal(userdata *ud, std::string_view text) {
  int64_t count = ud_count(ud);
  std::string token;
  size_t at = 0;
  for (int64_t i = 0; i < count; i++) {
    size_t p = at;
    while (p < text.size() && is_blank(text[p])) p++;
    size_t start = p;
    while (p < text.size() && is_number_char(text[p])) p++;
    if (p > start) {
      token.assign(text.data() + start, p - start);
      char *end = nullptr;
      double v = strtod(token.c_str(), &end);
      if (end != token.c_str()) ud_set_f64(ud, i, v);
    }
    size_t q = at;
    while (q < text.size() && text[q] != ',' && text[q] != '"' && text[q] != ')') q++;
    if (q == text.size() || text[q] != ',') return i + 1;
    at = q + 1;
  }
  return count;
}

}  // namespace

int64_t userdata_block_size(uint8_t utype, int64_t width, int64_t height, int64_t depth) {
  if (width < 1 || height < 1 || depth < 1) return -1;
  int64_t size = utype_size(utype);
  int64_t n;
  if (size < 1 || __builtin_mul_overflow(width, height, &n) ||
      __builtin_mul_overflow(n, depth, &n) || __builtin_mul_overflow(n, size, &n) ||
      n > userdata_block_max)
    return -1;
  int64_t block = (n + 7) & ~int64_t{7};
  return block >= userdata_block_min && block <= userdata_block_max ? block : -1;
}

uint8_t str_to_utype(std::string_view name) {
  uint8_t t = utype_u8;
  if (!name.empty() && name[0] == 'f') t = utype_f64;
  else if (!name.empty() && name[0] == 'i') t = utype_i64;
  if (name.size() >= 2 && name[1] == '3') t = utype_i32;
  else if (name.size() >= 2 && name[1] == '1') t = utype_i16;
  return t;
}

const char *get_utype_string(int code) {
  return code >= 0 && code < 23 ? utype_string[code] : utype_string[0];
}

namespace {

// The record in a full userdata's memory of `room` bytes, as to_userdata finds it.
userdata *record_in_block(void *block, size_t room) {
  if (room < sizeof(userdata) + userdata_block_min) return nullptr;
  auto *ud = static_cast<userdata *>(block);
  if (!valid_utype(ud->utype) || ud->dims < 1 || ud->dims > 3 || ud->width < 1 ||
      ud->height < 1 || ud->depth < 1)
    return nullptr;
  // mutate may leave the shape smaller than the block, never larger. Two
  // 32-bit sides cannot overflow 64 bits, and an element size is a power of
  // two, so the count is compared with the elements that fit.
  uint64_t n = uint64_t{ud->width} * ud->height;
  if (ud->depth != 1 && __builtin_mul_overflow(n, uint64_t{ud->depth}, &n)) return nullptr;
  return n <= (room - sizeof(userdata)) >> (utype_log2_bits(ud->utype) - 3) ? ud : nullptr;
}

}  // namespace

userdata *to_userdata(lua_State *L, int index) {
  // A light userdata has a pointer but no length, so it is no record either.
  size_t room;
  void *block = lua_udblock(L, index, &room);
  return block ? record_in_block(block, room) : nullptr;
}

// The interpreter's own ud[i] with an integer key (lkernel.h), which does
// what lua54_ud_index and lua54_ud_newindex do with such a key and a number.
// The core has checked that the block holds at least UD_HEADER bytes.
static_assert(UD_HEADER == sizeof(userdata), "the interpreter finds the elements there");

void userdata_shape(const void *block, size_t size, UdShape *s) {
  s->size = size;
  memcpy(s->header, block, UD_HEADER);
  const userdata *ud = record_in_block(const_cast<void *>(block), size);
  s->count = ud ? ud_count(ud) : 0;
  switch (ud ? ud->utype & utype_mask : utype_u8) {
    case utype_i16: s->kind = UD_I16; break;
    case utype_i32: s->kind = UD_I32; break;
    case utype_i64: s->kind = UD_I64; break;
    case utype_f64: s->kind = UD_F64; break;
    default: s->kind = UD_U8; break;
  }
}

// As store_value: an integer element takes the number's floor.
void userdata_put(void *block, long long i, double f) {
  ud_set_int(static_cast<userdata *>(block), i, floor_to_i64(f));
}

void push_ud_element(lua_State *L, const userdata *ud, int64_t i) {
  if ((ud->utype & utype_mask) == utype_f64) lua_pushnumber(L, ud_get_number(ud, i));
  else lua_pushinteger(L, ud_get_int(ud, i));
}

namespace {

template <class T> void push_run(lua_State *L, const uint8_t *p, int64_t n) {
  for (int64_t i = 0; i < n; i++) {
    T v;
    memcpy(&v, p + i * int64_t{sizeof v}, sizeof v);
    if constexpr (std::is_floating_point_v<T>) lua_pushnumber(L, v);
    else lua_pushinteger(L, v);
  }
}

}  // namespace

void push_ud_elements(lua_State *L, const userdata *ud, int64_t at, int64_t n) {
  const uint8_t *p = ud_elements(ud) + at * ud_element_size(ud);
  switch (ud->utype & utype_mask) {
    case utype_u8: push_run<uint8_t>(L, p, n); break;
    case utype_i16: push_run<int16_t>(L, p, n); break;
    case utype_i32: push_run<int32_t>(L, p, n); break;
    case utype_i64: push_run<int64_t>(L, p, n); break;
    default: push_run<double>(L, p, n); break;
  }
}

void set_userdata_metatable(lua_State *L) {
  // A script may have put anything in the registry's globals slot.
  if (lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS) != LUA_TTABLE) {
    lua_pop(L, 1);
    return;
  }
  lua_pushliteral(L, "USERDATA");
  if (lua_rawget(L, -2) == LUA_TTABLE) {
    lua_setmetatable(L, -3);
    lua_pop(L, 1);
  } else {
    lua_pop(L, 2);
  }
}

int64_t userdata_text_cost(const userdata *ud, std::string_view text, bool pixels) {
  text = text.substr(0, text.find('\0'));
  int64_t cost = (ud_count(ud) << utype_log2_bits(ud->utype)) >> 5;
  if (pixels || (ud->utype & utype_mask) != utype_f64) return cost;
  // Reading decimal numbers costs far more than the bits they fill: one for
  // every ',' the reader will pass (it stops at a '"' or ')').
  int64_t numbers = 1;
  for (char c : text) {
    if (c == '"' || c == ')') break;
    numbers += c == ',';
  }
  return cost + std::min(numbers, ud_count(ud)) * decimal_element_cycles;
}

int64_t fill_userdata_from_text(userdata *ud, std::string_view text, bool pixels) {
  int64_t cost = userdata_text_cost(ud, text, pixels);
  text = text.substr(0, text.find('\0'));
  if (pixels) fill_pixels(ud, text);
  else if ((ud->utype & utype_mask) == utype_f64) fill_decimal(ud, text);
  else fill_hex(ud, text);
  return cost;
}

userdata *create_userdata(lua_State *L, std::string_view type, int dims, int64_t width,
                          int64_t height, int64_t depth, std::optional<std::string_view> data) {
  uint8_t utype = str_to_utype(type);
  bool pixels = false;
  if (type.size() >= 9 && type.substr(0, 5) == "[gfx]") {
    auto hex2 = [&](size_t at) {
      return hex_val(static_cast<unsigned char>(type[at])) << 4 |
             hex_val(static_cast<unsigned char>(type[at + 1]));
    };
    utype = utype_u8;
    dims = 2;
    width = hex2(5);
    height = hex2(7);
    depth = 1;
    data = type.substr(9);
    pixels = true;
  } else {
    if (dims != 1 && dims != 2) return nullptr;
    if (dims == 1) height = 1;
    depth = 1;
  }
  int64_t block = userdata_block_size(utype, width, height, depth);
  if (block < 0) return nullptr;

  auto *ud = static_cast<userdata *>(
      lua_newuserdatauv(L, sizeof(userdata) + static_cast<size_t>(block), 0));
  spend_cpu(new_userdata_cycles);
  memset(ud, 0, sizeof(userdata) + static_cast<size_t>(block));
  set_userdata_metatable(L);
  ud->utype = utype;
  ud->dims = static_cast<int8_t>(dims);
  ud->width = static_cast<uint32_t>(width);
  ud->height = static_cast<uint32_t>(height);
  ud->depth = static_cast<uint32_t>(depth);
  if (data) {
    // Charged before the fill, so an endless text stops before it is read.
    spend_cpu_or_stop(L, userdata_text_cost(ud, *data, pixels));
    fill_userdata_from_text(ud, *data, pixels);
  }
  return ud;
}

userdata *push_duplicate_userdata(lua_State *L, const userdata *ud) {
  auto bytes = sizeof(userdata) + static_cast<size_t>(ud_block_bytes(ud));
  auto *copy = static_cast<userdata *>(lua_newuserdatauv(L, bytes, 0));
  spend_cpu(new_userdata_cycles);
  memcpy(copy, ud, bytes);
  set_userdata_metatable(L);
  return copy;
}
