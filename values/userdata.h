// userdata: the system's typed numeric array, a Lua full userdata holding a
// 16-byte header and then its elements (vectors, matrices, bitmaps, maps).
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "kernel/numbers.h"

struct lua_State;

// Element type codes: bits 0-2 log2 of the bit width, bit 3 signed integer,
// bit 4 floating point. Readers mask a code with utype_mask.
constexpr uint8_t utype_u8 = 3;
constexpr uint8_t utype_i16 = 12;
constexpr uint8_t utype_i32 = 13;
constexpr uint8_t utype_i64 = 14;
constexpr uint8_t utype_f64 = 22;
constexpr uint8_t utype_mask = 0x1F;

// The record: this header, then width x height x depth elements, row-major
// (element (x, y, z) at (z * height + y) * width + x), little-endian. The
// element block is padded with zeros to a multiple of 8 bytes.
struct userdata {
  uint8_t utype;
  int8_t dims;  // 1 or 2 in every userdata the system makes
  uint8_t unused[2];
  uint32_t width;
  uint32_t height;  // 1 for a vector
  uint32_t depth;   // always 1 in userdata the system makes
};
static_assert(sizeof(userdata) == 16, "elements start 16 bytes after the record");

// Limits of the element block (bytes, after rounding up to a multiple of 8).
constexpr int64_t userdata_block_min = 8;
constexpr int64_t userdata_block_max = 16 * 1024 * 1024;

// Bits and bytes of one element of a type code (0 bytes for codes below 3).
inline int utype_bits(uint8_t code) { return 1 << (code & 7); }
inline int utype_log2_bits(uint8_t code) { return code & 7; }
inline int64_t utype_size(uint8_t code) { return (int64_t{1} << (code & 7)) >> 3; }
inline bool utype_is_float(uint8_t code) { return (code & 0x10) != 0; }

// Byte size of the element block for a shape, computed in 64 bits: -1 when a
// dimension is below 1, when count x size overflows, or when the rounded size
// lies outside userdata_block_min..userdata_block_max.
int64_t userdata_block_size(uint8_t utype, int64_t width, int64_t height, int64_t depth);

// Type names: str_to_utype reads only the first two characters (f -> f64,
// i -> i64, else u8; then a second '3' -> i32, '1' -> i16). get_utype_string
// gives "?" for unnamed codes and entry 0 ("?") for codes of 23 and above.
uint8_t str_to_utype(std::string_view name);
const char *get_utype_string(int code);

/* ---------------------------------------------------------------------- */
/* elements                                                               */
/* ---------------------------------------------------------------------- */

inline uint8_t *ud_elements(userdata *ud) { return reinterpret_cast<uint8_t *>(ud + 1); }
inline const uint8_t *ud_elements(const userdata *ud) {
  return reinterpret_cast<const uint8_t *>(ud + 1);
}
// Records are validated when made and when checked, so these fit in 64 bits.
inline int64_t ud_count(const userdata *ud) {
  return int64_t{ud->width} * ud->height * ud->depth;
}
inline int64_t ud_element_size(const userdata *ud) { return utype_size(ud->utype); }
// Bytes the elements use (count x size), and the whole block (a multiple of 8).
inline int64_t ud_data_bytes(const userdata *ud) { return ud_count(ud) * ud_element_size(ud); }
inline int64_t ud_block_bytes(const userdata *ud) { return (ud_data_bytes(ud) + 7) & ~int64_t{7}; }

// Element i (0 <= i < count; callers check) as an integer: u8 unsigned, the
// other integer types signed, f64 truncated toward zero (saturating).
inline int64_t ud_get_int(const userdata *ud, int64_t i) {
  const uint8_t *p = ud_elements(ud);
  switch (ud->utype & utype_mask) {
    case utype_u8: return p[i];
    case utype_i16: { int16_t v; memcpy(&v, p + 2 * i, 2); return v; }
    case utype_i32: { int32_t v; memcpy(&v, p + 4 * i, 4); return v; }
    case utype_i64: { int64_t v; memcpy(&v, p + 8 * i, 8); return v; }
    case utype_f64: { double v; memcpy(&v, p + 8 * i, 8); return trunc_to_i64(v); }
    default: return 0;
  }
}

