// tuk writer: the text form of a value, its binary items and the wrappers.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <lz4hc.h>

#include "kernel/accounting.h"
#include "lua.hpp"
#include "values/base64.h"
#include "values/tuk.h"
#include "values/userdata.h"
#include "values/zqu.h"

namespace {

// Key texts that would not read back as key=value, or not load as Lua.
const char *const reserved_words[] = {"and",   "break", "do",     "else", "elseif", "end",
                                      "false", "for",   "function", "goto", "if",     "in",
                                      "local", "nil",   "not",    "or",   "repeat", "return",
                                      "then",  "true",  "until",  "while"};

bool is_identifier(std::string_view s) {
  if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
  for (char c : s)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
      return false;
  for (const char *w : reserved_words)
    if (s == w) return false;
  return true;
}

// One key of a table's keyed part. Strings point into the table's own keys,
// which stay alive and unchanged while the table is written (no script code
// runs meanwhile).
struct key_entry {
  bool is_string;
  bool is_int;
  lua_Integer i;
  double d;
  std::string_view s;
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

struct writer {
  lua_State *L;
  buffer *buf;
  int flags;
  int64_t cycles = 0;
  bool ok = true;

  // As spend_cpu would charge it, summed and spent once at the end.
  void charge(int64_t n) {
    if (n >= 0) cycles += std::max<int64_t>(n, 1);
  }
  void put(const void *p, size_t n) {
    if (n && bwrite(p, 1, static_cast<int64_t>(n), buf) != static_cast<int64_t>(n)) ok = false;
  }
  void put(std::string_view s) { put(s.data(), s.size()); }

  void put_quoted(std::string_view s) {
    put("\"");
    int64_t n = bwrite_escaped_string(s.data(), buf, static_cast<int64_t>(s.size()));
    if (!s.empty() && n == 0) ok = false;
    put("\"");
    charge(n / 4);
  }

  // The language's form of a number with a trailing ".0" dropped, except the
  // non-finite ones, which get forms that read back (here and in Lua itself).
  void put_number(int index) {
    char s[64];
    if (lua_isinteger(L, index)) {
      snprintf(s, sizeof s, "%" PRId64, static_cast<int64_t>(lua_tointeger(L, index)));
    } else {
      double d = lua_tonumber(L, index);
      if (std::isnan(d)) snprintf(s, sizeof s, "0/0");
      else if (std::isinf(d)) snprintf(s, sizeof s, d > 0 ? "1e999" : "-1e999");
      else snprintf(s, sizeof s, "%.14g", d);
    }
    put(s);
  }

  void put_string(int index) {
    size_t n;
    const char *s = lua_tolstring(L, index, &n);
    if (flags & tuk_flag_binary_strings) {
      put("str", 4);
      bwrite_uint32(static_cast<uint32_t>(n), buf);
      put(s, n);
      charge(static_cast<int64_t>(n) >> 2);
      return;
    }
    put_quoted({s, n});
  }

