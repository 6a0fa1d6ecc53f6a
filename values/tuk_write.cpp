// tuk writer: the text form of a value, its binary items and the wrappers.
#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <lz4hc.h>

#include "kernel/accounting.h"
#include "kernel/held_memory.h"
#include "lua.hpp"
#include "values/base64.h"
#include "values/tuk.h"
#include "values/userdata.h"
#include "values/zqu.h"

namespace {

// Cycles beyond the format's own charges (2 a value, a quarter of each
// string's bytes, bits / 32 a userdata element), so that no value buys much
// more than 10 ns of host time a cycle: reading a value out of its table,
// formatting a number, collecting, sorting and anchoring a table's keys,
// printing a float element.
constexpr int64_t value_cycles = 12;
constexpr int64_t integer_cycles = 4;
constexpr int64_t float_cycles = 16;
constexpr int64_t table_cycles = 16;
constexpr int64_t key_cycles = 48;
constexpr int64_t f64_element_cycles = 16;
// The LZ4 wrapper's compressor (high compression, level 1) and the base64
// encoder, per input byte.
constexpr int64_t lz4_bytes_per_cycle = 1;
constexpr int64_t base64_bytes_per_cycle = 8;
// Charges are spent (and the cpu limit checked) each time this many gather.
constexpr int64_t charge_step = 4096;
// A table with at most this many keys keeps them in stack slots while written.
constexpr int64_t stack_keys_max = 32;
// Userdata elements are formatted this many bytes at a time.
constexpr size_t text_chunk = 4096;

// "%.14g" of a finite number.
char *format_float(char *out, double d) {
  return std::to_chars(out, out + 32, d, std::chars_format::general, 14).ptr;
}

// An f64 element as "%0.14g" writes it, "inf" and "nan" included.
char *format_element(char *out, double d) {
  if (std::isfinite(d)) return format_float(out, d);
  return out + snprintf(out, 8, "%0.14g", d);
}

// A key is written bare when it is an identifier: letters, digits and '_',
// not starting with a digit. The empty key is not (it would not read back).
bool is_identifier(std::string_view s) {
  if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
  for (char c : s)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
      return false;
  return true;
}

// One key of a table's keyed part. A string key's bytes belong to the key,
// which is kept alive by the table of keys the writer anchors (slot is its
// place there): a finalizer run meanwhile may take the entry out of the table
// being written.
struct key_entry {
  bool is_string;
  bool is_int;
  lua_Integer i;
  double d;
  std::string_view s;
  lua_Integer slot;
};

// Numbers before strings; each kind ascending (numbers by value, strings by bytes).
bool key_less(const key_entry &a, const key_entry &b) {
  if (a.is_string != b.is_string) return b.is_string;
  if (a.is_string) return a.s < b.s;
  if (a.is_int && b.is_int) return a.i < b.i;
  double x = a.is_int ? static_cast<double>(a.i) : a.d;
  double y = b.is_int ? static_cast<double>(b.i) : b.d;
  if (x != y) return x < y;
  // Equal only after rounding an integer beyond 2^53: the float lies outside the
  // integers' range or is not integral; order by the float's side.
  if (a.is_int != b.is_int) return a.is_int ? b.d > 0 : a.d < 0;
  return false;
}

// Whether the key on top of the stack (under its value) belongs to the keyed
// part of a table whose array part is 1..n; boolean, table, function and
// userdata keys have no text and are left out.
bool keyed(lua_State *L, lua_Integer n) {
  switch (lua_type(L, -2)) {
    case LUA_TNUMBER:
      if (!lua_isinteger(L, -2)) return true;
      return lua_tointeger(L, -2) < 1 || lua_tointeger(L, -2) > n;
    case LUA_TSTRING:
      return true;
    default:
      return false;
  }
}

struct writer {
  lua_State *L;
  buffer *buf;
  int flags;
  int64_t limit;  // the buffer's content may not pass this length
  bool ok = true;
  // Spent as it gathers, so an endless structure ends with the cpu limit error.
  gathered_charge meter{L, charge_step};