// Element i as a double (integers by their value).
inline double ud_get_number(const userdata *ud, int64_t i) {
  if ((ud->utype & utype_mask) == utype_f64) {
    double v;
    memcpy(&v, ud_elements(ud) + 8 * i, 8);
    return v;
  }
  return static_cast<double>(ud_get_int(ud, i));
}

// Stores v cut to the element's low bits (an f64 element gets v's value).
inline void ud_set_int(userdata *ud, int64_t i, int64_t v) {
  uint8_t *p = ud_elements(ud);
  auto u = static_cast<uint64_t>(v);
  switch (ud->utype & utype_mask) {
    case utype_u8: p[i] = static_cast<uint8_t>(u); break;
    case utype_i16: { auto w = static_cast<uint16_t>(u); memcpy(p + 2 * i, &w, 2); break; }
    case utype_i32: { auto w = static_cast<uint32_t>(u); memcpy(p + 4 * i, &w, 4); break; }
    case utype_i64: memcpy(p + 8 * i, &u, 8); break;
    case utype_f64: { auto d = static_cast<double>(v); memcpy(p + 8 * i, &d, 8); break; }
    default: break;
  }
}

// Stores an f64 element (callers check the type).
inline void ud_set_f64(userdata *ud, int64_t i, double v) {
  memcpy(ud_elements(ud) + 8 * i, &v, 8);
}

/* ---------------------------------------------------------------------- */
/* on the Lua stack                                                       */
/* ---------------------------------------------------------------------- */

// The userdata record at the index, or null when the value there is not one
// (any other value, or a full userdata whose block does not hold a valid
// record of exactly its size).
userdata *to_userdata(lua_State *L, int index);

// Pushes element i (0 <= i < count): an integer, or a float for f64.
void push_ud_element(lua_State *L, const userdata *ud, int64_t i);
// Pushes elements at .. at + n - 1 (callers check the range and the stack).
void push_ud_elements(lua_State *L, const userdata *ud, int64_t at, int64_t n);

// What every new userdata costs beyond the allocator's charge for its bytes:
// its record set up, its metatable looked up and set, and later its share of
// the collector's marking and sweeping and the host's free.
constexpr int64_t new_userdata_cycles = 28;

// The one constructor. Pushes the new userdata and returns it, or pushes
// nothing and returns null when the shape is refused (dims other than 1 or 2,
// a dimension below 1, a block outside 8..16 MiB). A type that begins with
// "[gfx]" and has at least 9 characters is a pixel literal and brings its own
// size and data. Charges new_userdata_cycles, and with a data text the fill,
// through spend_cpu. May raise a Lua memory error.
userdata *create_userdata(lua_State *L, std::string_view type, int dims, int64_t width,
                          int64_t height, int64_t depth,
                          std::optional<std::string_view> data = std::nullopt);

// A byte-for-byte copy, pushed. Charges new_userdata_cycles.
userdata *push_duplicate_userdata(lua_State *L, const userdata *ud);

// Initialises the elements from a data text (hex, decimal or pixel letters,
// by type) as the constructor does; the text ends at its first NUL or its end.
// Returns the cycles to charge (userdata_text_cost).
int64_t fill_userdata_from_text(userdata *ud, std::string_view text, bool pixels);
// What that fill costs, known before it runs: count x bits / 32, and for f64
// elements 16 more a decimal number read.
int64_t userdata_text_cost(const userdata *ud, std::string_view text, bool pixels);

// Sets USERDATA as the metatable of the userdata on top of the stack, when the
// global (read raw, so no script code runs) is a table at this moment.
void set_userdata_metatable(lua_State *L);
