// tuk reader: values from text, bounded by the text's length everywhere.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include <lz4.h>

#include "kernel/accounting.h"
#include "kernel/held_memory.h"
#include "lua.hpp"
#include "platform/host_log.h"
#include "values/base64.h"
#include "values/tuk.h"
#include "values/userdata.h"
#include "values/zqu.h"

namespace {

constexpr std::string_view metadata_marker = "--[[tuk";
constexpr std::string_view raw_marker = "--[[tuk_format=\"raw\"";
// LZ4 cannot expand a block more than 255 times; a stated size beyond that is
// not believed (and nothing is allocated for it).
constexpr int64_t lz4_max_ratio = 255;
constexpr size_t number_text_max = 44;
// Cycles per decoded byte of a base64 body (the format's own charge is 1/12,
// which buys more host time than a cycle is worth).
constexpr int64_t base64_bytes_per_cycle = 4;
// Charges are spent (and the cpu limit checked) each time this many gather.
constexpr int64_t charge_step = 4096;
// Cycles beyond the format's own (1 a value, a quarter of a string's bytes,
// bits / 32 a userdata element), so no text buys much more than 10 ns of
// host time a cycle: making each value, converting a number, making a table,
// setting a keyed entry, making a string.
constexpr int64_t value_cycles = 4;
constexpr int64_t number_cycles = 16;
constexpr int64_t table_cycles = 24;
constexpr int64_t key_cycles = 16;
constexpr int64_t string_cycles = 8;

bool is_letter(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }
bool is_word_char(uint8_t c) { return is_letter(c) || is_digit(c) || c == '_'; }
bool is_number_char(uint8_t c) {
  return is_digit(c) || c == '_' || c == '+' || c == '-' || c == '.' || c == 'e';
}

uint32_t read_u32(const uint8_t *p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

using cursor = const uint8_t *;

// The first '"', '\\' or NUL at or after p (end when none), eight bytes at a
// time: a string's plain run is most of its text.
cursor skip_plain(cursor p, cursor end) {
  constexpr uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080;
  auto has_zero = [](uint64_t v) { return ((v - ones) & ~v & highs) != 0; };
  while (end - p >= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if (has_zero(v) || has_zero(v ^ ('"' * ones)) || has_zero(v ^ ('\\' * ones))) break;
    p += 8;
  }
  while (p < end && *p != '"' && *p != '\\' && *p != 0) p++;
  return p;
}

// `depth` counts the tables around a value; `wraps` the untuk( / base64 / LZ4
// bodies it stands in. Each is limited on its own, so a value the writer can
// write (tables up to the limit, one wrapper) always reads back.
struct reader {
  lua_State *L;
  // Spent as it gathers, so a text too costly to read ends with the cpu limit error.
  gathered_charge meter{L, charge_step};
  int wraps = 0;
  std::string scratch;  // strings are decoded here, one at a time
  memory_hold scratch_hold;

  // Room in the scratch string for `more` bytes, held for the process.
  bool scratch_room(size_t more) {
    size_t need = scratch.size() + more;
    if (need <= scratch.capacity()) return true;
    auto want = static_cast<int64_t>(std::max(need, 2 * scratch.capacity()));
    auto held = scratch_hold.held();
    want = std::min(want, held + scratch_hold.room());
    if (want < static_cast<int64_t>(need) || !scratch_hold.hold(want)) return false;
    scratch.reserve(static_cast<size_t>(want));
    return true;
  }

  // Does the text at p (ending at end) start with s?
  static bool starts(cursor p, cursor end, std::string_view s) {
    return static_cast<size_t>(end - p) >= s.size() && memcmp(p, s.data(), s.size()) == 0;
  }
  // The byte at p, or 0 at the end of the text.
  static uint8_t at(cursor p, cursor end) { return p < end ? *p : 0; }

  // A word value ("true" ...) standing where a key could: followed by a blank,
  // a byte of 128 or more, ',', ']', '}' or the end.
  static bool word_value(cursor p, cursor end, std::string_view w) {
    if (!starts(p, end, w)) return false;
    uint8_t c = at(p + w.size(), end);
    return c <= 32 || c >= 128 || c == ',' || c == ']' || c == '}';
  }

  static bool starts_key(cursor p, cursor end) {
    uint8_t c = at(p, end);
    if (c == '[') return true;
    if (!is_letter(c) && c != '_') return false;
    if (word_value(p, end, "false") || word_value(p, end, "true") || word_value(p, end, "nil"))
      return false;
    if (starts(p, end, "b64:") || starts(p, end, {"lz4\0", 4}) || starts(p, end, {"zqu\0", 4}) ||
        starts(p, end, {"str\0", 4}))
      return false;
    for (std::string_view w : {std::string_view("userdata"), std::string_view("untuk")}) {
      if (starts(p, end, w)) {
        uint8_t n = at(p + w.size(), end);
        if (n == '"' || n == '(') return false;
      }
    }
    return true;
  }

  cursor get_value(cursor p, cursor end, int depth) {
    if (!p || depth > tuk_depth_max || !lua_checkstack(L, 4)) return nullptr;
    meter.charge(1 + value_cycles);
    while (p < end && ((*p >= 1 && *p <= 32) || *p >= 128)) p++;
    if (p >= end) return nullptr;
    if (*p == '"') return get_string(p, end);
    if (starts(p, end, "b64:")) return get_b64(p + 4, end, depth);
    if (starts(p, end, "false")) return lua_pushboolean(L, 0), p + 5;
    if (starts(p, end, "true")) return lua_pushboolean(L, 1), p + 4;
    if (starts(p, end, "nil")) return lua_pushnil(L), p + 3;
    if (starts(p, end, {"lz4\0", 4})) return get_lz4tuk(p, end, depth);
    if (starts(p, end, {"zqu\0", 4})) {
      cursor q = get_binary_zqu(L, p, end);
      if (q) {
        const userdata *ud = to_userdata(L, -1);
        meter.charge((ud_count(ud) << utype_log2_bits(ud->utype)) >> 5);
      }
      return q;
    }
    if (starts(p, end, {"str\0", 4})) {
      if (end - p < 8) return nullptr;
      uint32_t n = read_u32(p + 4);
      if (static_cast<uint64_t>(end - p - 8) < n) return nullptr;
      lua_pushlstring(L, reinterpret_cast<const char *>(p + 8), n);
      return p + 8 + n;
    }
    if (starts(p, end, "untuk(\"")) {
      if (++wraps > tuk_depth_max) return nullptr;
      p = get_value(p + 7, end, depth);
      wraps--;
      if (p && at(p, end) == '"') p++;
      if (p && at(p, end) == ')') p++;
      return p;
    }
    if (starts(p, end, "userdata")) return get_userdata(p + 8, end);
    if (*p == '{') return get_table(p, end, depth + 1);
    return get_number(p, end);
  }

  cursor get_number(cursor p, cursor end) {
    // The writer's NaN (the language prints no readable form for it).
    if (starts(p, end, "0/0")) {
      lua_pushnumber(L, std::numeric_limits<double>::quiet_NaN());
      return p + 3;
    }
    char text[number_text_max + 1];
    size_t n = 0;
    while (n < number_text_max && p + n < end && is_number_char(p[n])) {
      text[n] = static_cast<char>(p[n]);
      n++;
    }
    if (n == 0) return nullptr;
    meter.charge(number_cycles);
    text[n] = 0;
    if (lua_stringtonumber(L, text) != n + 1) return nullptr;
    return p + n;
  }

  cursor get_string(cursor p, cursor end) {
    p++;  // the opening quote
    scratch.clear();
    for (;;) {
      cursor run = p;
      p = skip_plain(p, end);
      if (static_cast<int64_t>(scratch.size() + static_cast<size_t>(p - run)) > tuk_string_max ||
          !scratch_room(static_cast<size_t>(p - run) + 1))
        return nullptr;
      scratch.append(reinterpret_cast<const char *>(run), static_cast<size_t>(p - run));
      if (p >= end || *p == 0) return nullptr;  // no closing quote
      if (*p == '"') break;
      p++;  // the backslash
      uint8_t c = at(p, end);
      if (c == '"' || c == '\\') {
        scratch.push_back(static_cast<char>(c));
        p++;
      } else if (c == 'n') {
        scratch.push_back('\n');
        p++;
      } else if (is_digit(c)) {
        int v = 0;
        for (int k = 0; k < 3 && is_digit(at(p, end)); k++) v = v * 10 + (*p++ - '0');
        scratch.push_back(static_cast<char>(v & 255));
      } else {
        scratch.push_back(0);  // the next character is read as usual
      }
    }
    if (static_cast<int64_t>(scratch.size()) > tuk_string_max) return nullptr;
    meter.charge(static_cast<int64_t>(scratch.size()) / 4 + string_cycles);
    lua_pushlstring(L, scratch.data(), scratch.size());
    return p + 1;
  }

  // After "userdata": '(' and an optional '"', the type, the sizes, the data.
  cursor get_userdata(cursor p, cursor end) {
    if (at(p, end) != '(') return nullptr;
    p++;
    if (at(p, end) == '"') p++;
    cursor type = p;
    while (p < end && *p != '"' && *p != 0) p++;
    if (p >= end || *p != '"') return nullptr;
    std::string_view type_text(reinterpret_cast<const char *>(type), static_cast<size_t>(p - type));
    cursor after_type = p + 1;
    int dims = 2;
    int64_t sizes[3] = {1, 1, 1};
    std::string_view data;
    cursor close;
    if (type_text.substr(0, 5) == "[gfx]") {
      close = p;  // the pixel literal brings its own size and pixels
    } else {
      int commas = 0;
      cursor q = after_type;
      while (q < end && *q != '"' && *q != 0) commas += *q++ == ',';
      if (q >= end || *q != '"') return nullptr;
      dims = commas - 1;
      read_sizes(after_type, q, sizes, std::clamp(commas - 1, 0, 3));
      cursor d = q + 1;
      close = d;
      while (close < end && *close != '"' && *close != 0) close++;
      if (close >= end || *close != '"') return nullptr;
      data = std::string_view(reinterpret_cast<const char *>(d), static_cast<size_t>(close - d));
    }
    if (!create_userdata(L, type_text, dims, sizes[0], sizes[1], sizes[2], data)) return nullptr;
    p = close + 1;
    if (at(p, end) == ')') p++;
    return p;
  }

  // ",%d" up to n times ("%d" read in 64 bits, saturating); a size that is not
  // there stays 1, and so do the ones after it.
  static void read_sizes(cursor p, cursor end, int64_t *sizes, int n) {
    for (int i = 0; i < n; i++) {
      if (at(p, end) != ',') return;
      p++;
      while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) p++;
      bool negative = at(p, end) == '-';
      if (at(p, end) == '-' || at(p, end) == '+') p++;
      if (!is_digit(at(p, end))) return;
      int64_t v = 0;
      while (is_digit(at(p, end))) {
        int d = *p++ - '0';
        v = v > (INT64_MAX - d) / 10 ? INT64_MAX : v * 10 + d;
      }
      sizes[i] = negative ? -v : v;
    }
  }

  cursor get_table(cursor p, cursor end, int depth) {
    if (depth > tuk_depth_max || !lua_checkstack(L, 6)) return nullptr;
    meter.charge(table_cycles);
    lua_newtable(L);
    int table = lua_gettop(L);
    lua_Integer next_index = 1;
    uint8_t separator = '{';
    for (;;) {
      if (at(p, end) == separator) p++;
      uint8_t c = at(p, end);
      if (c == 0) return nullptr;
      if (c == '}') return p + 1;
      if (c == ']') return p;
      if (starts_key(p, end)) {
        meter.charge(key_cycles);
        if (c == '[') {
          p = get_value(p + 1, end, depth);
          if (!p || at(p, end) != ']') return nullptr;
          p++;
        } else {
          cursor word = p;
          while (p < end && is_word_char(*p)) p++;
          lua_pushlstring(L, reinterpret_cast<const char *>(word), static_cast<size_t>(p - word));
        }
        uint8_t k = at(p, end);
        if (k == '=') {
          p = get_value(p + 1, end, depth);
          if (!p) return nullptr;
          // nil and NaN cannot be keys: such an entry is dropped.
          bool usable = !lua_isnil(L, -2) && !(lua_type(L, -2) == LUA_TNUMBER &&
                                              lua_tonumber(L, -2) != lua_tonumber(L, -2));
          if (usable) lua_rawset(L, table);
          else lua_pop(L, 2);
        } else if (k == ',' || k == ']' || k == '}') {
          lua_pop(L, 1);  // a key without a value makes no entry
        } else {
          return nullptr;
        }
      } else {
        p = get_value(p, end, depth);
        if (!p) return nullptr;
        lua_rawseti(L, table, next_index++);
      }
      separator = ',';
    }
  }

  // A nested body's bytes: held for the process while its value is read.
  struct body {
    memory_hold hold;
    std::string bytes;
    bool make(int64_t n) {
      if (n < 0 || !hold.hold(n)) return false;
      bytes.resize(static_cast<size_t>(n));
      return true;
    }
  };

  cursor get_b64(cursor p, cursor end, int depth) {
    cursor text = p;
    while (p < end && *p != '"' && *p != 0) p++;
    body b;
    if (!b.make(base64_decode_block_bound(p - text))) return nullptr;
    meter.charge((p - text) / base64_bytes_per_cycle);
    base64_decodestate state;
    base64_init_decodestate(&state);
    int64_t n = base64_decode_block(reinterpret_cast<const char *>(text), p - text,
                                    reinterpret_cast<uint8_t *>(b.bytes.data()), &state);
    b.bytes.resize(static_cast<size_t>(n));
    meter.charge(n / 12);
    if (!parse_one(b.bytes.data(), b.bytes.size(), depth)) return nullptr;
    return p;
  }

  cursor get_lz4tuk(cursor p, cursor end, int depth) {
    if (end - p < 12) return nullptr;
    uint32_t packed = read_u32(p + 4);
    uint32_t size = read_u32(p + 8);
    if (static_cast<uint64_t>(end - p - 12) < packed || packed > INT32_MAX) return nullptr;
    if (size > int64_t{packed} * lz4_max_ratio + 16 || size > INT32_MAX) return nullptr;
    // Nested wrappers each expand up to 255 times: every level's text is
    // held until its value is read, so the whole nest stays within what the
    // process may still hold.
    // Exactly the stated size: a body that would decompress to more fails
    // as one that decompresses to less does.
    body b;
    if (!b.make(int64_t{size})) return nullptr;
    meter.charge(size / 12);
    std::string &text = b.bytes;
    int n = LZ4_decompress_safe(reinterpret_cast<const char *>(p + 12), text.data(),
                                static_cast<int>(packed), static_cast<int>(text.size()));
    if (n != static_cast<int>(size)) {
      hovi_debugf("reading corrupt lz4 value // sizes do not match: %d %d\n", n,
                  static_cast<int>(size));
      return nullptr;
    }
    if (!parse_one(text.data(), text.size(), depth)) return nullptr;
    return p + 12 + packed;
  }

  // A nested whole text standing for one value: its value stays, its metadata goes.
  bool parse_one(const char *text, size_t length, int depth) {
    if (++wraps > tuk_depth_max) return false;
    int n = parse_whole(text, length, depth);
    wraps--;
    if (n == 2) lua_pop(L, 1);
    return n > 0;
  }

  int parse_whole(const char *text, size_t length, int depth) {
    if (depth > tuk_depth_max || !lua_checkstack(L, 4)) return 0;
    auto p = reinterpret_cast<cursor>(text);
    cursor end = p + length;
    int base = lua_gettop(L);
    std::string_view whole(text, length);
    if (whole.substr(0, metadata_marker.size()) != metadata_marker) {
      if (get_value(p, end, depth)) return 1;
      lua_settop(L, base);
      return 0;
    }
    size_t header = find_metadata_length(whole);
    if (whole.substr(0, raw_marker.size()) == raw_marker) {
      lua_pushlstring(L, text + header, length - header);
    } else if (!get_value(p + header, end, depth)) {
      lua_settop(L, base);
      return 0;
    }
    if (get_table(p + 4, end, depth + 1)) return 2;
    lua_settop(L, base + 1);
    std::string shown(text, header);
    printf("bad metadata format; ignoring %s\n", shown.c_str());
    return 1;
  }
};

}  // namespace

size_t find_metadata_length(std::string_view text) {
  if (text.substr(0, metadata_marker.size()) != metadata_marker) return 0;
  size_t close = text.find("]]");
  if (close == std::string_view::npos) return text.size();
  size_t n = close + 2;
  if (n < text.size() && text[n] == '\n') n++;
  return n;
}

int destringify_object(lua_State *L, const char *text, size_t length) {
  if (!text) return 0;
  reader r{L};
  int n = r.parse_whole(text, length, 0);
  r.meter.flush();
  return n;
}

int destringify_object_metadata(lua_State *L, const char *text, size_t length) {
  reader r{L};
  int base = lua_gettop(L);
  auto p = reinterpret_cast<cursor>(text);
  if (!text || !r.get_table(p + std::min<size_t>(4, length), p + length, 1))
    lua_settop(L, base + 1);  // the entries read before the error, or nil
  r.meter.flush();
  return 1;
}