  // Refuses (without writing) what cannot fit below the limit.
  bool fits(int64_t n) {
    if (ok && int64_t{buf->position} + n > limit) ok = false;
    return ok;
  }
  void put(const void *p, size_t n) {
    if (!n || !fits(static_cast<int64_t>(n))) return;
    // Most pieces are short and fit: no call into the buffer's writer.
    if (static_cast<uint64_t>(buf->position) + n < buf->capacity) {
      memcpy(buf->data + buf->position, p, n);
      buf->position += static_cast<int32_t>(n);
      if (buf->length < buf->position) buf->length = buf->position;
      return;
    }
    if (bwrite(p, 1, static_cast<int64_t>(n), buf) != static_cast<int64_t>(n)) ok = false;
  }
  void put(std::string_view s) { put(s.data(), s.size()); }

  void put_quoted(std::string_view s) {
    put("\"");
    if (!fits(static_cast<int64_t>(s.size()))) return;
    int64_t n = bwrite_escaped_string(s.data(), buf, static_cast<int64_t>(s.size()));
    if ((!s.empty() && n == 0) || buf->position > limit) ok = false;
    put("\"");
    meter.charge(n / 4);
  }

  // The language's form of a number with a trailing ".0" dropped, except the
  // non-finite ones, which get forms that read back (here and in Lua itself).
  void put_number(int index) {
    char s[64];
    char *end;
    if (lua_isinteger(L, index)) {
      end = std::to_chars(s, s + sizeof s, static_cast<int64_t>(lua_tointeger(L, index))).ptr;
      meter.charge(integer_cycles);
    } else {
      double d = lua_tonumber(L, index);
      if (std::isnan(d)) return put("0/0");
      if (std::isinf(d)) return put(d > 0 ? "1e999" : "-1e999");
      end = format_float(s, d);
      meter.charge(float_cycles);
    }
    put(s, static_cast<size_t>(end - s));
  }

  void put_string(int index) {
    size_t n;
    const char *s = lua_tolstring(L, index, &n);
    if (flags & tuk_flag_binary_strings) {
      if (!fits(static_cast<int64_t>(n) + 8)) return;
      put("str", 4);
      bwrite_uint32(static_cast<uint32_t>(n), buf);
      put(s, n);
      meter.charge(static_cast<int64_t>(n) >> 2);
      return;
    }
    put_quoted({s, n});
  }

  // The elements' text, a chunk at a time: nothing of it is held outside
  // the buffer.
  void put_elements(const userdata *ud, int64_t count) {
    char text[text_chunk + 64];
    size_t used = 0;
    if ((ud->utype & utype_mask) == utype_f64) {
      for (int64_t i = 0; i < count && ok; i++) {
        if (i) text[used++] = ',';
        used = static_cast<size_t>(format_element(text + used, ud_get_number(ud, i)) - text);
        meter.charge(f64_element_cycles);
        if (used >= text_chunk) {
          put(text, used);
          used = 0;
        }
      }
    } else {
      static const char hex[] = "0123456789abcdef";
      int digits = static_cast<int>(2 * ud_element_size(ud));
      for (int64_t i = 0; i < count && ok; i++) {
        auto v = static_cast<uint64_t>(ud_get_int(ud, i));
        for (int k = digits - 1; k >= 0; k--) text[used++] = hex[(v >> (4 * k)) & 15];
        if (used >= text_chunk) {
          put(text, used);
          used = 0;
        }
      }
    }
    put(text, used);
  }

  void put_userdata(int index) {
    userdata *ud = to_userdata(L, index);
    if (!ud) {
      put("nil");
      return;
    }
    int64_t count = ud_count(ud);
    meter.charge((count << utype_log2_bits(ud->utype)) >> 5);
    uint8_t type = ud->utype & utype_mask;
    if ((flags & tuk_flag_zqu) && ud->utype == utype_u8) {
      // The coded form is never longer than twice the elements; finding its
      // runs costs as much again as the bits.
      if (!fits(2 * count + 32)) return;
      meter.charge(count >> 2);
      int width = (flags & tuk_flag_raw_zqu) ? 0 : zqu_tuk_width;
      if (write_binary_zqu(ud, buf, width) <= 0 || buf->position > limit) ok = false;
      return;
    }
    char head[128];
    const char *name = get_utype_string(type);
    if (ud->dims <= 1)
      snprintf(head, sizeof head, "userdata(\"%s\",%u,\"", name, ud->width);
    else if (ud->dims == 2)
      snprintf(head, sizeof head, "userdata(\"%s\",%u,%u,\"", name, ud->width, ud->height);
    else
      snprintf(head, sizeof head, "userdata(\"%s\",%u,%u,%u,\"", name, ud->width, ud->height,
               ud->depth);
    put(head);
    put_elements(ud, count);
    put("\")");
  }