  void put_userdata(int index) {
    userdata *ud = to_userdata(L, index);
    if (!ud) {
      put("nil");
      return;
    }
    int64_t count = ud_count(ud);
    charge((count << utype_log2_bits(ud->utype)) >> 5);
    uint8_t type = ud->utype & utype_mask;
    if ((flags & tuk_flag_zqu) && ud->utype == utype_u8) {
      int width = (flags & tuk_flag_raw_zqu) ? 0 : zqu_tuk_width;
      if (write_binary_zqu(ud, buf, width) <= 0) ok = false;
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
    std::string text;
    if (type == utype_f64) {
      char s[64];
      for (int64_t i = 0; i < count; i++) {
        int n = snprintf(s, sizeof s, i ? ",%0.14g" : "%0.14g", ud_get_number(ud, i));
        text.append(s, static_cast<size_t>(n));
      }
    } else {
      static const char hex[] = "0123456789abcdef";
      int digits = static_cast<int>(2 * ud_element_size(ud));
      text.resize(static_cast<size_t>(count * digits));
      char *o = text.data();
      for (int64_t i = 0; i < count; i++) {
        auto v = static_cast<uint64_t>(ud_get_int(ud, i));
        for (int k = digits - 1; k >= 0; k--) *o++ = hex[(v >> (4 * k)) & 15];
      }
    }
    put(text);
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
    lua_checkstack(L, 1);
    if (k.is_int) lua_pushinteger(L, k.i);
    else lua_pushnumber(L, k.d);
    put("[");
    put_number(-1);
    put("]");
    lua_pop(L, 1);
  }

  void push_key(const key_entry &k) {
    if (k.is_string) lua_pushlstring(L, k.s.data(), k.s.size());
    else if (k.is_int) lua_pushinteger(L, k.i);
    else lua_pushnumber(L, k.d);
  }

  bool put_table(int index, int depth) {
    // depth counts the tables around this one; the reader counts the same way.
    if (depth + 1 > tuk_depth_max || !lua_checkstack(L, 6)) return false;
    index = lua_absindex(L, index);
    // The border is taken before the traversal.
    auto n = static_cast<lua_Integer>(lua_rawlen(L, index));
    std::vector<key_entry> keys;
    lua_pushnil(L);
    while (lua_next(L, index)) {
      switch (lua_type(L, -2)) {
        case LUA_TNUMBER:
          if (lua_isinteger(L, -2)) {
            lua_Integer i = lua_tointeger(L, -2);
            if (i < 1 || i > n) keys.push_back({false, true, i, 0, {}});
          } else {
            keys.push_back({false, false, 0, lua_tonumber(L, -2), {}});
          }
          break;
        case LUA_TSTRING: {
          size_t len;
          const char *s = lua_tolstring(L, -2, &len);
          keys.push_back({true, false, 0, 0, {s, len}});
          break;
        }
        default:
          break;  // boolean, table, function and userdata keys have no text
      }
      lua_pop(L, 1);
    }
    std::sort(keys.begin(), keys.end(), key_less);
    put("{");
    bool first = true;
    for (const key_entry &k : keys) {
      if (!first) put(",");
      first = false;
      put_key(k);
      put("=");
      push_key(k);
      lua_rawget(L, index);
      bool fine = put_value(-1, depth + 1);
      lua_pop(L, 1);
      if (!fine) return false;
    }
    for (lua_Integer i = 1; i <= n; i++) {
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
    charge(2);
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

}  // namespace

bool stringify_object_recursive(lua_State *L, int index, buffer *buf, int depth, int flags) {
  if (!buf) return false;
  writer w{L, buf, flags};
  bool ok = w.put_value(lua_absindex(L, index), depth);
  spend_cpu(w.cycles);
  return ok;
}

bool stringify_object(lua_State *L, int index, buffer *buf, int depth, int flags) {
  if (!buf) return false;
  if (!(flags & (tuk_flag_lz4 | tuk_flag_base64)))
    return stringify_object_recursive(L, index, buf, depth, flags);
  buffer_owner inner(create_buffer_2(256, 112));
  if (!inner || !stringify_object_recursive(L, index, inner.get(), depth, flags)) return false;
  std::string wrapped(reinterpret_cast<const char *>(inner->data),
                      static_cast<size_t>(inner->length));
  inner.reset();
  if (flags & tuk_flag_lz4) {
    int length = static_cast<int>(wrapped.size());
    std::string block(static_cast<size_t>(LZ4_compressBound(length)), '\0');
    int packed =
        LZ4_compress_HC(wrapped.data(), block.data(), length, static_cast<int>(block.size()), 1);
    if (packed <= 0) return false;
    spend_cpu(length / 8);
    std::string head("lz4\0", 4);
    for (uint32_t v : {static_cast<uint32_t>(packed), static_cast<uint32_t>(length)})
      for (int i = 0; i < 4; i++) head.push_back(static_cast<char>(v >> (8 * i)));
    wrapped = head + block.substr(0, static_cast<size_t>(packed));
  }
  if (flags & tuk_flag_base64) {
    std::string text = base64_encode(wrapped);
    spend_cpu(static_cast<int64_t>(text.size()) >> 3);
    wrapped = "untuk(\"b64:" + text + "\")";
  }
  auto n = static_cast<int64_t>(wrapped.size());
  return bwrite(wrapped.data(), 1, n, buf) == n;
}