  void put_key(const key_entry &k) {
    if (k.is_string) {
      if (is_identifier(k.s)) {
        put(k.s);
      } else {
        // Escaped like a string value: quotes, backslashes, "]]" and NULs read back.
        put("[");
        put_quoted(k.s);
        put("]");
      }
      return;
    }
    if (k.is_int) lua_pushinteger(L, k.i);
    else lua_pushnumber(L, k.d);
    put("[");
    put_number(-1);
    put("]");
    lua_pop(L, 1);
  }

  bool put_table(int index, int depth) {
    // depth counts the tables around this one; the reader counts the same way.
    if (depth + 1 > tuk_depth_max || !lua_checkstack(L, 8)) return false;
    index = lua_absindex(L, index);
    // The border is taken before the traversal.
    auto n = static_cast<lua_Integer>(lua_rawlen(L, index));
    int64_t count = 0;
    lua_pushnil(L);
    while (lua_next(L, index)) {
      count += keyed(L, n);
      lua_pop(L, 1);
    }
    meter.charge(table_cycles + count * key_cycles);
    // The keys are anchored while the table is written: a few in stack slots,
    // more in a table of their own made at full size first, so the traversal
    // that stores them allocates nothing. The host's list of them is charged
    // like any memory held for the process.
    memory_hold hold;
    if (count > INT_MAX || !hold.hold(count * static_cast<int64_t>(sizeof(key_entry)))) return false;
    bool on_stack = count <= stack_keys_max && lua_checkstack(L, static_cast<int>(count) + 8);
    int anchor;
    if (on_stack) {
      anchor = lua_gettop(L) + 1;
      lua_settop(L, anchor - 1 + static_cast<int>(count));
    } else {
      lua_createtable(L, static_cast<int>(count), 0);
      anchor = lua_gettop(L);
    }
    auto push_anchored = [&](lua_Integer slot) {
      if (on_stack) lua_pushvalue(L, anchor + static_cast<int>(slot) - 1);
      else lua_rawgeti(L, anchor, slot);
    };
    std::vector<key_entry> keys;
    keys.reserve(static_cast<size_t>(count));
    lua_pushnil(L);
    while (lua_next(L, index)) {
      // A finalizer run while the list was made may have added keys: they
      // are left out.
      if (keyed(L, n) && static_cast<int64_t>(keys.size()) < count) {
        key_entry k{};
        k.slot = static_cast<lua_Integer>(keys.size()) + 1;
        if (lua_type(L, -2) == LUA_TSTRING) {
          size_t len;
          const char *s = lua_tolstring(L, -2, &len);
          k.is_string = true;
          k.s = {s, len};
        } else if (lua_isinteger(L, -2)) {
          k.is_int = true;
          k.i = lua_tointeger(L, -2);
        } else {
          k.d = lua_tonumber(L, -2);
        }
        lua_pushvalue(L, -2);
        if (on_stack) lua_replace(L, anchor + static_cast<int>(k.slot) - 1);
        else lua_rawseti(L, anchor, k.slot);
        keys.push_back(k);
      }
      lua_pop(L, 1);
    }
    std::sort(keys.begin(), keys.end(), key_less);
    put("{");
    bool first = true;
    for (const key_entry &k : keys) {
      if (!ok) return false;
      if (!first) put(",");
      first = false;
      put_key(k);
      put("=");
      push_anchored(k.slot);
      lua_rawget(L, index);
      bool fine = put_value(-1, depth + 1);
      lua_pop(L, 1);
      if (!fine) return false;
    }
    lua_settop(L, anchor - 1);
    for (lua_Integer i = 1; i <= n; i++) {
      if (!ok) return false;
      if (!first) put(",");
      first = false;
      lua_rawgeti(L, index, i);
      bool fine = put_value(-1, depth + 1);
      lua_pop(L, 1);
      if (!fine) return false;
    }
    put("}");
    return ok;
  }

  bool put_value(int index, int depth) {
    meter.charge(2 + value_cycles);
    switch (lua_type(L, index)) {
      case LUA_TSTRING: put_string(index); break;
      case LUA_TNUMBER: put_number(index); break;
      case LUA_TBOOLEAN: put(lua_toboolean(L, index) ? "true" : "false"); break;
      case LUA_TTABLE: return put_table(index, depth);
      case LUA_TUSERDATA: put_userdata(index); break;
      default: put("nil"); break;
    }
    return ok;
  }
};

// A buffer for the writer's own intermediate text, charged like the output.
buffer_owner charged_buffer(int64_t size) {
  buffer_owner b(create_buffer_2(size, 112));
  if (b && !bcharge_to_current(b.get())) b.reset();
  return b;
}

// The compressor's state, some 256 KB: made once and reset for each text.
// Setting up a fresh one cost more than the whole store of a small value; a
// reset leaves nothing of the last text within reach of the next, so the
// block is the one a fresh state makes.
LZ4_streamHC_t *lz4_state() {
  static std::unique_ptr<LZ4_streamHC_t, int (*)(LZ4_streamHC_t *)> state(LZ4_createStreamHC(),
                                                                          LZ4_freeStreamHC);
  return state.get();
}

// The LZ4 wrapper of the text: "lz4" NUL, u32 block size, u32 text size, the block.
buffer_owner lz4_wrap(lua_State *L, const buffer *text) {
  int length = text->length;
  int bound = LZ4_compressBound(length);
  if (bound <= 0 || int64_t{bound} + 12 > buffer_max_length) return nullptr;
  spend_cpu_or_stop(L, length / lz4_bytes_per_cycle);
  buffer_owner out = charged_buffer(int64_t{bound} + 12);
  if (!out) return nullptr;
  LZ4_streamHC_t *hc = lz4_state();
  if (!hc) return nullptr;
  LZ4_resetStreamHC_fast(hc, 1);
  int packed = LZ4_compress_HC_continue(hc, reinterpret_cast<const char *>(text->data),
                                        reinterpret_cast<char *>(out->data) + 12, length, bound);
  if (packed <= 0) return nullptr;
  memcpy(out->data, "lz4", 4);
  for (int k = 0; k < 2; k++) {
    auto v = static_cast<uint32_t>(k == 0 ? packed : length);
    for (int i = 0; i < 4; i++) out->data[4 + 4 * k + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  out->length = out->position = 12 + packed;
  return out;
}

// "untuk(\"b64:", the base64 text of the bytes, "\")", written into out.
bool put_base64_wrapper(lua_State *L, const buffer *bytes, buffer *out, int64_t limit) {
  int64_t chars = base64_encode_block_bound(bytes->length) + 4;
  if (int64_t{out->position} + chars + 14 > limit) return false;
  spend_cpu_or_stop(L, bytes->length / base64_bytes_per_cycle);
  if (bwrite("untuk(\"b64:", 1, 11, out) != 11) return false;
  base64_encodestate state;
  base64_init_encodestate(&state);
  char text[4096 + 8];
  for (int64_t at = 0; at < bytes->length; at += 3072) {
    int64_t n = std::min<int64_t>(3072, bytes->length - at);
    int64_t c = base64_encode_block(bytes->data + at, n, text, &state);
    if (bwrite(text, 1, c, out) != c) return false;
  }
  int64_t c = base64_encode_blockend(text, &state);
  if (c > 0 && bwrite(text, 1, c, out) != c) return false;
  return bwrite("\")", 1, 2, out) == 2;
}

bool write_value(lua_State *L, int index, buffer *buf, int depth, int flags, int64_t limit) {
  writer w{L, buf, flags, limit};
  bool ok = w.put_value(lua_absindex(L, index), depth);
  w.meter.flush();
  return ok && w.ok;
}

}  // namespace

bool stringify_object_recursive(lua_State *L, int index, buffer *buf, int depth, int flags) {
  if (!buf || !bcharge_to_current(buf)) return false;
  return write_value(L, index, buf, depth, flags, buffer_max_length);
}

bool stringify_object(lua_State *L, int index, buffer *buf, int depth, int flags,
                      int64_t max_length) {
  if (!buf || !bcharge_to_current(buf)) return false;
  int64_t limit = std::min(max_length, buffer_max_length);
  if (!(flags & (tuk_flag_lz4 | tuk_flag_base64)))
    return write_value(L, index, buf, depth, flags, limit);
  buffer_owner inner = charged_buffer(256);
  if (!inner || !write_value(L, index, inner.get(), depth, flags, buffer_max_length)) return false;
  if (flags & tuk_flag_lz4) {
    inner = lz4_wrap(L, inner.get());
    if (!inner) return false;
  }
  if (flags & tuk_flag_base64) return put_base64_wrapper(L, inner.get(), buf, limit);
  int64_t n = inner->length;
  return int64_t{buf->position} + n <= limit && bwrite(inner->data, 1, n, buf) == n;
}
